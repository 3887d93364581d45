// Runs one of the programs against the recording double in a fresh folder
// and hands back its output, exit status and call log.
#ifndef QRV_TESTS_PROGRAM_RUNNER_H
#define QRV_TESTS_PROGRAM_RUNNER_H

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace qrv_test {

enum class Library { full, noload, nulltable, none };

// One recorded call: the operation, its key=value fields and its result.
struct Call {
    std::string op;  // without the QRVlib_ prefix
    std::map<std::string, std::string> fields;
    std::string result;

    const std::string& operator[](const std::string& key) const;
    long long num(const std::string& key) const;  // a field read as a number
};

// A folder that is removed with everything in it when the object dies.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

struct RunOptions {
    RunOptions(std::string program_name, Library lib = Library::full, std::map<std::string, std::string> environment = {})
        : program(std::move(program_name)), library(lib), env(std::move(environment))
    {
    }

    std::string program;
    Library library = Library::full;
    // QRV_DOUBLE_* and the like; "@DIR@" in a value stands for the run's folder.
    std::map<std::string, std::string> env;
    // Further copies of a library, in subfolders of the run's folder.
    std::map<std::string, Library> extra_libraries;
    bool virtual_clock = true;
    int timeout_seconds = 120;
};

struct RunResult {
    std::string out, err;
    bool exited = false;
    int exit_code = -1;
    int term_signal = 0;
    bool timed_out = false;
    std::vector<Call> calls;
    std::shared_ptr<TempDir> dir;  // the run's folder, kept while the result lives

    // The calls of one operation, in order.
    std::vector<const Call*> of(const std::string& op) const;
    // The operations in call order, joined by blanks.
    std::string sequence() const;
    bool clean_exit() const { return exited && exit_code == 0 && !timed_out; }
};

// Copies the program and the chosen library into a fresh folder and runs it
// there with only the given environment (plus the virtual clock when asked).
RunResult run(const RunOptions& options);

// Where the build put things.
std::filesystem::path program_path(const std::string& name);
std::filesystem::path library_path(Library library);

// Parses one log line of the double.
Call parse_call(const std::string& line);

}  // namespace qrv_test

#endif
