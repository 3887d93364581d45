// Tests that run a process out of file descriptors are skipped under the
// sanitizers: their runtimes open files of their own when they check or
// report, and take the failure to do so for a fault of the program.
#ifndef QRV_TEST_SANITIZERS_H
#define QRV_TEST_SANITIZERS_H

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QRV_SKIP_OUT_OF_DESCRIPTORS_UNDER_SANITIZERS() \
    GTEST_SKIP() << "a process out of descriptors defeats the sanitizer runtime"
#else
#define QRV_SKIP_OUT_OF_DESCRIPTORS_UNDER_SANITIZERS() (void)0
#endif

#endif
