// Number formatting for the Wavefront writers, exact to printf and independent of the locale.
#pragma once

#include <cstdint>

// Room format_fixed6 needs: "-999999999.999999".
constexpr int fixed6_room = 17;

// Writes value as printf("%f") does (six decimals, ties to even) and returns the end. value is below
// 1e9 in magnitude: a map's coordinates are 16-bit hundredths, its texture coordinates fractions.
char* format_fixed6(char* p, double value);

// Writes value in decimal and returns the end.
char* format_uint(char* p, uint32_t value);

// Writes u / 256 (u < 256) and v / 1024 (v < 1024) as format_fixed6 does, from small tables. Both
// copy whole 16-byte entries: the caller leaves that much room past the text.
char* format_u(char* p, unsigned u);
char* format_v(char* p, unsigned v);
