#include "source_id.h"

namespace qrv_panel {

namespace {

int digit_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string source_id(const std::string& name)
{
    static const char digits[] = "0123456789abcdef";
    std::string id;
    id.reserve(name.size() * 2);
    for (const unsigned char b : name) {
        id += digits[b >> 4];
        id += digits[b & 0x0f];
    }
    return id;
}

std::optional<std::string> source_name(const std::string& id)
{
    if (id.size() % 2 != 0)
        return std::nullopt;
    std::string name;
    name.reserve(id.size() / 2);
    for (size_t i = 0; i < id.size(); i += 2) {
        const int high = digit_value(id[i]), low = digit_value(id[i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        name += static_cast<char>(high << 4 | low);
    }
    return name;
}

}  // namespace qrv_panel
