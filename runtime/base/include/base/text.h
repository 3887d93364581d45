// Copies of caller texts, bounded so that an unterminated or huge string is
// never read past its cap.
#ifndef QRV_TEXT_H
#define QRV_TEXT_H

#include <cstdint>
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

// Well-formed UTF-8: no stray continuation bytes, no truncated sequences,
// no overlong forms, no surrogates, nothing beyond U+10FFFF.
inline bool valid_utf8(std::string_view s)
{
    size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        size_t n;
        uint32_t cp, min;
        if (b < 0x80) {
            ++i;
            continue;
        } else if ((b & 0xE0) == 0xC0) {
            n = 1, cp = b & 0x1F, min = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            n = 2, cp = b & 0x0F, min = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            n = 3, cp = b & 0x07, min = 0x10000;
        } else {
            return false;
        }
        if (s.size() - i <= n)
            return false;
        for (size_t k = 1; k <= n; ++k) {
            const auto c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += n + 1;
    }
    return true;
}

}  // namespace qrv

#endif
