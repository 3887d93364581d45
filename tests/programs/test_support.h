// Small helpers shared by the program tests.
#ifndef QRV_TESTS_TEST_SUPPORT_H
#define QRV_TESTS_TEST_SUPPORT_H

#include <cstdio>
#include <string>
#include <vector>

#include "program_runner.h"

namespace qrv_test {

// "a b b b c" from {"a"}, {"b", 3}, {"c"}.
struct Repeat {
    std::string op;
    int times = 1;
};

inline std::string ops(const std::vector<Repeat>& parts)
{
    std::string s;
    for (const Repeat& p : parts)
        for (int i = 0; i < p.times; i++)
            s += (s.empty() ? "" : " ") + p.op;
    return s;
}

// The lines printf(format, i) for i in [0, count).
inline std::string numbered_lines(const char* format, int count)
{
    std::string s;
    char buf[128];
    for (int i = 0; i < count; i++) {
        std::snprintf(buf, sizeof buf, format, i);
        s += buf;
    }
    return s;
}

inline long long hex_pointer(const std::string& text)
{
    return (long long)std::stoull(text, nullptr, 16);
}

}  // namespace qrv_test

#endif
