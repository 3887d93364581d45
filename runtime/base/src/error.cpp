#include "base/error.h"

#include <cstring>

namespace qrv {

namespace {

thread_local std::string last;

}  // namespace

void set_last_error(std::string_view reason)
{
    last.assign(reason);
}

const char* last_error()
{
    return last.c_str();
}

void clear_last_error()
{
    last.clear();
}

std::string error_text(int error)
{
    char buffer[256];
    // The GNU strerror_r: the text may or may not be in buffer.
    return strerror_r(error, buffer, sizeof buffer);
}

}  // namespace qrv
