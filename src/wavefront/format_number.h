// Number formatting for the Wavefront writers, exact to printf and independent of the locale.
#pragma once

#include <cstdint>

// Longest text format_fixed6 writes for a value below 1e9 in magnitude; every value the map
// format can hold is far below. Larger ones, printed in full, may take up to fixed6_large_room.
constexpr int fixed6_max_chars = 17;
constexpr int fixed6_large_room = 330;

// Writes value as printf("%f") does (six decimals, ties to even) and returns the end.
char* format_fixed6(char* p, double value);

// Writes value in decimal and returns the end.
char* format_uint(char* p, uint32_t value);

// Room the table-driven writers below may touch past what they write: they copy whole entries.
constexpr int table_copy_room = 16;

// Writes u / 256 and v / 1024 as format_fixed6 does, from small tables for u < 256, v < 1024.
char* format_u(char* p, unsigned u);
char* format_v(char* p, unsigned v);
