// Why an operation failed, in words for the caller.
//
// Inner layers throw Error with the reason when they cannot do what was
// asked; the C boundary catches it, keeps the text as the calling thread's
// last error and logs it. Checks that refuse without throwing record their
// reason with set_last_error directly.
#ifndef QRV_BASE_ERROR_H
#define QRV_BASE_ERROR_H

#include <stdexcept>
#include <string>
#include <string_view>

namespace qrv {

class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The calling thread's last error: stored, read (never null; empty when
// none) and cleared. The text read stays valid until the next set or clear
// on the same thread.
void set_last_error(std::string_view reason);
const char* last_error();
void clear_last_error();

// The system's text for an errno value (thread safe).
std::string error_text(int error);

}  // namespace qrv

#endif
