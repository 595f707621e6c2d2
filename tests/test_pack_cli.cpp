// The track pack commands of tflux-krn-cli, run as a user runs them.

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "course/course.h"
#include "pack/pack_source.h"
#include "payload/builtin_payload.h"
#include "payload/container.h"
#include "rom/byteorder.h"
#include "romtables/regions.h"
#include "romtables/sample_image.h"
#include "support/test_util.h"

namespace tflux {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

class PackCliTest : public ::testing::Test {
  protected:
    PackCliTest() : tmp_(scratch_ / "tmp") {}

    test::RunResult Cli(std::vector<std::string> args) {
        args.insert(args.begin(), test::BinPath("tflux-krn-cli").string());
        return test::RunProgram(args, {"TMPDIR=" + (scratch_ / "tmp").string()});
    }

    // The built-in pack with some tracks' courses changed, as a container file.
    fs::path ContainerWith(const std::string& name,
                           const std::function<void(int track, Course&)>& change) {
        PackSource pack = LoadPackSource(TFLUX_PACK_DIR);
        for (PackTrack& t : pack.tracks) {
            Course course = DecodeCourse(t.record.block);
            change(TrackOfEntry(t.entry), course);
            t.record.block = EncodeCourse(course);
        }
        const auto builtIn = BuiltInPayload();
        const auto entries = LocatePayloadEntries(builtIn, builtIn.size());
        const Bytes container =
            BuildPackContainer(builtIn.subspan(entries[0].offset, entries[0].length), pack);
        const fs::path path = scratch_ / name;
        test::WriteBytes(path, container);
        return path;
    }

