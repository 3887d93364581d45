#include "transport/locator_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>

namespace qrv::transport {

void note_locator(std::string_view path, std::string_view name, const Endpoint& endpoint)
{
    if (path.empty())
        return;
    std::string line(name);
    line += '\t';
    line += format_locator(endpoint);
    line += '\n';
    // One write of a short line with O_APPEND: lines of several processes
    // never interleave.
    const int fd = ::open(std::string(path).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    [[maybe_unused]] auto n = ::write(fd, line.data(), line.size());
    ::close(fd);
}

}  // namespace qrv::transport
