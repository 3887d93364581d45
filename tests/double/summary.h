// Buffer summaries written by the recording double and recomputed by the
// tests: "uniform=V" when every byte described is V; for one span whose
// bytes repeat with a period of 2 or 4, "pattern=HEX" with the first period's
// bytes; else "fnv=HEX", the 64-bit FNV-1a hash of those bytes in order.
// Only the spans given are read. Both checks before the hash are memcmp
// scans, so large uniform or patterned frames cost little.
#ifndef QRV_DOUBLE_SUMMARY_H
#define QRV_DOUBLE_SUMMARY_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace qrv_double {

struct Span {
    const uint8_t* data;
    size_t size;
};

inline uint64_t fnv1a(const uint8_t* p, size_t n, uint64_t h = 0xcbf29ce484222325ull)
{
    for (size_t i = 0; i < n; i++) {
        h ^= p[i];
        h *= 0x100000001b3ull;
    }
    return h;
}

// Whether every byte of every span equals the first byte of the first span.
inline bool uniform(const std::vector<Span>& spans, uint8_t& value)
{
    bool first = true;
    for (const Span& s : spans) {
        if (s.size == 0)
            continue;
        if (first) {
            value = s.data[0];
            first = false;
        } else if (s.data[0] != value) {
            return false;
        }
        // Overlapping compare: equal exactly when all bytes are the same.
        if (s.size > 1 && std::memcmp(s.data, s.data + 1, s.size - 1) != 0)
            return false;
    }
    if (first)
        value = 0;
    return true;
}

inline std::string summarize(const std::vector<Span>& spans, bool hash = true)
{
    char text[40];
    uint8_t value = 0;
    if (uniform(spans, value)) {
        std::snprintf(text, sizeof text, "uniform=%u", (unsigned)value);
        return text;
    }
    if (spans.size() == 1) {
        const Span& s = spans[0];
        for (size_t period : {(size_t)2, (size_t)4}) {
            if (s.size > period && s.size % period == 0 &&
                std::memcmp(s.data, s.data + period, s.size - period) == 0) {
                std::string out = "pattern=";
                for (size_t i = 0; i < period; i++) {
                    std::snprintf(text, sizeof text, "%02x", s.data[i]);
                    out += text;
                }
                return out;
            }
        }
    }
    if (!hash)
        return "mixed";
    uint64_t h = 0xcbf29ce484222325ull;
    for (const Span& s : spans)
        h = fnv1a(s.data, s.size, h);
    std::snprintf(text, sizeof text, "fnv=%016llx", (unsigned long long)h);
    return text;
}

inline std::string summarize(const void* data, size_t size, bool hash = true)
{
    return summarize(std::vector<Span>{{(const uint8_t*)data, size}}, hash);
}

}  // namespace qrv_double

#endif
