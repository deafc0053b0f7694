#include <clocale>
#include <cmath>
#include <cstdio>

#include <gtest/gtest.h>

#include "wavefront/format_number.h"

namespace {

std::string fixed6(double v)
{
    char buffer[400];
    return std::string(buffer, format_fixed6(buffer, v));
}

std::string printf_fixed(double v)
{
    char buffer[400];
    snprintf(buffer, sizeof buffer, "%f", v);
    return buffer;
}

}  // namespace

TEST(FormatFixed6, MatchesPrintfForEveryCoordinateAndTextureValue)
{
    for (int n = -32768; n <= 32767; n++) {
        double v = float(n) / 100.0f;
        ASSERT_EQ(fixed6(v), printf_fixed(v)) << n;
    }
    for (int u = 0; u < 65536; u++) {
        ASSERT_EQ(fixed6(u / 256.0), printf_fixed(u / 256.0)) << u;
        ASSERT_EQ(fixed6(u / 1024.0), printf_fixed(u / 1024.0)) << u;
    }
}

TEST(FormatFixed6, KnownValuesTiesAndSigns)
{
    EXPECT_EQ(fixed6(327.67f), "327.670013");
    EXPECT_EQ(fixed6(-327.68f), "-327.679993");
    EXPECT_EQ(fixed6(2 / 256.0), "0.007812");      // a tie, to even
    EXPECT_EQ(fixed6(1000 / 1024.0), "0.976562");  // a tie, to even
    EXPECT_EQ(fixed6(1023 / 1024.0), "0.999023");
    EXPECT_EQ(fixed6(0.0), "0.000000");
    EXPECT_EQ(fixed6(-0.0), "-0.000000");
}

TEST(FormatFixed6, IgnoresTheLocale)
{
    // A decimal comma in the user's locale must not reach the files.
    const char* set = setlocale(LC_NUMERIC, "de_DE.UTF-8");
    EXPECT_EQ(fixed6(1.5), "1.500000");
    if (set)
        setlocale(LC_NUMERIC, "C");
}

TEST(FormatUint, WritesDecimalDigits)
{
    char buffer[16], expected[16];
    const uint32_t values[] = {0, 7, 10, 65535, 65536, 4294967295u};
    for (uint32_t v : values)
        EXPECT_EQ(std::string(buffer, format_uint(buffer, v)), std::to_string(v));
    // Every index the largest mesh needs: 3 x (196,605 + 196,605).
    for (uint32_t v = 0; v <= 1179630; v++) {
        int n = snprintf(expected, sizeof expected, "%u", v);
        ASSERT_EQ(std::string(buffer, format_uint(buffer, v)), std::string(expected, size_t(n))) << v;
    }
}

TEST(FormatFromTables, SameTextAsPrintf)
{
    char a[64];
    for (unsigned u = 0; u < 256; u++)
        ASSERT_EQ(std::string(a, format_u(a, u)), printf_fixed(u / 256.0)) << u;
    for (unsigned v = 0; v < 1024; v++)
        ASSERT_EQ(std::string(a, format_v(a, v)), printf_fixed(v / 1024.0)) << v;
}
