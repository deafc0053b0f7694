#include "wavefront/format_number.h"

#include <charconv>
#include <cmath>
#include <cstring>

char* format_uint(char* p, uint32_t value)
{
    char digits[10];
    int n = 0;
    do {
        digits[n++] = char('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0)
        *p++ = digits[--n];
    return p;
}

char* format_fixed6(char* p, double value)
{
    // A float widened to double has 24 significant bits and 1e6 needs 20, so the product is exact
    // and llrint's round-half-to-even matches printf digit for digit.
    if (!(std::fabs(value) < 1e12))
        return std::to_chars(p, p + fixed6_large_room, value, std::chars_format::fixed, 6).ptr;
    long long scaled = std::llrint(value * 1e6);
    if (std::signbit(value))
        *p++ = '-';
    unsigned long long magnitude = scaled < 0 ? 0ull - (unsigned long long)scaled : (unsigned long long)scaled;
    unsigned long long whole = magnitude / 1000000;
    unsigned fraction = unsigned(magnitude % 1000000);
    if (whole <= 0xFFFFFFFFull) {
        p = format_uint(p, uint32_t(whole));
    } else {
        p = std::to_chars(p, p + 20, whole).ptr;
    }
    *p++ = '.';
    for (int i = 5; i >= 0; i--) {
        p[i] = char('0' + fraction % 10);
        fraction /= 10;
    }
    return p + 6;
}
