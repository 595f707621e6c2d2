#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "payload/builtin_payload.h"
#include "payload/container.h"
#include "payload/track_record.h"
#include "rom/byteorder.h"
#include "rom/checksum.h"
#include "rom/digest.h"
#include "rom/identify.h"
#include "romtables/regions.h"
#include "romtables/romtables.h"
#include "romtables/sample_image.h"
#include "support/test_util.h"

namespace tflux {
namespace {

namespace fs = std::filesystem;

class CliTest : public ::testing::Test {
  protected:
    CliTest() : tmp_(scratch_ / "tmp") {}

    test::RunResult Cli(std::vector<std::string> args) {
        args.insert(args.begin(), test::BinPath("tflux-krn-cli").string());
        return test::RunProgram(args, {"TMPDIR=" + (scratch_ / "tmp").string()});
    }

    test::ScratchDir scratch_;
    test::TempDirOverride tmp_;
};

// Byte ranges [begin, end) that a patch of `layout` may change.
std::vector<std::pair<std::uint64_t, std::uint64_t>> WrittenRanges(const RegionLayout& layout) {
    return {
        {kCrcOffset, kCrcOffset + 8},
        {kInternalNameOffset, kInternalNameOffset + kInternalNameSize},
        {layout.courseBase, layout.courseBase + 24 * kTrackBlockSize},
        {layout.names.pointerTableOffset, layout.names.pointerTableOffset + 4 * kNamePointerCount},
        {layout.names.poolOffset, layout.names.poolOffset + layout.names.poolSize},
        {layout.subtitles.pointerTableOffset, layout.subtitles.pointerTableOffset + 96},
        {layout.subtitles.poolOffset, layout.subtitles.poolOffset + layout.subtitles.poolSize},
        {layout.params.poolOffset, layout.params.poolOffset + kParamPoolSize},
        {layout.params.pointerTableOffset, layout.params.pointerTableOffset + 96},
        {layout.attrTableOffset, layout.attrTableOffset + 24},
    };
}

// The tracks the built-in payload should leave in an image of `region`.
RomState ExpectedTracks(const std::string& region) {
    RomState expected;
    expected.RegionCode = region;
    const auto payload = BuiltInPayload();
    const auto entries = LocatePayloadEntries(payload, payload.size());
    for (int entry = 1; entry <= 24; ++entry) {
        const int track = entry == 9 ? 10 : entry == 10 ? 9 : entry;
        const auto& e = entries[static_cast<std::size_t>(entry)];
        LoadDat(expected, payload.subspan(e.offset, e.length), track);
    }
    return expected;
}

TEST_F(CliTest, PatchesEveryRegionAndByteOrderTouchingOnlyWhatItMust) {
    const auto payload = BuiltInPayload();
    const auto entries = LocatePayloadEntries(payload, payload.size());
    for (const char region : {'E', 'J', 'P'}) {
        std::vector<std::uint8_t> z64Output;
        for (const ImageOrder order : kImageOrders) {
            const std::string ending(OrderName(order));
            SCOPED_TRACE(std::string(1, region) + " " + ending);
            const fs::path in = scratch_ / ("game." + ending);
            auto image = MakeSampleImage({region, false, static_cast<std::uint32_t>(region)});
            ToZ64(image, order);  // its own inverse: Z64 to the order
            test::WriteBytes(in, image);
            const auto before = test::ReadBytes(in);
            const test::RunResult identified = Cli({"identify", in.string()});
            EXPECT_EQ(identified.exitCode, 0) << identified.err;
            EXPECT_NE(identified.out.find(" (" + std::string(OrderLabel(order)) + ")"),
                      std::string::npos)
                << identified.out;
            const test::RunResult run = Cli({"patch", in.string()});
            ASSERT_EQ(run.exitCode, 0) << run.err;
            EXPECT_EQ(run.out, "Patch successful.\n");
            const fs::path out = scratch_ / ("game_krn." + ending);
            auto after = test::ReadBytes(out);
            ASSERT_EQ(after.size(), kRomSize);
            EXPECT_EQ(test::ReadBytes(in), before);

            const RegionLayout layout = LayoutFor(std::string(1, region)).value();
            std::vector<bool> written(after.size(), false);
            for (const auto& [begin, end] : WrittenRanges(layout)) {
                std::fill(written.begin() + static_cast<long>(begin),
                          written.begin() + static_cast<long>(end), true);
            }
            std::size_t changedOutside = 0;
            for (std::size_t i = 0; i < after.size(); ++i) {
                changedOutside += !written[i] && after[i] != before[i];
            }
            EXPECT_EQ(changedOutside, 0u);

            // Everything below is compared in Z64 order: the same patch whatever the order.
            ToZ64(after, order);
            if (order == ImageOrder::Z64) {
                z64Output = after;
            }
            EXPECT_TRUE(after == z64Output);
            EXPECT_EQ(std::string(after.begin() + 0x20, after.begin() + 0x34),
                      "T-FLUX KRN          ");
            EXPECT_EQ(CalculateChecksum(after, DetectCic(after)),
                      (HeaderCrc{GetBE32(after, 0x11), GetBE32(after, 0x15)}));
            for (int entry = 1; entry <= 24; ++entry) {
                const int track = entry == 9 ? 10 : entry == 10 ? 9 : entry;
                const auto& e = entries[static_cast<std::size_t>(entry)];
                const auto block = payload.subspan(e.offset + 93, kTrackBlockSize);
                const auto at = after.begin() + static_cast<long>(layout.courseBase +
                                                                  (track - 1) * kTrackBlockSize);
                EXPECT_TRUE(std::equal(block.begin(), block.end(), at)) << "track " << track;
            }

            RomState readBack;
            readBack.RegionCode = std::string(1, region);
            readBack.SetOrder(order);
            readBack.RomFile = File::Open(out, OpenMode::Read);
            ReadRomTables(readBack);
            const RomState expected = ExpectedTracks(std::string(1, region));
            EXPECT_EQ(readBack.TrackNames, expected.TrackNames);
            EXPECT_EQ(readBack.TrackSubtitles, expected.TrackSubtitles);
            EXPECT_EQ(readBack.TrackAttrs, expected.TrackAttrs);
            for (std::size_t t = 0; t < 24; ++t) {
                const TrackParamSet& got = readBack.TrackParams[t];
                const TrackParamSet& want = expected.TrackParams[t];
                ASSERT_EQ(got.Count, want.Count) << "track " << t + 1;
                for (std::size_t k = 0; k < got.Count; ++k) {
                    EXPECT_EQ(got.Codes[k], want.Codes[k]);
                    EXPECT_EQ(got.Values[k], want.Values[k]);
                }
            }
            if (region == 'J') {
                EXPECT_EQ(readBack.TrackSubtitles, (std::array<std::string, 24>{}));
            }
        }
    }
}

TEST_F(CliTest, RefusalsAndFailuresHaveTheirExitCodes) {
    const fs::path in = scratch_ / "game.z64";
    WriteSampleImage(in, {'P', false, 4});

    test::RunResult run = Cli({"patch", (scratch_ / "missing.z64").string()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "Invalid input ROM file\ncannot open " +
                           (scratch_ / "missing.z64").string() + ": No such file or directory\n");

    run = Cli({"patch", in.string(), in.string()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "The output file must not be the input ROM file.\n" + in.string() + " and " +
                           in.string() + " are one file\n");

    const fs::path bad = scratch_ / "bad.dat";
    test::WriteBytes(bad, std::vector<std::uint8_t>(64, 1));
    run = Cli({"patch", "--payload", bad.string(), in.string()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err.rfind("tflux-krn-cli: " + bad.string() + ": damaged payload: ", 0), 0u)
        << run.err;
    EXPECT_FALSE(fs::exists(scratch_ / "game_krn.z64"));

    EXPECT_EQ(Cli({"patch"}).exitCode, 2);
    EXPECT_EQ(Cli({"frobnicate"}).exitCode, 2);
    EXPECT_EQ(Cli({"--help"}).exitCode, 0);
    run = Cli({"--version"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.out.find("tflux-krn-cli"), std::string::npos);
}

TEST_F(CliTest, IdentifyPrintsTheStatusLine) {
    const fs::path in = scratch_ / "game.v64";
    WriteSampleImage(in, {'J', true, 5});
    test::RunResult run = Cli({"identify", in.string()});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out.substr(0, run.out.find('\n') + 1), "File Version: Japanese (V64)\n");

    // The hashes are of the image in Z64 order, then of the file as it is stored.
    auto bytes = test::ReadBytes(in);
    const ImageHashes stored = HashBytes(bytes);
    SwapPairs(bytes, bytes.size());
    const ImageHashes z64 = HashBytes(bytes);
    EXPECT_NE(run.out.find("Z64 order, as lists of dumps give them:\n  CRC32  " + z64.crc32 +
                           "\n  MD5    " + z64.md5 + "\n  SHA-1  " + z64.sha1 +
                           "\nHashes of the file as stored (V64):\n  CRC32  " + stored.crc32),
              std::string::npos)
        << run.out;

    run = Cli({"identify", "--json", in.string()});
    const auto doc = nlohmann::json::parse(run.out);
    EXPECT_EQ(doc["accepted"], true);
    EXPECT_EQ(doc["region"], "J");
    EXPECT_EQ(doc["byteOrder"], "V64");
    EXPECT_EQ(doc["order"], "v64");
    EXPECT_EQ(doc["hashes"]["z64"]["sha1"], z64.sha1);
    EXPECT_EQ(doc["hashes"]["z64"]["md5"], z64.md5);
    EXPECT_EQ(doc["hashes"]["stored"]["crc32"], stored.crc32);

    run = Cli({"identify", (scratch_ / "nothing").string()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "Invalid input file\ncannot open " + (scratch_ / "nothing").string() +
                           ": No such file or directory\n");
    const fs::path small = scratch_ / "small.z64";
    test::WriteBytes(small, {1, 2, 3});
    run = Cli({"identify", small.string()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out,
              "File Error: Not T-Flux X\n" + small.string() + " is 3 bytes, not 16,777,216\n");
    run = Cli({"identify", "--json", small.string()});
    EXPECT_EQ(nlohmann::json::parse(run.out)["cause"],
              small.string() + " is 3 bytes, not 16,777,216");
}

// Each refusal keeps its message and exit code, says why on the next line, and leaves the input
// as it was; `identify` gives the same reason under its status line.
TEST_F(CliTest, RefusalsSayWhyUnderTheirMessage) {
    const fs::path game = scratch_ / "game.z64";
    WriteSampleImage(game, {'E', false, 11});
    ASSERT_EQ(Cli({"patch", game.string(), (scratch_ / "patched.z64").string()}).exitCode, 0);
    const fs::path region = scratch_ / "region.v64";
    WriteSampleImage(region, {'E', true, 12});
    {
        auto bytes = test::ReadBytes(region);
        bytes[0x3F] = 'U';  // the region letter of a V64 image
        test::WriteBytes(region, bytes);
    }
    const fs::path small = scratch_ / "small.z64";
    test::WriteBytes(small, std::vector<std::uint8_t>(4096, 0x37));
    const fs::path folder = scratch_ / "roms";
    fs::create_directory(folder);
    const fs::path renamed = scratch_ / "other.z64";
    {
        auto bytes = test::ReadBytes(game);
        std::memcpy(bytes.data() + 0x20, "OTHER GAME\x01", 11);
        test::WriteBytes(renamed, bytes);
    }

    struct Case {
        fs::path input;
        std::string message;
        std::string status;
        std::string cause;
    };
    const std::vector<Case> cases = {
        {scratch_ / "missing.z64", "Invalid input ROM file", "Invalid input file",
         "cannot open " + (scratch_ / "missing.z64").string() + ": No such file or directory"},
        {folder, "Invalid input ROM file", "Invalid input file", folder.string() + " is a folder"},
        {small, "Not T-Flux X", "File Error: Not T-Flux X",
         small.string() + " is 4,096 bytes, not 16,777,216"},
        {scratch_ / "patched.z64", "Not T-Flux X", "File Error: Not T-Flux X",
         "internal name is \"T-FLUX KRN\": this image has already been patched"},
        {renamed, "Not T-Flux X", "File Error: Not T-Flux X",
         "internal name is \"OTHER GAME\\x01\", not \"T-FLUX X\""},
        {region, "Bad ROM region code", "File Error: Bad ROM region code", "region letter is 'U'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input.string());
        std::vector<std::uint8_t> before;
        if (fs::is_regular_file(c.input)) {
            before = test::ReadBytes(c.input);
        }
        const fs::path out = scratch_ / "out.z64";
        const test::RunResult patch = Cli({"patch", c.input.string(), out.string()});
        EXPECT_EQ(patch.exitCode, 1);
        EXPECT_EQ(patch.out, "");
        EXPECT_EQ(patch.err, c.message + "\n" + c.cause + "\n");
        EXPECT_FALSE(fs::exists(out));
        if (!before.empty()) {
            EXPECT_TRUE(test::ReadBytes(c.input) == before);
        }
        const test::RunResult identify = Cli({"identify", c.input.string()});
        EXPECT_EQ(identify.exitCode, 1);
        EXPECT_EQ(identify.out, c.status + "\n" + c.cause + "\n");
    }
    // A patched V64 image is recognised too, whatever its byte order.
    const fs::path v64 = scratch_ / "game.v64";
    WriteSampleImage(v64, {'P', true, 13});
    ASSERT_EQ(Cli({"patch", v64.string()}).exitCode, 0);
    EXPECT_EQ(Cli({"identify", (scratch_ / "game_krn.v64").string()}).out,
              "File Error: Not T-Flux X\n"
              "internal name is \"T-FLUX KRN\": this image has already been patched\n");
}

// An unpatched image at the output is somebody's dump: kept unless --force says otherwise. Any
// other file there is replaced as before.
TEST_F(CliTest, AnUnpatchedImageAtTheOutputIsReplacedOnlyWithForce) {
    const fs::path game = scratch_ / "game.z64";
    WriteSampleImage(game, {'J', false, 21});
    const fs::path dump = scratch_ / "dump.v64";
    WriteSampleImage(dump, {'P', true, 22});
    const auto dumpBytes = test::ReadBytes(dump);

    test::RunResult run = Cli({"patch", game.string(), dump.string()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "Invalid output file\n" + dump.string() +
                           " is an unpatched image of T-Flux X\n--force replaces it\n");
    EXPECT_TRUE(test::ReadBytes(dump) == dumpBytes);
    EXPECT_EQ(test::DirectoryNames(scratch_.path()),
              (std::set<std::string>{"dump.v64", "game.z64", "tmp"}));

    run = Cli({"patch", "--force", game.string(), dump.string()});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Cli({"identify", dump.string()}).out,
              "File Error: Not T-Flux X\n"
              "internal name is \"T-FLUX KRN\": this image has already been patched\n");

    // Now patched, and a file that is no image at all: both replaced without a word.
    for (const std::vector<std::uint8_t>& old :
         {test::ReadBytes(dump), std::vector<std::uint8_t>{1, 2, 3}}) {
        test::WriteBytes(dump, old);
        run = Cli({"patch", game.string(), dump.string()});
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(fs::file_size(dump), kRomSize);
    }
}

// The window program answers --help and --version anywhere, and without a display says so in
// one sentence instead of aborting inside Qt.
TEST_F(CliTest, TheWindowProgramStartsCleanlyWithoutADisplay) {
    const fs::path window = test::BinPath("tflux-krn");
    if (!fs::exists(window)) {
        GTEST_SKIP() << "the window is not built here (TFLUX_KRN_GUI=OFF)";
    }
    const std::vector<std::string> noDisplay = {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="};
    test::RunResult run = test::RunProgram({window.string(), "--help"}, noDisplay);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(run.out.starts_with("Usage: tflux-krn")) << run.out;
    EXPECT_NE(run.out.find("tflux-krn-cli patch"), std::string::npos) << run.out;
    run = test::RunProgram({window.string(), "--version"}, noDisplay);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(run.out.starts_with("tflux-krn ")) << run.out;

    run = test::RunProgram({window.string()}, noDisplay);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_NE(run.err.find("needs a display"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("tflux-krn-cli"), std::string::npos) << run.err;

    // A display that is named but not there ends the same way, not in an abort.
    run = test::RunProgram({window.string()},
                           {"DISPLAY=:87", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_NE(run.err.find("needs a display"), std::string::npos) << run.err;
}

TEST_F(CliTest, PayloadCommandsRoundTripACustomContainer) {
    std::vector<std::vector<std::uint8_t>> records;
    for (int i = 1; i <= 24; ++i) {
        records.push_back(
            test::MakeTrackRecord("Entry " + std::to_string(i), "Sub", static_cast<std::uint8_t>(i),
                                  {{3, 1.5f}, {4, -2.0f}}, static_cast<std::uint32_t>(i)));
    }
    const fs::path container = scratch_ / "custom.dat";
    test::WriteContainer(container, {'u', 'p', 'd'}, records);

    test::RunResult run = Cli({"payload", "list", "--json", "--payload", container.string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto doc = nlohmann::json::parse(run.out)["tracks"];
    ASSERT_EQ(doc.size(), 24u);
    EXPECT_EQ(doc[8]["name"], "Entry 10");  // entries 9 and 10 trade places
    EXPECT_EQ(doc[9]["name"], "Entry 9");
    EXPECT_EQ(doc[0]["attribute"], 1);
    EXPECT_EQ(doc[0]["params"][1]["code"], 4);
    EXPECT_EQ(doc[0]["params"][1]["value"], -2.0);

    fs::create_directory(scratch_ / "out");
    run = Cli({"payload", "unpack", "--payload", container.string(), (scratch_ / "out").string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(test::ReadBytes(scratch_ / "out" / "0.dat.exe"),
              (std::vector<std::uint8_t>{'u', 'p', 'd'}));
    EXPECT_EQ(test::ReadBytes(scratch_ / "out" / "9.dat"), records[9]);
    EXPECT_EQ(test::ReadBytes(scratch_ / "out" / "10.dat"), records[8]);

    // Packing the unpacked files straight back exchanges 9 and 10 once more.
    fs::rename(scratch_ / "out" / "0.dat.exe", scratch_ / "out" / "0.dat");
    run = Cli({"payload", "pack", (scratch_ / "out").string(), (scratch_ / "again.dat").string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    run = Cli({"payload", "list", "--payload", (scratch_ / "again.dat").string()});
    EXPECT_EQ(run.out.substr(0, run.out.find('\n')),
              "1\tEntry 1\tSub\tattr=0x1\tparams=3:1.5,4:-2");
    EXPECT_NE(run.out.find("\n9\tEntry 9\t"), std::string::npos);
}

}  // namespace
}  // namespace tflux
