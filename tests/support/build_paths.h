// Where the build put what the tests start and load, found at run time:
// a test program lives in <build>/tests-bin/, so its own file names the
// build folder. Nothing of the checkout's place is compiled in, and a build
// of another clone reuses the compiler cache's entries.
//
//   QRV_TEST_BUILD_DIR  another build folder, for a test program run from
//                       elsewhere
//   QRV_TEST_VCLOCK     another virtual clock shim (as the test scripts take)
#ifndef QRV_TESTS_SUPPORT_BUILD_PATHS_H
#define QRV_TESTS_SUPPORT_BUILD_PATHS_H

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace qrv_test {

// The build folder: the override, else the folder above this program's.
inline std::string build_dir()
{
    if (const char* dir = std::getenv("QRV_TEST_BUILD_DIR"); dir && *dir)
        return dir;
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        throw std::runtime_error("cannot tell the build folder from /proc/self/exe (" + ec.message() +
                                 "); set QRV_TEST_BUILD_DIR");
    return exe.parent_path().parent_path().string();
}

// The programs, the tools and libqrv.so.3.
inline std::string bin_dir()
{
    return build_dir() + "/bin";
}

// The test programs and their helper programs.
inline std::string test_bin_dir()
{
    return build_dir() + "/tests-bin";
}

// The virtual clock shim, for LD_PRELOAD.
inline std::string vclock_path()
{
    if (const char* shim = std::getenv("QRV_TEST_VCLOCK"); shim && *shim)
        return shim;
    return build_dir() + "/vclock/libqrv_vclock.so";
}

}  // namespace qrv_test

#endif
