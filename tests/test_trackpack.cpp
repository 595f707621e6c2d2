#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>

#include "course/course.h"
#include "course/course_geometry.h"
#include "pack/pack_source.h"
#include "rom/byteorder.h"
#include "rom/errors.h"
#include "support/test_util.h"

namespace tflux {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

const fs::path kBundled = TFLUX_PACK_DIR;

Bytes Slice(const Bytes& bytes, std::size_t offset, std::size_t size) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                 bytes.begin() + static_cast<std::ptrdiff_t>(offset + size));
}

Bytes Padded(const std::string& text, std::size_t width) {
    Bytes field(text.begin(), text.end());
    field.resize(width, 0);
    return field;
}

void WriteText(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    test::WriteBytes(path, Bytes(text.begin(), text.end()));
}

json ReadJson(const fs::path& path) {
    const Bytes bytes = test::ReadBytes(path);
    return json::parse(bytes.begin(), bytes.end());
}

// A copy of the bundled pack source that a test may change.
class PackDir : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::copy(kBundled, dir.path(), fs::copy_options::recursive);
        pack = ReadJson(dir / kPackFileName);
    }
    void Save() { WriteText(dir / kPackFileName, pack.dump(2)); }
    fs::path CourseFile(std::size_t index) const {
        return dir / pack["tracks"][index]["course"].get<std::string>();
    }
    // The message a refused pack gives, or a failure when it is accepted.
    std::string Refusal() {
        Save();
        try {
            LoadPackSource(dir.path());
        } catch (const EngineError& e) {
            return e.what();
        }
        ADD_FAILURE() << "pack accepted";
        return {};
    }
    test::ScratchDir dir;
    json pack;
};

TEST(TrackPack, BundledPackCompilesWithEveryFieldInPlace) {
    const json source = ReadJson(kBundled / kPackFileName);
    const PackSource pack = LoadPackSource(kBundled);
    EXPECT_TRUE(pack.warnings.empty());
    EXPECT_LE(pack.usage.paramEntriesUnshared, kParamPoolEntries);
    const auto records = CompilePack(pack);
    ASSERT_EQ(records.size(), 24u);

    std::set<std::uint8_t> attributes;
    for (const json& t : source["tracks"]) {
        const int entry = t["entry"].get<int>();
        SCOPED_TRACE("entry " + std::to_string(entry));
        const Bytes& record = records.at(static_cast<std::size_t>(entry - 1));
        ASSERT_EQ(record.size(), 2109u);
        EXPECT_EQ(Slice(record, 0, 20), Padded(t["name"].get<std::string>(), 20));
        EXPECT_EQ(Slice(record, 20, 24), Padded(t["subtitle"].get<std::string>(), 24));
        EXPECT_EQ(record[44], t["attribute"].get<int>());
        attributes.insert(record[44]);
        const json& params = t["params"];
        for (std::size_t k = 0; k < 6; ++k) {
            const std::size_t slot = 45 + 8 * k;
            EXPECT_EQ(record[slot] | record[slot + 2] | record[slot + 3], 0);
            if (k < params.size()) {
                EXPECT_EQ(record[slot + 1], params[k][0].get<int>());
                const auto bits = std::bit_cast<std::uint32_t>(params[k][1].get<float>());
                EXPECT_EQ(GetBE32(record, slot + 4 + 1), bits);
            } else {
                EXPECT_EQ(GetBE32(record, slot + 1) | GetBE32(record, slot + 5), 0u);
            }
        }
        // The block is the readable course compiled, with what the compiler fills in.
        ASSERT_TRUE(t.contains("course")) << "the bundled pack carries no raw blocks";
        const Bytes text = test::ReadBytes(kBundled / t["course"].get<std::string>());
        Course expected = ParseCourseSource(std::string(text.begin(), text.end()), "course");
        expected.flag = 1;
        const Course course = DecodeCourse(Slice(record, 93, 2016));
        const auto block = EncodeCourse(expected);
        EXPECT_EQ(Slice(record, 93, 2016), Bytes(block.begin(), block.end()));
        EXPECT_EQ(course.creator, 4);
        EXPECT_EQ(course.flag, 1);
        EXPECT_EQ(course.checksum, CourseChecksum(course));
        EXPECT_TRUE(ValidateCourse(course).empty());
    }
    EXPECT_GE(attributes.size(), 4u);
}

