// The track pack commands of tflux-krn-cli, run as a user runs them.

#include <gtest/gtest.h>

#include <sys/stat.h>

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
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("z64-source is a folder that already holds files"), std::string::npos)
        << run.err;
    EXPECT_EQ(Cli({"payload", "from-image", (scratch_ / "missing.z64").string(),
                   (scratch_ / "x").string()})
                  .exitCode,
              1);
}

TEST_F(PackCliTest, ListAndCheckReportEachCourse) {
    auto run = Cli({"payload", "check"});
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_EQ(run.out, "All 24 courses are valid.\n");

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
    const std::string verdict = "3 of the 24 courses are not valid.\n";
    ASSERT_TRUE(run.out.ends_with(verdict)) << run.out;
    const std::string problems = run.out.substr(0, run.out.size() - verdict.size());
    for (std::size_t at = 0; at < problems.size(); at = problems.find('\n', at) + 1) {
        EXPECT_EQ(problems.compare(at, 6, "track "), 0) << problems.substr(at, 60);
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

// The maps' libraries are loaded only to draw: the other commands start without them; a failure
// inside the module comes back as the engine's own; and a program parted from its module says
// so when it is asked to draw, leaves nothing, and patches.
TEST_F(PackCliTest, LoadsTheMapsOnlyToDraw) {
    const fs::path cli = test::BinPath("tflux-krn-cli");
    const auto loaded =
        test::RunProgram({cli.string(), "--version"}, {"LD_TRACE_LOADED_OBJECTS=1"});
    EXPECT_NE(loaded.out.find("libc.so"), std::string::npos) << loaded.out;
    EXPECT_EQ(loaded.out.find("libcairo"), std::string::npos) << loaded.out;

    // Files of at most 1 KiB: the map's write fails with EFBIG, a refusal.
    const fs::path small = scratch_ / "small.png";
    const auto limited =
        test::RunProgram({"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 2; exec \"$0\" \"$@\"",
                          cli.string(), "payload", "map", "--track", "1", small.string()});
    EXPECT_EQ(limited.exitCode, 1) << limited.err;
    EXPECT_NE(limited.err.find("cannot write " + scratch_.path().string()), std::string::npos)
        << limited.err;
    EXPECT_NE(limited.err.find(": File too large"), std::string::npos) << limited.err;
    EXPECT_FALSE(fs::exists(small));

    const fs::path alone = scratch_ / "alone" / "bin" / "tflux-krn-cli";
    fs::create_directories(alone.parent_path());
    fs::copy_file(cli, alone);
    for (const fs::path& out : {scratch_ / "two.png", scratch_ / "maps"}) {
        const std::string o = out.string();
        auto run = out.extension() == ".png"
                       ? test::RunProgram({alone.string(), "payload", "map", "--track", "2", o})
                       : test::RunProgram({alone.string(), "payload", "map", o});
        EXPECT_EQ(run.exitCode, 3) << run.err;
        EXPECT_NE(run.err.find("cannot load the course maps: " + (scratch_ / "alone").string()),
                  std::string::npos)
            << run.err;
        EXPECT_FALSE(fs::exists(out)) << o;
    }
    for (const std::string& name : test::DirectoryNames(scratch_.path())) {
        EXPECT_NE(name.rfind(".tflux-krn", 0), 0u) << name;
    }
    const fs::path in = scratch_ / "in.z64";
    WriteSampleImage(in, {'E', false, 2});
    const auto patched = test::RunProgram({alone.string(), "patch", in.string()});
    EXPECT_EQ(patched.exitCode, 0) << patched.err;
}

// Results go to standard output, where a script reads them; warnings, refusals and failures go
// to standard error. "" is a stream that must stay empty; otherwise a part it must hold.
TEST_F(PackCliTest, EachCommandPutsResultsOnStandardOutputAndTheRestOnStandardError) {
    const fs::path game = scratch_ / "game.z64";
    WriteSampleImage(game, {'E', false, 31});
    const fs::path patched = scratch_ / "patched.z64";
    const fs::path small = scratch_ / "small.z64";
    test::WriteBytes(small, {1, 2, 3});
    const fs::path broken = ContainerWith("broken.dat", [](int track, Course& c) {
        if (track == 2) {
            c.checksum ^= 1;
        }
    });
    const std::string s = scratch_.path().string() + "/";
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string out;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{"patch", game.string(), patched.string()}, 0, "Patch successful.\n", ""},
        {{"patch", "--payload", broken.string(), game.string(), s + "o.z64"},
         0,
         "Patch successful.\n",
         "warning: track 2: the course is not valid"},
        {{"patch", small.string(), s + "o2.z64"}, 1, "", "Not T-Flux X\n"},
        {{"patch", "--payload", small.string(), game.string(), s + "o3.z64"},
         1,
         "",
         small.string() + ": damaged payload"},
        {{"identify", game.string()}, 0, "File Version: North American (Z64)\n", ""},
        {{"identify", small.string()}, 1, "is 3 bytes, not 16,777,216\n", ""},
        {{"payload", "check"}, 0, "All 24 courses are valid.\n", ""},
        {{"payload", "check", "--payload", broken.string()}, 1, "track 2: the stored checksum", ""},
        {{"payload", "check", "--payload", small.string()}, 1, "", small.string() + ": damaged"},
        {{"payload", "list"}, 0, "\n24\t", ""},
        {{"payload", "unpack", s + "files"}, 0, "Unpacked 25 files into", ""},
        {{"payload", "unpack", game.string()}, 1, "", "is not a folder\n"},
        {{"payload", "pack", s + "files", s + "packed.dat"}, 0, "Packed 25 files into", ""},
        {{"payload", "map", "--track", "3", s + "three.png"}, 0, "Drew track 3 to", ""},
        {{"payload", "from-image", patched.string(), s + "source"}, 0, "Wrote the 24 tracks", ""},
        {{"payload", "from-image", small.string(), s + "none"}, 1, "", "tflux-krn-cli: "},
        {{"payload", "build", s + "source", s + "built.dat"}, 0, "Built ", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const test::RunResult run = Cli(c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
        for (const auto& [text, part] : {std::pair{run.out, c.out}, std::pair{run.err, c.err}}) {
            if (part.empty()) {
                EXPECT_EQ(text, "");
            } else {
                EXPECT_NE(text.find(part), std::string::npos) << text;
            }
        }
    }
}

// `payload unpack` makes its folder, as `from-image` and `map` do, and refuses a path that is
// something else without touching it.
TEST_F(PackCliTest, UnpackMakesAMissingFolderAndRefusesAnythingElse) {
    const fs::path file = scratch_ / "file";
    test::WriteBytes(file, {7, 7});
    fs::create_directory(scratch_ / "there");
    fs::create_symlink(file, scratch_ / "link");
    struct Case {
        fs::path dir;
        int exitCode;
    };
    const std::vector<Case> cases = {
        {scratch_ / "new", 0},   {scratch_ / "a" / "b" / "c", 0},
        {scratch_ / "there", 0}, {file, 1},
        {scratch_ / "link", 1},  {file / "under", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dir.string());
        const test::RunResult run = Cli({"payload", "unpack", c.dir.string()});
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
        if (c.exitCode == 0) {
            EXPECT_EQ(test::DirectoryNames(c.dir).size(), 25u);
        } else {
            EXPECT_EQ(test::ReadBytes(file), (Bytes{7, 7}));
            EXPECT_NE(run.err.find(c.dir.string()), std::string::npos) << run.err;
        }
    }
}

// Every command that writes refuses, before any work and without touching it, an output that is
// not a regular file, one of the command's own inputs, an unpatched game image (unless
// --force), or a folder that already holds files.
TEST_F(PackCliTest, EveryCommandThatWritesRefusesAnOutputItMustNotReplace) {
    const fs::path game = scratch_ / "game.z64";
    WriteSampleImage(game, {'E', false, 5});
    const fs::path source = scratch_ / "source";
    const fs::path files = scratch_ / "files";
    ASSERT_EQ(Cli({"payload", "from-image", game.string(), source.string()}).exitCode, 0);
    ASSERT_EQ(Cli({"payload", "unpack", files.string()}).exitCode, 0);
    const fs::path container = scratch_ / "pack.dat";
    ASSERT_EQ(Cli({"payload", "build", source.string(), container.string()}).exitCode, 0);
    const fs::path fifo = scratch_ / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const fs::path full = scratch_ / "full";
    fs::create_directory(full);
    test::WriteBytes(full / "keep.txt", {'k'});
    const fs::path course = source / "blocks" / "01.bin";  // the sample's courses are raw
    struct Case {
        std::vector<std::string> args;
        fs::path out;
        std::string cause;
    };
    const std::string b = "build", p = "pack", m = "map", u = "unpack", f = "from-image";
    const std::vector<Case> cases = {
        {{b, source.string(), fifo.string()}, fifo, "is not a file"},
        {{b, source.string(), (source / "trackpack.json").string()},
         source / "trackpack.json",
         "which this reads"},
        {{b, source.string(), course.string()}, course, "which this reads"},
        {{b, source.string(), game.string()}, game, "unpatched image of T-Flux X\n--force"},
        {{p, files.string(), (files / "7.dat").string()}, files / "7.dat", "which this reads"},
        {{p, files.string(), game.string()}, game, "unpatched image"},
        {{m, "--track", "1", fifo.string()}, fifo, "is not a file"},
        {{m, "--payload", container.string(), "--track", "2", container.string()},
         container,
         "which this reads"},
        {{m, "--payload", source.string(), "--track", "1", course.string()},
         course,
         "which this reads"},
        {{m, full.string()}, full / "keep.txt", "already holds files"},
        {{u, full.string()}, full / "keep.txt", "already holds files"},
        {{f, game.string(), full.string()}, full / "keep.txt", "already holds files"},
        {{"patch", "--payload", container.string(), game.string(), container.string()},
         container,
         "which this reads"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const auto kind = fs::symlink_status(c.out).type();
        const Bytes before = kind == fs::file_type::regular ? test::ReadBytes(c.out) : Bytes{};
        std::vector<std::string> args = c.args;
        if (args[0] != "patch") {
            args.insert(args.begin(), "payload");
        }
        const test::RunResult run = Cli(args);
        EXPECT_EQ(run.exitCode, 1) << run.err;
        EXPECT_NE(run.err.find("Invalid output file\n"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(c.cause), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(fs::symlink_status(c.out).type(), kind);
        if (kind == fs::file_type::regular) {
            EXPECT_EQ(test::ReadBytes(c.out), before);
        }
    }
    EXPECT_EQ(test::DirectoryNames(full), (std::set<std::string>{"keep.txt"}));
    // Asked for, an image of the game is replaced.
    EXPECT_EQ(Cli({"payload", b, "--force", source.string(), game.string()}).exitCode, 0);
}

// `payload pack` takes back what `payload unpack` wrote, byte for byte: the updater's name and
// the exchanged names of entries 9 and 10 included.
TEST_F(PackCliTest, UnpackThenPackGivesTheSameContainer) {
    const fs::path files = scratch_ / "files";
    ASSERT_EQ(Cli({"payload", "unpack", files.string()}).exitCode, 0);
    const fs::path packed = scratch_ / "packed.dat";
    const test::RunResult run = Cli({"payload", "pack", files.string(), packed.string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto builtIn = BuiltInPayload();
    EXPECT_EQ(test::ReadBytes(packed), Bytes(builtIn.begin(), builtIn.end()));
    // Both layouts at once leave the order of the entries a guess.
    test::WriteBytes(files / "0.dat", {1});
    EXPECT_EQ(Cli({"payload", "pack", files.string(), (scratch_ / "again.dat").string()}).exitCode,
              1);
    EXPECT_FALSE(fs::exists(scratch_ / "again.dat"));
}

}  // namespace
}  // namespace tflux
