#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "rom/checksum.h"
#include "rom/digest.h"
#include "rom/errors.h"
#include "rom/file.h"
#include "romtables/sample_image.h"
#include "support/test_util.h"

namespace tflux {
namespace {

using test::ReadBytes;
using test::ScratchDir;
using test::WriteBytes;
using Bytes = std::vector<std::uint8_t>;

std::string Hex(const std::array<std::uint8_t, 16>& digest) {
    static const char* digits = "0123456789abcdef";
    std::string text;
    for (std::uint8_t b : digest) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

std::string Md5Of(const std::string& text) {
    return Hex(Md5(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())));
}

void PutWord(Bytes& bytes, std::size_t offset, std::uint32_t value) {
    for (int k = 0; k < 4; ++k) {
        bytes[offset + static_cast<std::size_t>(k)] =
            static_cast<std::uint8_t>(value >> (24 - 8 * k));
    }
}

std::uint32_t WordOf(const Bytes& bytes, std::size_t offset) {
    return (std::uint32_t{bytes[offset]} << 24) | (std::uint32_t{bytes[offset + 1]} << 16) |
           (std::uint32_t{bytes[offset + 2]} << 8) | std::uint32_t{bytes[offset + 3]};
}

// A Z64 image with its magic word and pseudo-random contents.
Bytes RandomImage(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (auto& b : bytes) {
        b = static_cast<std::uint8_t>(random());
    }
    PutWord(bytes, 0, 0x80371240);
    return bytes;
}

// The other stored orders, written out here rather than borrowed from the engine.
Bytes InOrder(Bytes z64, ImageOrder order) {
    for (std::size_t k = 0; k + 3 < z64.size(); k += 4) {
        if (order == ImageOrder::V64) {
            std::swap(z64[k], z64[k + 1]);
            std::swap(z64[k + 2], z64[k + 3]);
        } else if (order == ImageOrder::N64) {
            std::swap(z64[k], z64[k + 3]);
            std::swap(z64[k + 1], z64[k + 2]);
        }
    }
    return z64;
}

TEST(Md5, MatchesTheRfc1321Vectors) {
    EXPECT_EQ(Md5Of(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5Of("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(Md5Of("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Md5Of("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(Md5Of("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(Md5Of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(Md5Of(std::string("1234567890") + "1234567890" + "1234567890" + "1234567890" +
                    "1234567890" + "1234567890" + "1234567890" + "1234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, PadsCorrectlyAroundBlockBoundaries) {
    // 55 and 56 bytes straddle the room for the length field; 64 and 120 end a block exactly
    // or force a second padding block.
    EXPECT_EQ(Md5Of(std::string(55, 'a')), "ef1772b6dff9a122358552954ad0df65");
    EXPECT_EQ(Md5Of(std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");
    EXPECT_EQ(Md5Of(std::string(64, 'a')), "014842d480b571495a4a0363793f7367");
    EXPECT_EQ(Md5Of(std::string(65, 'a')), "c743a45e0d2e6a95cb859adae0248435");
    EXPECT_EQ(Md5Of(std::string(120, 'a')), "5f61c0ccad4cac44c75ff505e1f1e537");
    EXPECT_EQ(Md5Of(std::string(1000000, 'a')), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(ImageOrder, IsDetectedFromTheFirstWord) {
    EXPECT_EQ(DetectOrder(Bytes{0x80, 0x37, 0x12, 0x40, 0}), ImageOrder::Z64);
    EXPECT_EQ(DetectOrder(Bytes{0x37, 0x80, 0x40, 0x12}), ImageOrder::V64);
    EXPECT_EQ(DetectOrder(Bytes{0x40, 0x12, 0x37, 0x80}), ImageOrder::N64);
    EXPECT_EQ(DetectOrder(Bytes{0x12, 0x40, 0x80, 0x37}), ImageOrder::Z64);
    EXPECT_EQ(DetectOrder(Bytes{0x37, 0x80, 0x40}), ImageOrder::Z64);
    EXPECT_EQ(DetectOrder(Bytes{}), ImageOrder::Z64);
}

TEST(ImageOrder, ConversionToZ64UndoesEachStoredOrder) {
    const Bytes z64 = RandomImage(64, 1);
    for (ImageOrder order : {ImageOrder::Z64, ImageOrder::V64, ImageOrder::N64}) {
        Bytes stored = InOrder(z64, order);
        EXPECT_EQ(DetectOrder(stored), order);
        ToZ64(stored, order);
        EXPECT_EQ(stored, z64) << static_cast<int>(order);
    }
}

TEST(CicNames, RoundTripAndMapTheSevenThousandsToTheirAlgorithm) {
    for (CicVariant v : {CicVariant::Cic6101, CicVariant::Cic6102, CicVariant::Cic6103,
                         CicVariant::Cic6105, CicVariant::Cic6106}) {
        EXPECT_EQ(ParseCic(CicName(v)), v) << CicName(v);
    }
    EXPECT_EQ(CicName(CicVariant::Cic6106), "6106");
    EXPECT_EQ(ParseCic("7101"), CicVariant::Cic6102);
    EXPECT_EQ(ParseCic("7102"), CicVariant::Cic6101);
    EXPECT_EQ(ParseCic("7103"), CicVariant::Cic6103);
    EXPECT_EQ(ParseCic("7105"), CicVariant::Cic6105);
    EXPECT_EQ(ParseCic("7106"), CicVariant::Cic6106);
    for (const char* bad : {"", "6104", "7104", "61060", "6106 ", "cic6106"}) {
        EXPECT_EQ(ParseCic(bad), std::nullopt) << bad;
    }
}

TEST(DetectCic, FallsBackTo6106ForAnUnknownBootCode) {
    Bytes head(kChecksumStart, 0);
    EXPECT_EQ(DetectCic(head), CicVariant::Cic6106);
    EXPECT_EQ(DetectCic(RandomImage(kChecksumStart, 2)), CicVariant::Cic6106);
    EXPECT_THROW(DetectCic(Bytes(kChecksumStart - 1, 0)), EngineError);
}

// Over all-zero data every word leaves a2..a6 at the start value S and adds S to a1, so
// a1 = S * 262145; the seeds give S = seed * multiplier + 1 and the results follow by hand.
TEST(CalculateChecksum, AllZeroDataGivesTheHandComputedWords) {
    const Bytes zero(kChecksumEnd, 0);
    // S = 0xF8CA4DDC: CRC1 = S, CRC2 = S * 262145.
    EXPECT_EQ(CalculateChecksum(zero, CicVariant::Cic6101), (HeaderCrc{0xF8CA4DDC, 0x303A4DDC}));
    EXPECT_EQ(CalculateChecksum(zero, CicVariant::Cic6102), (HeaderCrc{0xF8CA4DDC, 0x303A4DDC}));
    // S = 0xA3886759: CRC1 = (S ^ S) + S, CRC2 = (S ^ S) + S * 262145.
    EXPECT_EQ(CalculateChecksum(zero, CicVariant::Cic6103), (HeaderCrc{0xA3886759, 0x40EC6759}));
    // S = 0xDF26F436, and the zero table at 0x750 leaves a1 = S: both words are S.
    EXPECT_EQ(CalculateChecksum(zero, CicVariant::Cic6105), (HeaderCrc{0xDF26F436, 0xDF26F436}));
    // S = 0x1FEA617A: CRC1 = S * S + S, CRC2 = S * S + S * 262145.
    EXPECT_EQ(CalculateChecksum(zero, CicVariant::Cic6106), (HeaderCrc{0x04100F9E, 0x89F80F9E}));
}

// Two words, then zeros: 0xFFFFFFF0 carries into a4, rotates by 16 and takes the a2 <= d
// branch with the new a6; 3 rotates by 3 and takes the a2 > d branch. Traced by hand.
TEST(CalculateChecksum, CarryRotationAndBothA2BranchesGiveTheTracedWords) {
    Bytes data(kChecksumEnd, 0);
    PutWord(data, kChecksumStart, 0xFFFFFFF0);
    PutWord(data, kChecksumStart + 4, 3);
    EXPECT_EQ(CalculateChecksum(data, CicVariant::Cic6102), (HeaderCrc{0x0735B23D, 0x385B001A}));
    EXPECT_EQ(CalculateChecksum(data, CicVariant::Cic6103), (HeaderCrc{0x5C7798C0, 0x56DC311C}));
    EXPECT_EQ(CalculateChecksum(data, CicVariant::Cic6106), (HeaderCrc{0x453EBAE8, 0x679C91EB}));
}

// A word equal to a2 is not below it: the start value 0xF8CA4DDC as the first word takes the
// a6 branch (the other branch would give CRC2 0xD4E40130).
TEST(CalculateChecksum, AWordEqualToA2TakesTheA6Branch) {
    Bytes data(kChecksumEnd, 0);
    PutWord(data, kChecksumStart, 0xF8CA4DDC);
    EXPECT_EQ(CalculateChecksum(data, CicVariant::Cic6102), (HeaderCrc{0x095ED665, 0x12367389}));
}

// With data repeating a 64-word pattern p, a table equal to p makes every d XOR w zero
// (a1 stays S), while a zero table adds every word (a1 = S + 4096 * sum(p)). Nothing else
// depends on the table, so CRC1 agrees and the CRC2s differ by exactly those two a1 values.
TEST(CalculateChecksum, Variant6105MixesTheBootCodeTableWordByWord) {
    constexpr std::uint32_t kStart6105 = 0xDF26F436;
    Bytes withTable(kChecksumEnd, 0);
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < (kChecksumEnd - kChecksumStart) / 4; ++i) {
        const auto p = static_cast<std::uint32_t>((i % 64) * 0x01030507u + 0x11);
        PutWord(withTable, kChecksumStart + 4 * i, p);
        if (i < 64) {
            PutWord(withTable, 0x750 + 4 * i, p);
            sum += p;
        }
    }
    Bytes withoutTable = withTable;
    std::fill(withoutTable.begin() + 0x750, withoutTable.begin() + 0x850, 0);

    const HeaderCrc a = CalculateChecksum(withTable, CicVariant::Cic6105);
    const HeaderCrc b = CalculateChecksum(withoutTable, CicVariant::Cic6105);
    EXPECT_EQ(a.crc1, b.crc1);
    EXPECT_EQ(a.crc2 ^ b.crc2, kStart6105 ^ (kStart6105 + 4096u * sum));
    // The other variants never look at the boot code.
    EXPECT_EQ(CalculateChecksum(withTable, CicVariant::Cic6102),
              CalculateChecksum(withoutTable, CicVariant::Cic6102));
}

TEST(CalculateChecksum, RefusesAShortBuffer) {
    EXPECT_THROW(CalculateChecksum(Bytes(kChecksumEnd - 1, 0), CicVariant::Cic6106), EngineError);
}

struct Vector {
    const char* file;
    CicVariant variant;
    HeaderCrc crc;
};

// Made by an independent implementation; kept beside the checkout, never in it.
const Vector kVectors[] = {
    {"checksum-6102.bin", CicVariant::Cic6102, {0x31E282B9, 0xBA271CE1}},
    {"checksum-6106.bin", CicVariant::Cic6106, {0x2D694D46, 0x9D1C8275}},
};

TEST(ChecksumVectors, ReproduceTheIndependentlyComputedWords) {
    const auto dir = test::SharedTestData();
    if (dir.empty()) {
        GTEST_SKIP() << "../shared/testdata is not beside the checkout";
    }
    ScratchDir scratch;
    for (const Vector& v : kVectors) {
        SCOPED_TRACE(v.file);
        const Bytes bytes = ReadBytes(dir / v.file);
        ASSERT_EQ(bytes.size(), kChecksumEnd);
        EXPECT_EQ(CalculateChecksum(bytes, v.variant), v.crc);

        const ChecksumReport verified =
            VerifyChecksum(File::Open(dir / v.file, OpenMode::Read), std::nullopt, v.variant);
        EXPECT_EQ(verified.stored, v.crc);
        EXPECT_EQ(verified.computed, v.crc);

        // Cleared words are written back as the vector's.
        Bytes cleared = bytes;
        std::fill(cleared.begin() + kCrcOffset, cleared.begin() + kCrcOffset + 8, 0);
        const auto path = scratch / v.file;
        WriteBytes(path, cleared);
        File image = File::Open(path, OpenMode::ReadWrite);
        EXPECT_EQ(UpdateChecksum(image, std::nullopt, v.variant).stored, v.crc);
        image.Close();
        EXPECT_EQ(ReadBytes(path), bytes);
    }
}

TEST(ChecksumVectors, UnknownBootCodeIsChecksummedAs6106UnlessOverridden) {
    const auto dir = test::SharedTestData();
    if (dir.empty()) {
        GTEST_SKIP() << "../shared/testdata is not beside the checkout";
    }
    const File image = File::Open(dir / "checksum-6102.bin", OpenMode::Read);
    const ChecksumReport detected = VerifyChecksum(image);
    EXPECT_EQ(detected.variant, CicVariant::Cic6106);
    EXPECT_NE(detected.computed, detected.stored);
    const ChecksumReport named = VerifyChecksum(image, std::nullopt, ParseCic("7101"));
    EXPECT_EQ(named.variant, CicVariant::Cic6102);
    EXPECT_EQ(named.computed, named.stored);
}

// Every stored order yields the same words, written back in that order at 0x10, and no
// other byte changes, including those past the checksummed range.
TEST(UpdateChecksum, WritesTheSameWordsInEachImagesOwnOrder) {
    ScratchDir scratch;
    const Bytes z64 = RandomImage(kChecksumEnd + 0x800, 3);
    const HeaderCrc expected = CalculateChecksum(z64, CicVariant::Cic6106);
    Bytes z64Updated = z64;
    PutWord(z64Updated, kCrcOffset, expected.crc1);
    PutWord(z64Updated, kCrcOffset + 4, expected.crc2);

    for (ImageOrder order : {ImageOrder::Z64, ImageOrder::V64, ImageOrder::N64}) {
        SCOPED_TRACE(static_cast<int>(order));
        const auto path = scratch / ("image" + std::to_string(static_cast<int>(order)));
        WriteBytes(path, InOrder(z64, order));
        File image = File::Open(path, OpenMode::ReadWrite);
        const ChecksumReport report = UpdateChecksum(image);
        image.Close();
        EXPECT_EQ(report.order, order);
        EXPECT_EQ(report.variant, CicVariant::Cic6106);
        EXPECT_EQ(report.computed, expected);
        EXPECT_EQ(report.stored, expected);
        EXPECT_EQ(ReadBytes(path), InOrder(z64Updated, order));

        const ChecksumReport verified = VerifyChecksum(File::Open(path, OpenMode::Read));
        EXPECT_EQ(verified.stored, expected);
        EXPECT_EQ(verified.computed, expected);
    }
}

TEST(UpdateChecksum, ForcedOrderDecidesHowTheWordsAreStored) {
    ScratchDir scratch;
    // No magic word: detection says Z64, but the caller knows the image is pair-swapped.
    Bytes z64 = RandomImage(kChecksumEnd, 4);
    PutWord(z64, 0, 0x12345678);
    const auto path = scratch / "swapped.v64";
    WriteBytes(path, InOrder(z64, ImageOrder::V64));
    File image = File::Open(path, OpenMode::ReadWrite);
    const ChecksumReport report = UpdateChecksum(image, ImageOrder::V64, CicVariant::Cic6103);
    image.Close();
    EXPECT_EQ(report.order, ImageOrder::V64);
    EXPECT_EQ(report.variant, CicVariant::Cic6103);
    const HeaderCrc expected = CalculateChecksum(z64, CicVariant::Cic6103);
    EXPECT_EQ(report.computed, expected);
    Bytes back = ReadBytes(path);
    ToZ64(back, ImageOrder::V64);
    EXPECT_EQ(WordOf(back, kCrcOffset), expected.crc1);
    EXPECT_EQ(WordOf(back, kCrcOffset + 4), expected.crc2);
}

TEST(UpdateChecksum, RefusesAnImageTooShortToHoldAChecksumAndLeavesIt) {
    ScratchDir scratch;
    const auto path = scratch / "short.z64";
    const Bytes bytes = RandomImage(kChecksumEnd - 4, 5);
    WriteBytes(path, bytes);
    File image = File::Open(path, OpenMode::ReadWrite);
    try {
        UpdateChecksum(image);
        FAIL() << "a short image was checksummed";
    } catch (const EngineError& e) {
        const std::string message = e.what();
        EXPECT_NE(message.find("too short to hold a checksum"), std::string::npos) << message;
        EXPECT_NE(message.find(path.string()), std::string::npos) << message;
    }
    image.Close();
    EXPECT_EQ(ReadBytes(path), bytes);
    EXPECT_THROW(VerifyChecksum(File::Open(path, OpenMode::Read)), EngineError);
}

TEST(UpdateChecksum, FailsOnAnImageOpenedOnlyForReading) {
    ScratchDir scratch;
    const auto path = scratch / "image.z64";
    const Bytes bytes = RandomImage(kChecksumEnd, 6);
    WriteBytes(path, bytes);
    File image = File::Open(path, OpenMode::Read);
    EXPECT_THROW(UpdateChecksum(image), EngineError);
    EXPECT_EQ(ReadBytes(path), bytes);
}

}  // namespace
}  // namespace tflux

// Known values from other implementations; the generated image's were taken from Python's
// zlib.crc32, hashlib.md5 and hashlib.sha1 of the file `tflux-krn-sample PATH E z64` writes.
TEST(ImageHashes, MatchKnownValuesWholeAndFedInPieces) {
    const std::vector<std::uint8_t> sample = tflux::MakeSampleImage({.region = 'E', .seed = 1});
    const std::string abc = "abc";
    const struct {
        const char* name;
        std::span<const std::uint8_t> bytes;
        tflux::ImageHashes expected;
    } cases[] = {
        {"empty",
         {},
         {"00000000", "d41d8cd98f00b204e9800998ecf8427e",
          "da39a3ee5e6b4b0d3255bfef95601890afd80709"}},
        {"abc",
         std::span(reinterpret_cast<const std::uint8_t*>(abc.data()), abc.size()),
         {"352441c2", "900150983cd24fb0d6963f7d28e17f72",
          "a9993e364706816aba3e25717850c26c9cd0d89d"}},
        {"sample image",
         sample,
         {"0ec415c6", "812243f416463ae8f0b58f411bdb21ae",
          "6744b0c46cb5d9cb4cdd8575547af04e1d38e448"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(tflux::HashBytes(c.bytes), c.expected);
        tflux::HashSet pieces;
        for (std::size_t at = 0; at < c.bytes.size(); at += 1000003) {
            pieces.Update(c.bytes.subspan(at, std::min<std::size_t>(1000003, c.bytes.size() - at)));
        }
        EXPECT_EQ(pieces.Finish(), c.expected);
    }
}
