#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>

#include "payload/modIEEE754.h"

namespace tflux {
namespace {

using Bytes = std::array<std::uint8_t, 4>;

Bytes FromBits(std::uint32_t bits) {
    return {static_cast<std::uint8_t>(bits >> 24), static_cast<std::uint8_t>(bits >> 16),
            static_cast<std::uint8_t>(bits >> 8), static_cast<std::uint8_t>(bits)};
}

float ToSingle(const Bytes& b, std::uint8_t& status, bool bigEndian = true) {
    status = 0xEE;  // proves the status is written
    return BytesToSingle(std::span<const std::uint8_t, 4>(b), bigEndian, status);
}

float ToSingle(const Bytes& b) {
    std::uint8_t status = 0;
    return ToSingle(b, status);
}

Bytes ToBytes(float value, bool bigEndian = true) {
    Bytes b{0xAA, 0xAA, 0xAA, 0xAA};
    SingleToBytes(value, bigEndian, std::span<std::uint8_t, 4>(b));
    return b;
}

// The value of a pattern computed from sign, exponent and fraction in double precision.
double Reference(std::uint32_t bits) {
    const int sign = (bits >> 31) != 0 ? -1 : 1;
    const int exponent = static_cast<int>((bits >> 23) & 0xFF);
    const double fraction = static_cast<double>(bits & 0x7FFFFF) / 8388608.0;
    if (exponent == 0) {
        return sign * std::ldexp(fraction, -126);
    }
    return sign * std::ldexp(1.0 + fraction, exponent - 127);
}

TEST(Ieee754, KnownValuesBothWays) {
    const struct {
        float value;
        Bytes bytes;
    } cases[] = {
        {1.0f, {0x3F, 0x80, 0x00, 0x00}},
        {-2.5f, {0xC0, 0x20, 0x00, 0x00}},
        {240.0f, {0x43, 0x70, 0x00, 0x00}},
        {0.1f, {0x3D, 0xCC, 0xCC, 0xCD}},
        {std::ldexp(1.0f, -149), {0x00, 0x00, 0x00, 0x01}},
        {std::ldexp(1.0f, -126), {0x00, 0x80, 0x00, 0x00}},
        {std::ldexp(8388607.0f, -149), {0x00, 0x7F, 0xFF, 0xFF}},
        {std::ldexp(16777215.0f, 104), {0x7F, 0x7F, 0xFF, 0xFF}},
        {-std::ldexp(16777215.0f, 104), {0xFF, 0x7F, 0xFF, 0xFF}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        std::uint8_t status = 0;
        EXPECT_EQ(ToSingle(c.bytes, status), c.value);
        EXPECT_EQ(status, kSingleOk);
        EXPECT_EQ(ToBytes(c.value), c.bytes);
    }
}

TEST(Ieee754, LittleEndianFlagReversesTheBytes) {
    const Bytes little{0x00, 0x00, 0x80, 0x3F};
    std::uint8_t status = 0;
    EXPECT_EQ(ToSingle(little, status, false), 1.0f);
    EXPECT_EQ(ToBytes(1.0f, false), little);
    EXPECT_EQ(ToBytes(-2.5f, false), (Bytes{0x00, 0x00, 0x20, 0xC0}));
}

TEST(Ieee754, ZerosArePositive) {
    EXPECT_EQ(ToBytes(0.0f), (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(ToBytes(-0.0f), (Bytes{0, 0, 0, 0}));
    const float fromNegativeZero = ToSingle({0x80, 0x00, 0x00, 0x00});
    EXPECT_EQ(fromNegativeZero, 0.0f);
    EXPECT_FALSE(std::signbit(fromNegativeZero));
}

TEST(Ieee754, InfinityAndNanReadAsZeroWithStatus2) {
    for (std::uint32_t bits : {0x7F800000u, 0xFF800000u, 0x7FC00000u, 0x7F800001u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(bits);
        std::uint8_t status = 0;
        const float value = ToSingle(FromBits(bits), status);
        EXPECT_EQ(value, 0.0f);
        EXPECT_FALSE(std::signbit(value));
        EXPECT_EQ(status, kSingleNotFinite);
    }
}

// Every finite pattern but 80 00 00 00 survives the way to a value and back, in both byte
// orders, and its value is the one sign, exponent and fraction describe.
TEST(Ieee754, ManyPatternsRoundTrip) {
    int checked = 0;
    for (std::uint64_t wide = 0; wide <= 0xFFFFFFFFu; wide += 65521) {
        for (std::uint32_t bits :
             {static_cast<std::uint32_t>(wide), static_cast<std::uint32_t>(wide) ^ 0x807FFFFFu}) {
            if (((bits >> 23) & 0xFF) == 0xFF || bits == 0x80000000u) {
                continue;
            }
            const Bytes big = FromBits(bits);
            const Bytes little{big[3], big[2], big[1], big[0]};
            std::uint8_t status = 0xEE;
            const float value = ToSingle(big, status);
            ASSERT_EQ(status, kSingleOk) << std::hex << bits;
            ASSERT_EQ(static_cast<double>(value), Reference(bits)) << std::hex << bits;
            ASSERT_EQ(ToBytes(value), big) << std::hex << bits;
            ASSERT_EQ(ToSingle(little, status, false), value) << std::hex << bits;
            ASSERT_EQ(ToBytes(value, false), little) << std::hex << bits;
            ++checked;
        }
    }
    EXPECT_GT(checked, 100000);
}

}  // namespace
}  // namespace tflux
