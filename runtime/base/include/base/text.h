// Copies of caller texts, bounded so that an unterminated or huge string is
// never read past its cap.
#ifndef QRV_TEXT_H
#define QRV_TEXT_H

#include <cstring>
#include <optional>
#include <string>
#include <string_view>

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

// ASCII letters lower-cased, every other byte as it is: DNS names compare
// this way, whatever other encodings their labels carry.
inline char ascii_lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

inline std::string ascii_lower(std::string_view s)
{
    std::string out(s);
    for (auto& c : out)
        c = ascii_lower(c);
    return out;
}

}  // namespace qrv

#endif
