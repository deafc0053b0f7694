#include "wavefront/format_number.h"

#include <cmath>
#include <cstring>
#include <mutex>
#if defined(__x86_64__) || defined(_M_X64)
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
// where the processor has one (the 64-bit conversion exists on x86_64 only). 32-bit x86 builds use
// SSE2 arithmetic, not the x87's wider registers, or the product above would not be exact.
inline int64_t round_half_even(double x)
{
#if defined(__x86_64__) || defined(_M_X64)
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
    // Count the digits, then fill them in from the last.
    int length = 4;
    for (uint32_t rest = value / 10000; rest != 0; rest /= 10)
        length++;
    char* d = p + length;
    while (value >= 100) {
        d -= 2;
        put_two(d, value % 100);
        value /= 100;
    }
    if (value >= 10)
        put_two(d - 2, value);
    else
        d[-1] = char('0' + value);
    return p + length;
}

char* format_fixed6(char* p, double value)
{
    // A float widened to double has 24 significant bits and 1e6 needs 20, so the product is exact
    // and rounding it to an integer, ties to even, gives printf's digits. Below 1e9 the product
    // stays far inside the range of a 64-bit integer.
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

namespace {

// A number's text, padded to 16 bytes so a copy is one move.
struct number_text {
    char text[15];
    uint8_t length;
};

struct number_tables {
    number_text u[256];   // u / 256
    number_text v[1024];  // v / 1024
};

void fill(number_text* entry, double value)
{
    char buffer[fixed6_room];
    char* end = format_fixed6(buffer, value);
    entry->length = uint8_t(end - buffer);
    memcpy(entry->text, buffer, entry->length);
}

const number_tables& tables()
{
    static number_tables t;
    static std::once_flag made;
    std::call_once(made, [] {
        for (int u = 0; u < 256; u++)
            fill(&t.u[u], u / 256.0);
        for (int v = 0; v < 1024; v++)
            fill(&t.v[v], v / 1024.0);
    });
    return t;
}

inline char* put_entry(char* p, const number_text& e)
{
    memcpy(p, e.text, 16);
    return p + e.length;
}

}  // namespace

// The masks keep a wrong argument inside the tables.
char* format_u(char* p, unsigned u)
{
    return put_entry(p, tables().u[u & 255]);
}

char* format_v(char* p, unsigned v)
{
    return put_entry(p, tables().v[v & 1023]);
}