// What a user drives: every course valid with room to spare, the game's whole vocabulary
// across the pack, and no two courses alike.
TEST(TrackPack, BundledCoursesAreValidWithMarginsAndVaried) {
    const PackSource pack = LoadPackSource(kBundled);
    std::set<int> venues;
    std::array<int, kShapeCount> shapes{};
    std::array<int, kFeatureCount> features{};
    std::vector<std::vector<std::pair<long, long>>> layouts;
    for (const PackTrack& track : pack.tracks) {
        SCOPED_TRACE(track.courseFile);
        EXPECT_FALSE(track.rawBlock);
        const Course course = DecodeCourse(track.record.block);
        EXPECT_TRUE(ValidateCourse(course).empty());
        const CourseFigures f = MeasureCourse(course);
        EXPECT_GE(course.count, 12);
        EXPECT_GE(f.minPointDistance, 110.0);
        EXPECT_GE(f.minEdgeDistance, 170.0);
        EXPECT_GE(f.minTension, 0.05);
        EXPECT_LE(f.maxTension, 1.95);
        EXPECT_GE(f.length, 8000.0);
        EXPECT_LE(f.length, 200000.0);
        EXPECT_LE(f.slices, 600);
        EXPECT_GE(f.minFoldMargin, 0.05);
        if (std::isfinite(f.minTransitionSlack)) {
            EXPECT_GE(f.minTransitionSlack, 40.0);
        }
        EXPECT_GE(f.segmentsByFeature[static_cast<std::size_t>(Feature::Pit)], 1)
            << "every course needs a refill zone";
        venues.insert(course.venue);
        for (std::size_t s = 0; s < shapes.size(); ++s) {
            shapes[s] += f.segmentsByShape[s];
        }
        for (std::size_t k = 0; k < features.size(); ++k) {
            features[k] += f.segmentsByFeature[k];
        }
        // The layout as the game centres it, to the nearest 100 units.
        double minX = 1e9, maxX = -1e9, minZ = 1e9, maxZ = -1e9;
        for (std::size_t i = 0; i < course.PointsInUse(); ++i) {
            minX = std::min<double>(minX, course.points[i].x);
            maxX = std::max<double>(maxX, course.points[i].x);
            minZ = std::min<double>(minZ, course.points[i].z);
            maxZ = std::max<double>(maxZ, course.points[i].z);
        }
        std::vector<std::pair<long, long>> layout;
        for (std::size_t i = 0; i < course.PointsInUse(); ++i) {
            layout.emplace_back(std::lround((course.points[i].x - (minX + maxX) / 2) / 100),
                                std::lround((course.points[i].z - (minZ + maxZ) / 2) / 100));
        }
        EXPECT_EQ(std::count(layouts.begin(), layouts.end(), layout), 0)
            << "two courses share one layout";
        layouts.push_back(layout);
    }
    EXPECT_GE(venues.size(), 5u);
    for (int s = 0; s < kShapeCount; ++s) {
        EXPECT_GT(shapes[std::size_t(s)], 0) << ShapeName(static_cast<Shape>(s));
    }
    for (std::size_t k = 0; k < kFeatureCount; ++k) {
        EXPECT_GT(features[k], 0) << FeatureName(static_cast<Feature>(k));
    }
}

