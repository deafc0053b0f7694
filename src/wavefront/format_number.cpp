#include "wavefront/format_number.h"

#include <charconv>
#include <cmath>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// "00" to "99": two digits per lookup.
struct digit_pairs {
    char text[200];
    digit_pairs()
    {
        for (int i = 0; i < 100; i++) {
            text[2 * i] = char('0' + i / 10);
            text[2 * i + 1] = char('0' + i % 10);
        }
    }
};
const digit_pairs pairs;

inline void put_two(char* p, unsigned v)
{
    memcpy(p, pairs.text + 2 * v, 2);
}

// Rounds to the nearest integer, ties to even (the default rounding mode), in one instruction
// where the processor has one.
inline int64_t round_half_even(double x)
{
#if defined(__SSE2__)
    return _mm_cvtsd_si64(_mm_set_sd(x));
#else
    return std::llrint(x);
#endif
}

}  // namespace

char* format_uint(char* p, uint32_t value)
{
    // Most numbers in a map are short: coordinates below 1000, indices below a million.
    if (value < 10) {
        *p = char('0' + value);
        return p + 1;
    }
    if (value < 100) {
        put_two(p, value);
        return p + 2;
    }
    if (value < 1000) {
        *p = char('0' + value / 100);
        put_two(p + 1, value % 100);
        return p + 3;
    }
    char digits[10];
    char* end = digits + 10;
    char* d = end;
    while (value >= 100) {
        d -= 2;
        put_two(d, value % 100);
        value /= 100;
    }
    if (value >= 10) {
        d -= 2;
        put_two(d, value);
    } else {
        *--d = char('0' + value);
    }
    size_t n = size_t(end - d);
    memcpy(p, d, n);
    return p + n;
}

char* format_fixed6(char* p, double value)
{
    // A float widened to double has 24 significant bits and 1e6 needs 20, so the product is exact
    // and rounding it to an integer, ties to even, gives printf's digits. Below 1e9 the product
    // stays far inside the range of a 64-bit integer.
    if (!(std::fabs(value) < 1e9))
        return std::to_chars(p, p + fixed6_large_room, value, std::chars_format::fixed, 6).ptr;
    if (std::signbit(value)) {
        *p++ = '-';
        value = -value;
    }
    uint64_t scaled = uint64_t(round_half_even(value * 1e6));
    uint32_t whole = uint32_t(scaled / 1000000);
    uint32_t fraction = uint32_t(scaled % 1000000);
    p = format_uint(p, whole);
    *p = '.';
    put_two(p + 1, fraction / 10000);
    put_two(p + 3, fraction / 100 % 100);
    put_two(p + 5, fraction % 100);
    return p + 7;
}
