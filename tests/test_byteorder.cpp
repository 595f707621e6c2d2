#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "rom/byteorder.h"
#include "rom/errors.h"

namespace tflux {
namespace {

std::vector<std::uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

TEST(SwapPairs, TurnsTheZ64NameIntoTheV64Name) {
    auto name = Bytes("T-FLUX X            ");
    SwapPairs(name, 20);
    EXPECT_EQ(name, Bytes("-TLFXUX             "));
    SwapPairs(name, 20);
    EXPECT_EQ(name, Bytes("T-FLUX X            "));
}

TEST(SwapPairs, OddCountLeavesTheLastByteAndNothingPastN) {
    std::vector<std::uint8_t> b = {1, 2, 3, 4, 5, 6};
    SwapPairs(b, 5);
    EXPECT_EQ(b, (std::vector<std::uint8_t>{2, 1, 4, 3, 5, 6}));
    std::vector<std::uint8_t> c = {1, 2};
    SwapPairs(c, 0);
    SwapPairs(c, 1);
    EXPECT_EQ(c, (std::vector<std::uint8_t>{1, 2}));
}

TEST(SwapPairs, RefusesACountPastTheBuffer) {
    std::vector<std::uint8_t> b = {1, 2, 3};
    EXPECT_THROW(SwapPairs(b, 4), EngineError);
    EXPECT_EQ(b, (std::vector<std::uint8_t>{1, 2, 3}));
}

TEST(ReverseWords, ReversesWholeWordsOnly) {
    std::vector<std::uint8_t> b = {0x40, 0x12, 0x37, 0x80, 9, 8};
    ReverseWords(b);
    EXPECT_EQ(b, (std::vector<std::uint8_t>{0x80, 0x37, 0x12, 0x40, 9, 8}));
}

// The bulk goes eight bytes at a time and the tail one pair or word at a time: every length
// around those steps must give what swapping byte by byte gives.
TEST(SwapPairs, WordAtATimeAgreesWithByteAtATimeAtEveryLength) {
    for (std::size_t n = 0; n <= 27; ++n) {
        std::vector<std::uint8_t> bytes(n + 3);
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<std::uint8_t>(i * 37 + 1);
        }
        std::vector<std::uint8_t> pairs = bytes;
        std::vector<std::uint8_t> words(bytes.begin(), bytes.begin() + n);
        std::vector<std::uint8_t> expectPairs = bytes;
        std::vector<std::uint8_t> expectWords = words;
        for (std::size_t k = 0; k + 1 < n; k += 2) {
            std::swap(expectPairs[k], expectPairs[k + 1]);
        }
        for (std::size_t k = 0; k + 3 < n; k += 4) {
            std::reverse(expectWords.begin() + k, expectWords.begin() + k + 4);
        }
        SwapPairs(pairs, n);
        ReverseWords(words);
        EXPECT_EQ(pairs, expectPairs) << n << " bytes";
        EXPECT_EQ(words, expectWords) << n << " bytes";
    }
}

TEST(BigEndian32, ReadsAndWritesAtOneBasedPositions) {
    std::vector<std::uint8_t> b = {0xFF, 0x80, 0x0D, 0x43, 0x10};
    EXPECT_EQ(GetBE32(b, 2), 0x800D4310u);
    PutBE32(b, 0x800C6E1F, 1);
    EXPECT_EQ(b, (std::vector<std::uint8_t>{0x80, 0x0C, 0x6E, 0x1F, 0x10}));
}

TEST(BigEndian32, OverflowAndOutOfBoundsStoreNothing) {
    std::vector<std::uint8_t> b(4, 0xAA);
    EXPECT_THROW(PutBE32(b, -1, 1), EngineError);
    EXPECT_THROW(PutBE32(b, 4294967296LL, 1), EngineError);
    EXPECT_THROW(PutBE32(b, 1, 2), EngineError);
    EXPECT_THROW(PutBE32(b, 1, 0), EngineError);
    EXPECT_EQ(b, std::vector<std::uint8_t>(4, 0xAA));
    EXPECT_THROW(GetBE32(b, 2), EngineError);
    EXPECT_THROW(GetBE32(b, 0), EngineError);
    EXPECT_THROW(GetBE32(b, static_cast<std::size_t>(-1)), EngineError);
}

TEST(BigEndian16, ReadsWritesAndChecksBounds) {
    std::vector<std::uint8_t> b = {0x01, 0xFF, 0x38, 0x02};
    EXPECT_EQ(GetBE16(b, 2), 0xFF38u);
    PutBE16(b, 0x1234, 3);
    EXPECT_EQ(b, (std::vector<std::uint8_t>{0x01, 0xFF, 0x12, 0x34}));
    EXPECT_THROW(GetBE16(b, 4), EngineError);
    EXPECT_THROW(GetBE16(b, 0), EngineError);
    EXPECT_THROW(PutBE16(b, 1, 4), EngineError);
    EXPECT_EQ(b[3], 0x34);
}

TEST(LittleEndian32, RoundTripsSignedValuesAndChecksBounds) {
    std::vector<std::uint8_t> b(6, 0);
    PutLE32(b, 378952, 1);
    EXPECT_EQ(b[1], 0x48);
    EXPECT_EQ(b[2], 0xC8);
    EXPECT_EQ(b[3], 0x05);
    EXPECT_EQ(GetLE32(b, 1), 378952);
    PutLE32(b, -2, 2);
    EXPECT_EQ(GetLE32(b, 2), -2);
    EXPECT_THROW(GetLE32(b, 3), EngineError);
    EXPECT_THROW(PutLE32(b, 0, 3), EngineError);
}

}  // namespace
}  // namespace tflux