    test::ScratchDir scratch_;
    test::TempDirOverride tmp_;
};

// Patched, taken apart again and rebuilt, the pack gives the same image once more.
TEST_F(PackCliTest, FromImageThenBuildPutsTheSameTracksBackForEveryRegionAndOrder) {
    for (const char region : {'E', 'J', 'P'}) {
        for (const bool v64 : {false, true}) {
            const std::string tag = std::string(1, region) + (v64 ? "v64" : "z64");
            SCOPED_TRACE(tag);
            const fs::path in = scratch_ / (tag + ".img");
            WriteSampleImage(in, {region, v64, 7});
            const fs::path first = scratch_ / (tag + "_krn.img");
            ASSERT_EQ(Cli({"patch", in.string(), first.string()}).exitCode, 0);

            const fs::path source = scratch_ / (tag + "-source");
            auto run = Cli({"payload", "from-image", first.string(), source.string()});
            ASSERT_EQ(run.exitCode, 0) << run.err;
            EXPECT_NE(run.out.find("(24 readable courses, 0 raw blocks)"), std::string::npos)
                << run.out;
            const fs::path rebuilt = scratch_ / (tag + ".dat");
            run = Cli({"payload", "build", source.string(), rebuilt.string()});
            ASSERT_EQ(run.exitCode, 0) << run.err;

            const fs::path second = scratch_ / (tag + "_again.img");
            run = Cli({"patch", "--payload", rebuilt.string(), in.string(), second.string()});
            ASSERT_EQ(run.exitCode, 0) << run.err;
            EXPECT_EQ(run.err, "");  // the rebuilt courses are all valid
            EXPECT_TRUE(test::ReadBytes(first) == test::ReadBytes(second));
        }
    }
}

TEST_F(PackCliTest, FromImageCarriesArbitraryCourseBytesThroughUnchanged) {
    for (const bool v64 : {false, true}) {
        SCOPED_TRACE(v64 ? "v64" : "z64");
        const fs::path image = scratch_ / (v64 ? "noise.v64" : "noise.z64");
        WriteSampleImage(image, {'E', v64, 3});
        // The sample's own course area is pseudo-random bytes, as in no real image.
        Bytes bytes = test::ReadBytes(image);
        Bytes blocks(bytes.begin() + kRegionE.courseBase,
                     bytes.begin() + kRegionE.courseBase + 24 * 2016);
        if (v64) {
            SwapPairs(blocks, blocks.size());
        }
        const fs::path source = scratch_ / (v64 ? "v64-source" : "z64-source");
        auto run = Cli({"payload", "from-image", image.string(), source.string()});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_NE(run.out.find("(0 readable courses, 24 raw blocks)"), std::string::npos);
        const fs::path container = scratch_ / "noise.dat";
        run = Cli({"payload", "build", source.string(), container.string()});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_NE(run.err.find("warning: "), std::string::npos);  // the blocks are not courses

        const Bytes packed = test::ReadBytes(container);
        const auto entries = LocatePayloadEntries(packed, packed.size());
        for (int entry = 1; entry <= 24; ++entry) {
            const auto& e = entries[std::size_t(entry)];
            const auto at = std::size_t(TrackOfEntry(entry) - 1) * 2016;
            EXPECT_TRUE(std::equal(blocks.begin() + long(at), blocks.begin() + long(at) + 2016,
                                   packed.begin() + long(e.offset) + 93))
                << "entry " << entry;
        }
    }
    // A folder that already holds a pack source is not written over.
    const auto run = Cli({"payload", "from-image", (scratch_ / "noise.z64").string(),
                          (scratch_ / "z64-source").string()});
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_NE(run.err.find("already holds trackpack.json"), std::string::npos) << run.err;
    EXPECT_EQ(Cli({"payload", "from-image", (scratch_ / "missing.z64").string(),
                   (scratch_ / "x").string()})
                  .exitCode,
              3);
}

TEST_F(PackCliTest, ListAndCheckReportEachCourse) {
    auto run = Cli({"payload", "check"});
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_EQ(run.out, "");

    run = Cli({"payload", "list", "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto doc = nlohmann::json::parse(run.out);
    ASSERT_EQ(doc["tracks"].size(), 24u);
    for (const auto& t : doc["tracks"]) {
        const auto& c = t["course"];
        EXPECT_TRUE(c["valid"].get<bool>()) << t["track"];
        EXPECT_EQ(c["problems"].size(), 0u);
        EXPECT_EQ(c["checksum"], c["stored_checksum"]);
        EXPECT_GE(c["points"].get<int>(), 4);
        EXPECT_GT(c["length"].get<double>(), 3000.0);
        EXPECT_TRUE(c["venue"].is_string());
    }
    EXPECT_EQ(doc["tracks"][8]["track"], 9);

    // Three tracks broken three ways, each named by its track.
    const fs::path broken = ContainerWith("broken.dat", [](int track, Course& c) {
        if (track == 2) {
            c.count = 70;
        } else if (track == 9) {
            c.checksum ^= 0x100;
            return;
        } else if (track == 17) {
            c.points[4].x = c.points[3].x;
            c.points[4].y = c.points[3].y;
            c.points[4].z = c.points[3].z;
        }
        c.checksum = CourseChecksum(c);
    });
    run = Cli({"payload", "check", "--payload", broken.string()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.out.find("track 2: the course has 70 control points"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("track 9: the stored checksum"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("track 17: segment 3: points 3 and 4 are 0.0 apart"), std::string::npos)
        << run.out;
    for (std::size_t at = 0; at < run.out.size(); at = run.out.find('\n', at) + 1) {
        EXPECT_EQ(run.out.compare(at, 6, "track "), 0) << run.out.substr(at, 60);
    }

    run = Cli({"payload", "list", "--json", "--payload", broken.string()});
    ASSERT_EQ(run.exitCode, 0);
    const auto listed = nlohmann::json::parse(run.out);
    EXPECT_FALSE(listed["tracks"][8]["course"]["valid"].get<bool>());
    EXPECT_NE(listed["tracks"][8]["course"]["checksum"],
              listed["tracks"][8]["course"]["stored_checksum"]);
    EXPECT_TRUE(listed["tracks"][0]["course"]["valid"].get<bool>());

    // The patch still goes through, with one warning line per invalid track.
    const fs::path in = scratch_ / "in.z64";
    WriteSampleImage(in, {'E', false, 1});
    run = Cli({"patch", "--payload", broken.string(), in.string(), (scratch_ / "o.z64").string()});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 3) << run.err;
    EXPECT_NE(run.err.find("warning: track 17: the course is not valid"), std::string::npos);
}

TEST_F(PackCliTest, MapsEveryTrackAndTheSheet) {
    const fs::path maps = scratch_ / "maps";
    auto run = Cli({"payload", "map", maps.string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const Bytes signature = {0x89, 'P', 'N', 'G'};
    for (const char* name : {"01.png", "09.png", "24.png", "overview.png"}) {
        const Bytes png = test::ReadBytes(maps / name);
        ASSERT_GT(png.size(), 1000u) << name;
        EXPECT_TRUE(std::equal(signature.begin(), signature.end(), png.begin())) << name;
    }
    EXPECT_EQ(test::DirectoryNames(maps).size(), 25u);
    run = Cli({"payload", "map", "--track", "5", (scratch_ / "five.png").string()});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(fs::exists(scratch_ / "five.png"));
    EXPECT_EQ(Cli({"payload", "map", "--track", "25", maps.string()}).exitCode, 2);
}

}  // namespace
}  // namespace tflux
