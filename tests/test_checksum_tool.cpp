#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "rom/checksum.h"
#include "support/test_util.h"

namespace tflux {
namespace {

using test::BinPath;
using test::ReadBytes;
using test::RunProgram;
using test::RunResult;
using test::ScratchDir;
using test::WriteBytes;
using Bytes = std::vector<std::uint8_t>;

RunResult Checksum(std::vector<std::string> args) {
    args.insert(args.begin(), BinPath("tflux-krn-checksum").string());
    return RunProgram(args);
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string Words(const HeaderCrc& crc) {
    char text[64];
    std::snprintf(text, sizeof text, "CRC1 0x%08X CRC2 0x%08X", static_cast<unsigned>(crc.crc1),
                  static_cast<unsigned>(crc.crc2));
    return text;
}

std::uint32_t WordOf(const Bytes& bytes, std::size_t offset) {
    return (std::uint32_t{bytes[offset]} << 24) | (std::uint32_t{bytes[offset + 1]} << 16) |
           (std::uint32_t{bytes[offset + 2]} << 8) | std::uint32_t{bytes[offset + 3]};
}

// A Z64 image with the magic word and pseudo-random contents (boot code unknown: 6106).
Bytes Image(unsigned seed) {
    std::mt19937 random(seed);
    Bytes bytes(kChecksumEnd);
    for (auto& b : bytes) {
        b = static_cast<std::uint8_t>(random());
    }
    bytes[0] = 0x80;
    bytes[1] = 0x37;
    bytes[2] = 0x12;
    bytes[3] = 0x40;
    return bytes;
}

Bytes PairSwapped(Bytes bytes) {
    for (std::size_t k = 0; k + 1 < bytes.size(); k += 2) {
        std::swap(bytes[k], bytes[k + 1]);
    }
    return bytes;
}

TEST(ChecksumTool, UpdateThenVerify) {
    ScratchDir dir;
    const auto path = (dir / "game.z64").string();
    const Bytes original = Image(1);
    WriteBytes(path, original);
    const HeaderCrc expected = CalculateChecksum(original, CicVariant::Cic6106);

    const RunResult update = Checksum({"-u", path});
    ASSERT_EQ(update.exitCode, 0) << update.err;
    EXPECT_TRUE(Contains(update.out, "6106")) << update.out;
    EXPECT_TRUE(Contains(update.out, Words(expected))) << update.out;
    const Bytes after = ReadBytes(path);
    EXPECT_EQ(WordOf(after, kCrcOffset), expected.crc1);
    EXPECT_EQ(WordOf(after, kCrcOffset + 4), expected.crc2);

    const RunResult verify = Checksum({"-v", path});
    EXPECT_EQ(verify.exitCode, 0) << verify.out << verify.err;
    EXPECT_TRUE(Contains(verify.out, Words(expected))) << verify.out;
    EXPECT_EQ(ReadBytes(path), after) << "verifying wrote to the image";
}

TEST(ChecksumTool, VerifyReportsACorruptedWord) {
    ScratchDir dir;
    const auto path = (dir / "game.z64").string();
    WriteBytes(path, Image(2));
    ASSERT_EQ(Checksum({"-u", path}).exitCode, 0);
    Bytes bytes = ReadBytes(path);
    bytes[kCrcOffset + 5] ^= 0x01;
    WriteBytes(path, bytes);

    const RunResult verify = Checksum({"-v", path});
    EXPECT_EQ(verify.exitCode, 1) << verify.out << verify.err;
    EXPECT_EQ(ReadBytes(path), bytes);
}

// An image that cannot be checked fails as one whose checksums differ does, not as a usage error.
TEST(ChecksumTool, FailuresExitWithOneAndNameTheFile) {
    ScratchDir dir;
    const auto shortPath = (dir / "short.z64").string();
    const Bytes shortImage(kChecksumEnd - 1, 0x5A);
    WriteBytes(shortPath, shortImage);
    for (const char* mode : {"-u", "-v"}) {
        const RunResult run = Checksum({mode, shortPath});
        EXPECT_EQ(run.exitCode, 1) << mode;
        EXPECT_TRUE(Contains(run.err, "too short to hold a checksum")) << run.err;
        EXPECT_TRUE(Contains(run.err, shortPath)) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    }
    EXPECT_EQ(ReadBytes(shortPath), shortImage);

    const auto missing = (dir / "missing.z64").string();
    for (const char* mode : {"-u", "-v"}) {
        const RunResult run = Checksum({mode, missing});
        EXPECT_EQ(run.exitCode, 1) << mode;
        EXPECT_TRUE(Contains(run.err, missing)) << run.err;
    }
    EXPECT_FALSE(std::filesystem::exists(missing)) << "updating created the file";
}

TEST(ChecksumTool, OrderAndVariantOverrides) {
    ScratchDir dir;
    // No magic word, so only --order can tell that the image is pair-swapped.
    Bytes z64 = Image(3);
    z64[0] = 0x12;
    const auto path = (dir / "game.v64").string();
    WriteBytes(path, PairSwapped(z64));
    const HeaderCrc expected = CalculateChecksum(z64, CicVariant::Cic6102);

    const RunResult update = Checksum({"-u", path, "--order", "v64", "--cic", "7101"});
    ASSERT_EQ(update.exitCode, 0) << update.err;
    EXPECT_TRUE(Contains(update.out, Words(expected))) << update.out;
    const Bytes back = PairSwapped(ReadBytes(path));
    EXPECT_EQ(WordOf(back, kCrcOffset), expected.crc1);
    EXPECT_EQ(WordOf(back, kCrcOffset + 4), expected.crc2);

    EXPECT_EQ(Checksum({"-v", path, "--order", "v64", "--cic", "6102"}).exitCode, 0);
    // Detected order (Z64) or detected variant (6106) compute other words.
    EXPECT_EQ(Checksum({"-v", path, "--cic", "6102"}).exitCode, 1);
    EXPECT_EQ(Checksum({"-v", path, "--order", "v64"}).exitCode, 1);
}

TEST(ChecksumTool, UsageErrorsExitWithTwo) {
    ScratchDir dir;
    const auto path = (dir / "game.z64").string();
    const Bytes image = Image(4);
    WriteBytes(path, image);
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"--bogus", path},
        {"-u", path, "-v", path},
        {"-u", path, "--cic", "6104"},
        {"-u", path, "--order", "x64"},
        {"-u"},
        {"--order", "z64"},
    };
    for (const auto& args : bad) {
        const RunResult run = Checksum(args);
        EXPECT_EQ(run.exitCode, 2) << testing::PrintToString(args);
        EXPECT_FALSE(run.err.empty()) << testing::PrintToString(args);
    }
    EXPECT_EQ(ReadBytes(path), image);
}

TEST(ChecksumTool, HelpAndVersion) {
    const RunResult help = Checksum({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(Contains(help.out, "-u")) << help.out;
    EXPECT_TRUE(Contains(help.out, "--cic")) << help.out;
    const RunResult version = Checksum({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_TRUE(Contains(version.out, "tflux-krn-checksum ")) << version.out;
}

}  // namespace
}  // namespace tflux
