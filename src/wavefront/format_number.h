// Number formatting for the Wavefront writers, exact to printf and independent of the locale.
#pragma once

#include <cstdint>

// Room format_fixed6 may need: values below 1e9 in magnitude (every value a map can hold) take at
// most 17 characters; larger ones, printed in full, up to this.
constexpr int fixed6_large_room = 330;

// Writes value as printf("%f") does (six decimals, ties to even) and returns the end.
char* format_fixed6(char* p, double value);

// Writes value in decimal and returns the end.
char* format_uint(char* p, uint32_t value);

// Writes u / 256 and v / 1024 as format_fixed6 does, from small tables for u < 256, v < 1024.
// Both copy whole 16-byte entries: the caller leaves that much room past the text.
char* format_u(char* p, unsigned u);
char* format_v(char* p, unsigned v);
