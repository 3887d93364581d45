// Copies of caller texts, bounded so that an unterminated or huge string is
// never read past its cap.
#ifndef QRV_TEXT_H
#define QRV_TEXT_H

#include <cstring>
#include <optional>
#include <string>

namespace qrv {

inline constexpr size_t kMaxNameBytes = 200;
inline constexpr size_t kMaxOptionBytes = 4096;

// Null gives an empty string; a text of max bytes or more gives nothing.
inline std::optional<std::string> copy_text(const char* text, size_t max)
{
    if (!text)
        return std::string();
    const size_t n = strnlen(text, max);
    if (n >= max)
        return std::nullopt;
    return std::string(text, n);
}

}  // namespace qrv

#endif
