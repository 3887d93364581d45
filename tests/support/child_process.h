// Child processes for tests: started with pipes on standard
// input and output, optionally inside a network namespace; killed and
// reaped by the destructor whatever happens in the test.
#ifndef QRV_TESTS_SUPPORT_CHILD_PROCESS_H
#define QRV_TESTS_SUPPORT_CHILD_PROCESS_H

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qrv_test {

class Child {
public:
    // argv[0] is the program path; env entries are added to the environment.
    Child(std::vector<std::string> argv, std::map<std::string, std::string> env = {});
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return pid_ > 0; }
    int pid() const { return pid_; }
    // Waits until a line of output contains `text`; everything read is
    // kept in output().
    bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout);
    const std::string& output() const { return output_; }
    void write_line(const std::string& line);
    void close_input();
    void signal(int sig);
    // Exit status once the child ended within the timeout.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout);

private:
    void read_available(std::chrono::milliseconds timeout);
    int pid_ = -1;
    int in_fd_ = -1;
    int out_fd_ = -1;
    bool reaped_ = false;
    std::string output_;
};

}  // namespace qrv_test

#endif