TEST(TrackPack, RecordLayoutAtTheFieldLimits) {
    TrackRecord track;
    track.name = "ABCDEFGHIJKLMNOPQRST";          // 20 bytes: no NUL left in the field
    track.subtitle = "abcdefghijklmnopqrstuvwx";  // 24 bytes
    track.attribute = 0xFF;
    track.params = {{1, 240.0f}, {255, -2.5f}, {7, 0.1f}, {2, -0.0f}, {3, 1.0f}, {4, 0.0f}};
    track.block.fill(0x5A);
    const Bytes record = SaveDat(track);
    ASSERT_EQ(record.size(), 2109u);
    EXPECT_EQ(Slice(record, 0, 20), Padded(track.name, 20));
    EXPECT_EQ(Slice(record, 20, 24), Padded(track.subtitle, 24));
    EXPECT_EQ(record[44], 0xFF);
    const Bytes slots = Slice(record, 45, 48);
    EXPECT_EQ(slots, (Bytes{0, 1,   0, 0, 0x43, 0x70, 0x00, 0x00,  // 240.0
                            0, 255, 0, 0, 0xC0, 0x20, 0x00, 0x00,  // -2.5
                            0, 7,   0, 0, 0x3D, 0xCC, 0xCC, 0xCD,  // 0.1 as a single
                            0, 2,   0, 0, 0x00, 0x00, 0x00, 0x00,  // -0.0 stored as +0
                            0, 3,   0, 0, 0x3F, 0x80, 0x00, 0x00,  // 1.0
                            0, 4,   0, 0, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Slice(record, 93, 2016), Bytes(2016, 0x5A));

    const TrackRecord back = ReadTrackRecord(record);
    EXPECT_EQ(back.name, track.name);
    EXPECT_EQ(back.subtitle, track.subtitle);
    EXPECT_EQ(back.params.size(), 6u);
    EXPECT_EQ(back.params[1], (std::pair<std::uint8_t, float>{255, -2.5f}));
    EXPECT_EQ(SaveDat(back), record);

    track.name = "A";
    track.params.clear();
    const Bytes empty = SaveDat(track);
    EXPECT_EQ(Slice(empty, 0, 20), Padded("A", 20));
    EXPECT_EQ(Slice(empty, 45, 48), Bytes(48, 0));  // first code 0: an empty set

    track.name = std::string(21, 'N');
    EXPECT_THROW(SaveDat(track), EngineError);
    track.name = "N";
    track.params = {{0, 1.0f}};
    EXPECT_THROW(SaveDat(track), EngineError);
    track.params.assign(7, {1, 1.0f});
    EXPECT_THROW(SaveDat(track), EngineError);
}

TEST_F(PackDir, RefusesBrokenPacksNamingTheProblem) {
    pack["tracks"].push_back(pack["tracks"][0]);
    EXPECT_NE(Refusal().find("the pack has 25 tracks; it must have exactly 24"), std::string::npos);
    pack["tracks"].erase(24);

    pack["tracks"][4]["name"] = std::string(21, 'N');
    std::string message = Refusal();
    EXPECT_NE(message.find("trackpack.json: tracks[4] (track 5): name"), std::string::npos)
        << message;
    EXPECT_NE(message.find("is 21 bytes; the record holds at most 20"), std::string::npos);
    pack["tracks"][4]["name"] = "Five";

    pack["tracks"][5]["entry"] = 3;
    message = Refusal();
    EXPECT_NE(message.find("entry 3 is already used by tracks[2]"), std::string::npos);
    EXPECT_NE(message.find("entry 6 is missing"), std::string::npos);
    pack["tracks"][5]["entry"] = 6;

    for (const char* huge : {"1e39", "-3.5e38"}) {
        pack["tracks"][1]["params"][0][1] = 12345.0;
        std::string text = pack.dump();
        text.replace(text.find("12345.0"), 7, huge);
        WriteText(dir / kPackFileName, text);
        try {
            LoadPackSource(dir.path());
            ADD_FAILURE() << huge << " accepted";
        } catch (const EngineError& e) {
            EXPECT_NE(std::string(e.what()).find("parameter pair 1: value must be a finite"),
                      std::string::npos)
                << e.what();
        }
    }
    pack["tracks"][1]["params"][0][1] = 240.0;

    // Every problem is reported in one go, each with its track.
    pack["tracks"][0]["name"] = std::string(30, 'n');
    pack["tracks"][8]["params"][0][0] = 0;
    message = Refusal();
    EXPECT_NE(message.find("tracks[0] (track 1): name"), std::string::npos) << message;
    EXPECT_NE(message.find("tracks[8] (track 10 (entry 9)): parameter pair 1: code must be"),
              std::string::npos)
        << message;
}

TEST_F(PackDir, RefusesFieldsTheRecordCannotCarry) {
    const json original = pack;
    auto refusedWith = [&](const std::function<void(json&)>& change, const std::string& expected) {
        pack = original;
        change(pack["tracks"][0]);
        const std::string message = Refusal();
        EXPECT_NE(message.find(expected), std::string::npos) << message;
        // No follow-on lines ("entry 1 is missing", "name is empty") after the one fault.
        EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 0) << message;
    };
    refusedWith([](json& t) { t["subtitle"] = std::string(25, 's'); }, "is 25 bytes");
    refusedWith([](json& t) { t["name"] = "\xE2\x82\xAC uro"; }, "characters up to U+00FF");
    refusedWith([](json& t) { t["entry"] = 99; }, "entry must be a whole number from 1 to 24");
    refusedWith([](json& t) { t["attribute"] = 256; }, "attribute must be a whole number");
    refusedWith([](json& t) { t["attribute"] = 1.5; }, "attribute must be a whole number");
    refusedWith([](json& t) { t["params"][0][0] = 256; }, "code must be a whole number");
    refusedWith([](json& t) { t["params"][0] = json::array({1}); }, "must be [code, value]");
    refusedWith([](json& t) { t["params"][0][1] = "fast"; }, "value must be a finite");
    refusedWith(
        [](json& t) {
            t["params"] = json::array({{1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}, {6, 1}, {7, 1}});
        },
        "has 7 pairs");
    refusedWith([](json& t) { t["nmae"] = "typo"; }, "unknown field \"nmae\"");
    refusedWith([](json& t) { t.erase("subtitle"); }, "field \"subtitle\" is missing");
    refusedWith([](json& t) { t.erase("course"); }, "exactly one of \"course\"");
    refusedWith([](json& t) { t["block"] = "x.bin"; }, "exactly one of \"course\"");
    refusedWith([](json& t) { t["course"] = "courses/none.json"; }, "none.json");
    // Course files stay inside the pack folder, whatever the path or a link in it says.
    const test::ScratchDir elsewhere;
    test::WriteBytes(elsewhere / "secret.json", Bytes{'{', '}'});
    fs::create_symlink(elsewhere / "secret.json", dir / "out.json");
    refusedWith([&](json& t) { t["course"] = (elsewhere / "secret.json").string(); },
                "\" must be relative to the pack folder");
    refusedWith([](json& t) { t["course"] = "courses/../../secret.json"; }, "must not climb out");
    refusedWith(
        [](json& t) {
            t["block"] = std::string("a\0b", 3);
            t.erase("course");
        },
        "block holds a NUL byte");
    refusedWith([](json& t) { t["course"] = "out.json"; }, "course leads out of the pack folder");

    // Sound but doubtful choices are carried, with a word: a pack made from an image whose track
    // has no name must build again.
    for (const auto& [change, expected] :
         std::vector<std::pair<std::function<void(json&)>, std::string>>{
             {[](json& t) { t["name"] = ""; }, "name is empty"},
             {[](json& t) {
                  t["params"] = json::array({{3, 1}, {3, 2}, {3, 4}});
              },
              "parameter code 3 is given more than once"}}) {
        pack = original;
        change(pack["tracks"][0]);
        Save();
        const PackSource carried = LoadPackSource(dir.path());
        ASSERT_EQ(carried.warnings.size(), 1u) << expected;
        EXPECT_NE(carried.warnings[0].find(expected), std::string::npos) << carried.warnings[0];
    }

    // Which of two equal keys would count is a guess.
    WriteText(dir / kPackFileName, "{\"tracks\": [], \"tracks\": []}");
    try {
        LoadPackSource(dir.path());
        ADD_FAILURE() << "a repeated key was accepted";
    } catch (const EngineError& e) {
        EXPECT_NE(std::string(e.what()).find("\"tracks\" is given twice"), std::string::npos)
            << e.what();
    }

    // A Latin-1 letter is carried as its byte, with a word about the game's font.
    pack = original;
    pack["tracks"][0]["name"] = "Caf\xC3\xA9";
    Save();
    const PackSource accepted = LoadPackSource(dir.path());
    EXPECT_EQ(accepted.tracks[0].record.name, "Caf\xE9");
    ASSERT_EQ(accepted.warnings.size(), 1u);
    EXPECT_NE(accepted.warnings[0].find("holds the byte 0xE9"), std::string::npos);

    pack = original;
    WriteText(dir / kPackFileName, "{\"tracks\": [\n  {\"entry\": 1,\n  }\n");
    try {
        LoadPackSource(dir.path());
        ADD_FAILURE() << "accepted";
    } catch (const EngineError& e) {
        EXPECT_NE(std::string(e.what()).find("trackpack.json: line 3, column 3: not valid JSON"),
                  std::string::npos)
            << e.what();
    }
    WriteText(dir / kPackFileName, "[]");
    EXPECT_THROW(LoadPackSource(dir.path()), EngineError);
}

TEST_F(PackDir, HoldsThePackToTheGamesPools) {
    const json original = pack;
    for (std::size_t i = 0; i < 24; ++i) {
        // 16 distinct subtitles of 24 bytes fill 400 bytes of a 368-byte pool
        pack["tracks"][i]["subtitle"] = std::string(23, 's') + char('a' + i % 16);
    }
    EXPECT_NE(Refusal().find("subtitles take 400 bytes"), std::string::npos);

    pack = original;
    for (std::size_t i = 0; i < 24; ++i) {
        pack["tracks"][i]["name"] = std::string(15, 'n') + char('a' + i);  // 24 x 17 = 408
    }
    EXPECT_NE(Refusal().find("names take 408 bytes"), std::string::npos);
    pack["tracks"][23]["name"] = pack["tracks"][22]["name"];  // shared: 391 bytes fit
    Save();
    EXPECT_NO_THROW(LoadPackSource(dir.path()));

    pack = original;
    for (std::size_t i = 0; i < 24; ++i) {
        pack["tracks"][i]["params"] = json::array({{1, i + 1}, {2, 1}, {3, 1}, {4, 1}});
    }
    EXPECT_NE(Refusal().find("parameter sets take 120 entries"), std::string::npos);

    // Equal sets fit when shared but not on their own: accepted, with a warning.
    for (std::size_t i = 0; i < 24; ++i) {
        pack["tracks"][i]["params"] = json::array({{1, 1}, {2, 1}, {3, 1}, {4, 1}});
    }
    Save();
    const PackSource shared = LoadPackSource(dir.path());
    EXPECT_EQ(shared.usage.paramEntries, 5u);
    EXPECT_EQ(shared.usage.paramEntriesUnshared, 120u);
    ASSERT_EQ(shared.warnings.size(), 1u);
    EXPECT_NE(shared.warnings[0].find("120 of the 100 pool entries"), std::string::npos);
}

TEST_F(PackDir, ReadableCoursesAreRefusedWithTheirFileTrackAndLine) {
    const fs::path file = CourseFile(2);  // track 3
    const Bytes bytes = test::ReadBytes(file);
    const std::string text(bytes.begin(), bytes.end());
    const json course = json::parse(text);
    const std::string name = fs::path(pack["tracks"][2]["course"].get<std::string>()).filename();

    auto refusal = [&](const json& changed) {
        WriteText(file, changed.dump(2));
        return Refusal();
    };
    // Broken by the game's rules: the validator's sentence, the file and the track.
    json broken = course;
    broken["points"][2]["left"] = 40;
    std::string message = refusal(broken);
    EXPECT_NE(message.find(name + ": track 3: point 2: left radius 40 is below 50"),
              std::string::npos)
        << message;

    // Malformed: the field, named by its place in the file.
    broken = course;
    broken["venue"] = "moon";
    EXPECT_NE(refusal(broken).find("venue \"moon\" is not one the game has"), std::string::npos);
    broken = course;
    broken["points"][5].erase("style");
    broken["points"][5]["shape"] = "road";
    EXPECT_NE(refusal(broken).find("points[5]: style is missing"), std::string::npos);
    broken = course;
    broken["points"][6]["dash"] = "everywhere";
    EXPECT_NE(refusal(broken).find("points[6]: dash must be one of middle, left, right"),
              std::string::npos);
    broken = course;
    broken["points"][7]["colour"] = "red";
    EXPECT_NE(refusal(broken).find("points[7]: unknown field \"colour\""), std::string::npos);
    broken = course;
    broken["points"][1]["x"] = "far";
    EXPECT_NE(refusal(broken).find("points[1]: x must be a number"), std::string::npos);
    broken = course;
    broken["points"] = json::array({course["points"][0], course["points"][1]});
    EXPECT_NE(refusal(broken).find("the course has 2 points; a course has 4 to 64"),
              std::string::npos);

    // A syntax error: the line it is on.
    std::string text2 = text;
    text2.insert(text2.find('\n', text2.find('\n') + 1) + 1, "  \"oops\" 1,\n");  // line 3
    WriteText(file, text2);
    message = Refusal();
    EXPECT_NE(message.find(name + ": line 3, column"), std::string::npos) << message;
}

TEST_F(PackDir, RawBlocksAreCarriedAsTheyAreWithAWarningPerProblem) {
    Bytes noise(2016);
    std::uint32_t x = 7;
    for (auto& b : noise) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    fs::create_directories(dir / "blocks");
    test::WriteBytes(dir / "blocks" / "noise.bin", noise);
    pack["tracks"][9].erase("course");  // entry 10: track 9
    pack["tracks"][9]["block"] = "blocks/noise.bin";
    Save();
    const PackSource source = LoadPackSource(dir.path());
    EXPECT_TRUE(source.tracks[9].rawBlock);
    EXPECT_EQ(Slice(CompilePack(source)[9], 93, 2016), noise);
    const auto problems = ValidateCourse(DecodeCourse(noise));
    ASSERT_FALSE(problems.empty());
    ASSERT_EQ(source.warnings.size(), problems.size());
    EXPECT_NE(source.warnings[0].find("noise.bin: track 9 (entry 10): " + problems[0]),
              std::string::npos)
        << source.warnings[0];

    test::WriteBytes(dir / "blocks" / "noise.bin", Slice(noise, 0, 2015));
    EXPECT_NE(Refusal().find("a raw course block is 2,016 bytes; this file has 2,015"),
              std::string::npos);
}

TEST(CourseSource, WritesWhatCompilesBackAndNothingElse) {
    const PackSource pack = LoadPackSource(kBundled);
    for (const PackTrack& track : pack.tracks) {
        const Course course = DecodeCourse(track.record.block);
        const auto text = WriteCourseSource(course);
        ASSERT_TRUE(text) << track.courseFile;
        Course back = ParseCourseSource(*text, "back");
        back.flag = 1;
        EXPECT_EQ(EncodeCourse(back), track.record.block) << track.courseFile;
    }
    const Course good = DecodeCourse(pack.tracks[0].record.block);
    auto says = [&](const std::function<void(Course&)>& change) {
        Course c = good;
        change(c);
        return WriteCourseSource(c).has_value();
    };
    EXPECT_FALSE(says([](Course& c) { c.checksum ^= 1; }));
    EXPECT_FALSE(says([](Course& c) { c.flag = 0; }));
    EXPECT_FALSE(says([](Course& c) { c.venue = 10; }));
    EXPECT_FALSE(says([](Course& c) { c.creator = 3; }));
    EXPECT_FALSE(says([](Course& c) {
        c.points[1].info |= 0x600;  // join bits the game recomputes
        c.checksum = CourseChecksum(c);
    }));
    EXPECT_FALSE(says([](Course& c) {
        c.Feat(Feature::Sign, 1) = 9;
        c.checksum = CourseChecksum(c);
    }));
    EXPECT_FALSE(says([](Course& c) { c.points[63].x = 1; }));
    // What the readable form does say survives: the file name, music, a negative bank.
    EXPECT_TRUE(says([](Course& c) {
        std::copy_n("my course", 9, c.fileName.begin());
        c.music = 5;
        c.bank[2] = -30;
        c.checksum = CourseChecksum(c);
    }));
}

// ---- the build tool as the build runs it ----

struct Container {
    std::vector<Bytes> entries;
};

// Reads a container from its bare bytes, checking the layout as it goes.
Container ReadContainer(const Bytes& file) {
    Container c;
    EXPECT_EQ(std::string(file.begin(), file.begin() + 8), "QUINTARA");
    std::size_t position = 109;
    for (std::size_t i = 0; i < 25; ++i) {
        EXPECT_EQ(GetLE32(file, 8 + 4 * i), static_cast<std::int32_t>(position));
        const auto length = static_cast<std::size_t>(GetLE32(file, position - 1));
        c.entries.push_back(Slice(file, position + 3, length));
        position += length + 4;
    }
    EXPECT_EQ(position - 1, file.size());
    return c;
}

class MkPayload : public ::testing::Test {
  protected:
    test::RunResult Run(std::vector<std::string> args) {
        args.insert(args.begin(), test::BinPath("tflux-krn-mkpayload").string());
        return test::RunProgram(args);
    }
    std::vector<std::string> Common() {
        return {"--updater", updater.string(), "--output", output.string()};
    }
    void SetUp() override {
        test::WriteBytes(updater, Bytes{0x7F, 'E', 'L', 'F', 1, 2, 3});
        fs::create_directory(records);
        for (int i = 1; i <= 24; ++i) {
            test::WriteBytes(records / (std::to_string(i) + ".dat"),
                             Bytes(2109, static_cast<std::uint8_t>(i)));
        }
    }
    test::ScratchDir dir;
    fs::path updater = dir / "updater";
    fs::path records = dir / "records";
    fs::path output = dir / "out" / "Quintara.dat";
};

TEST_F(MkPayload, PacksTheCompiledBundledPack) {
    auto args = Common();
    args.insert(args.end(), {"--pack", kBundled.string()});
    const auto result = Run(args);
    ASSERT_EQ(result.exitCode, 0) << result.err;

    const Container c = ReadContainer(test::ReadBytes(output));
    ASSERT_EQ(c.entries.size(), 25u);
    EXPECT_EQ(c.entries[0], test::ReadBytes(updater));
    const auto compiled = CompilePack(LoadPackSource(kBundled));
    for (std::size_t i = 1; i <= 24; ++i) {
        EXPECT_EQ(c.entries[i], compiled[i - 1]) << "entry " << i;
    }
    EXPECT_EQ(test::ReadBytes(output).size(), 108 + 25 * 4 + 7 + 24 * 2109);
}

TEST_F(MkPayload, PacksATrackDirAsItIs) {
    auto args = Common();
    args.insert(args.end(), {"--track-dir", records.string()});
    const auto result = Run(args);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const Container c = ReadContainer(test::ReadBytes(output));
    for (std::size_t i = 1; i <= 24; ++i) {
        EXPECT_EQ(c.entries[i], Bytes(2109, static_cast<std::uint8_t>(i))) << "entry " << i;
    }
}

TEST_F(MkPayload, FailsWithoutLeavingAContainer) {
    fs::create_directories(output.parent_path());
    test::WriteBytes(output, Bytes{1, 2, 3});  // from an earlier build
    test::WriteBytes(records / "7.dat", Bytes(2108, 7));
    auto args = Common();
    args.insert(args.end(), {"--track-dir", records.string()});
    auto result = Run(args);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("7.dat is 2,108 bytes; a track record file is exactly 2,109 bytes"),
              std::string::npos)
        << result.err;
    EXPECT_FALSE(fs::exists(output));

    fs::remove(records / "7.dat");
    result = Run(args);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("7.dat"), std::string::npos) << result.err;

    const test::ScratchDir bad;
    fs::copy(kBundled, bad.path(), fs::copy_options::recursive);
    json pack = ReadJson(bad / kPackFileName);
    pack["tracks"][2]["name"] = std::string(21, 'n');
    WriteText(bad / kPackFileName, pack.dump());
    args = Common();
    args.insert(args.end(), {"--pack", bad.path().string()});
    test::WriteBytes(output, Bytes{1, 2, 3});
    result = Run(args);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("trackpack.json: tracks[2] (track 3): name"), std::string::npos)
        << result.err;
    EXPECT_FALSE(fs::exists(output));

    test::WriteBytes(updater, Bytes{});
    args = Common();
    args.insert(args.end(), {"--track-dir", records.string()});
    test::WriteBytes(records / "7.dat", Bytes(2109, 7));
    result = Run(args);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("is empty"), std::string::npos) << result.err;
    EXPECT_FALSE(fs::exists(output));
}

TEST_F(MkPayload, RefusesIncompleteCommandLines) {
    EXPECT_EQ(Run({"--pack", "p", "--track-dir", "d", "--updater", "u", "--output", "o"}).exitCode,
              2);
    EXPECT_EQ(Run({"--pack", "p", "--updater", "u"}).exitCode, 2);
    EXPECT_EQ(Run({"--updater", "u", "--output", "o"}).exitCode, 2);
    const auto result = Run({"--bogus", "--updater", "u", "--output", "o"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.err.find("--bogus"), std::string::npos);
    EXPECT_EQ(Run({"--help"}).exitCode, 0);
}

}  // namespace
}  // namespace tflux
