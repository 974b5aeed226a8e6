#include "dorvane.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace {

struct conversion {
    const char* text;
    std::uint32_t value;
};

// What strtoul(text, nullptr, 0) gives where unsigned long has 32 bits, a
// line a theme: bases, where a number stops, signs, saturation (out of range
// before the sign too), no number; leading zeros are not range.
// clang-format off
constexpr conversion TARGET_CONVERSIONS[] = {
    {"0", 0}, {"42", 42}, {"0x1F", 31}, {"0X1f", 31}, {"017", 15},
    {"08", 0}, {"12abc", 12}, {"0x1g", 1}, {"0x1G", 1}, {"7{", 7}, {"0x7[", 7},
    {"  \t\n\v\f\r 7", 7}, {"+9", 9}, {"-1", 4294967295u}, {"-0", 0}, {"-4294967295", 1},
    {"-0x80000000", 0x80000000u}, {"-2147483649", 2147483647u},
    {"-4294967296", 4294967295u}, {"-99999999999999999999999", 4294967295u},
    {"4294967295", 4294967295u}, {"4294967296", 4294967295u}, {"0xFFFFFFFF", 4294967295u},
    {"0x100000000", 4294967295u}, {"037777777777", 4294967295u},
    {"040000000000", 4294967295u}, {"18446744073709551616", 4294967295u},
    {"abc", 0}, {"", 0}, {"0x", 0}, {"0xg", 0}, {"- 5", 0}, {"--5", 0},
    {"0x0000000000000000001", 1},
};
// clang-format on

// errno stays as it was, out of range too: the direct-connect record shows it.
TEST(target_number, converts_like_32_bit_strtoul_base_0) {
    for (const conversion& c : TARGET_CONVERSIONS) {
        errno = EDOM;
        EXPECT_EQ(to_u32_like_target(c.text), c.value) << '"' << c.text << '"';
        EXPECT_EQ(errno, EDOM) << '"' << c.text << '"';
    }
}

// Where the C library's unsigned long is 32 bits wide (armhf), it is the oracle.
TEST(target_number, agrees_with_native_strtoul_where_unsigned_long_is_32_bits) {
    if (sizeof(unsigned long) != 4)
        GTEST_SKIP() << "unsigned long is " << sizeof(unsigned long) * 8 << " bits here";
    for (const conversion& c : TARGET_CONVERSIONS) {
        EXPECT_EQ(to_u32_like_target(c.text), std::strtoul(c.text, nullptr, 0)) << c.text;
    }
}

} // namespace
