#include <gtest/gtest.h>

#include <bit>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>

#include "rom/byteorder.h"
#include "rom/errors.h"
#include "support/test_util.h"
#include "tools/trackpack.h"

namespace tflux {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

json Bundled() {
    return json::parse(test::ReadBytes(TFLUX_TRACKPACK_JSON));
}

// The message a refused pack gives, or a failure when it is accepted.
std::string Refusal(const std::string& text) {
    try {
        ParseTrackPack(text, "pack.json");
    } catch (const EngineError& e) {
        return e.what();
    }
    ADD_FAILURE() << "pack accepted";
    return {};
}
std::string Refusal(const json& pack) {
    return Refusal(pack.dump());
}

Bytes Slice(const Bytes& bytes, std::size_t offset, std::size_t size) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                 bytes.begin() + static_cast<std::ptrdiff_t>(offset + size));
}

Bytes Padded(const std::string& text, std::size_t width) {
    Bytes field(text.begin(), text.end());
    field.resize(width, 0);
    return field;
}

TEST(TrackPack, BundledPackCompilesWithEveryFieldInPlace) {
    const json source = Bundled();
    const TrackPack pack = LoadTrackPack(TFLUX_TRACKPACK_JSON);
    EXPECT_TRUE(pack.warnings.empty());
    EXPECT_LE(pack.usage.nameBytes, kNamePoolBudget);
    EXPECT_LE(pack.usage.subtitleBytes, kSubtitlePoolBudget);
    EXPECT_LE(pack.usage.paramEntriesUnshared, kParamPoolEntries);

    std::set<std::uint8_t> attributes;
    for (const json& t : source["tracks"]) {
        const int entry = t["entry"].get<int>();
        const TrackSource& track = pack.tracks.at(static_cast<std::size_t>(entry - 1));
        ASSERT_EQ(track.entry, entry);
        const Bytes record = CompileTrackRecord(track);
        ASSERT_EQ(record.size(), 2109u);
        SCOPED_TRACE("entry " + std::to_string(entry));

        EXPECT_EQ(Slice(record, 0, 20), Padded(t["name"].get<std::string>(), 20));
        EXPECT_EQ(Slice(record, 20, 24), Padded(t["subtitle"].get<std::string>(), 24));
        EXPECT_EQ(record[44], t["attribute"].get<int>());
        attributes.insert(record[44]);
        const json& params = t["params"];
        for (std::size_t k = 0; k < 6; ++k) {
            const std::size_t slot = 45 + 8 * k;
            EXPECT_EQ(record[slot], 0);
            EXPECT_EQ(record[slot + 2], 0);
            EXPECT_EQ(record[slot + 3], 0);
            if (k < params.size()) {
                EXPECT_EQ(record[slot + 1], params[k][0].get<int>());
                const auto bits = std::bit_cast<std::uint32_t>(params[k][1].get<float>());
                EXPECT_EQ(GetBE32(record, slot + 4 + 1), bits);
            } else {
                EXPECT_EQ(GetBE32(record, slot + 1) | GetBE32(record, slot + 5), 0u);
            }
        }
        Bytes course(2016);
        FillPlaceholderCourse(t["course"]["seed"].get<std::uint32_t>(), course);
        EXPECT_EQ(Slice(record, 93, 2016), course);
    }
    EXPECT_GE(attributes.size(), 4u);
}

TEST(TrackPack, PlaceholderCourseIsXorshiftOfTheSeed) {
    Bytes block(2016);
    FillPlaceholderCourse(1, block);
    EXPECT_EQ(Slice(block, 0, 12),
              (Bytes{0x00, 0x04, 0x20, 0x21, 0x04, 0x08, 0x06, 0x01, 0x9D, 0xCC, 0xA8, 0xC5}));
    EXPECT_EQ(GetBE32(block, 2013), 0x5AF597EBu);

    Bytes again(2016), other(2016);
    FillPlaceholderCourse(1, again);
    FillPlaceholderCourse(2, other);
    EXPECT_EQ(block, again);
    EXPECT_NE(block, other);

    Bytes ragged(2015);
    EXPECT_THROW(FillPlaceholderCourse(1, ragged), EngineError);
}

TEST(TrackPack, RecordLayoutAtTheFieldLimits) {
    TrackSource track;
    track.entry = 3;
    track.name = "ABCDEFGHIJKLMNOPQRST";          // 20 bytes: no NUL left in the field
    track.subtitle = "abcdefghijklmnopqrstuvwx";  // 24 bytes
    track.attribute = 0xFF;
    track.params = {{1, 240.0f}, {255, -2.5f}, {7, 0.1f}, {2, -0.0f}, {3, 1.0f}, {4, 0.0f}};
    track.courseSeed = 1;
    const Bytes record = CompileTrackRecord(track);
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
    EXPECT_EQ(Slice(record, 93, 4), (Bytes{0x00, 0x04, 0x20, 0x21}));

    track.name = "A";
    track.params.clear();
    const Bytes empty = CompileTrackRecord(track);
    EXPECT_EQ(Slice(empty, 0, 20), Padded("A", 20));
    EXPECT_EQ(Slice(empty, 45, 48), Bytes(48, 0));  // first code 0: an empty set

    track.name = std::string(21, 'N');
    EXPECT_THROW(CompileTrackRecord(track), EngineError);
}

TEST(TrackPack, RefusesBrokenPacksNamingTheProblem) {
    {
        json pack = Bundled();
        pack["tracks"].push_back(pack["tracks"][0]);
        EXPECT_NE(Refusal(pack).find("the pack has 25 tracks; it must have exactly 24"),
                  std::string::npos);
    }
    {
        json pack = Bundled();
        pack["tracks"][4]["name"] = std::string(21, 'N');
        const std::string message = Refusal(pack);
        EXPECT_NE(message.find("pack.json: tracks[4] (entry 5): name"), std::string::npos);
        EXPECT_NE(message.find("is 21 bytes; the record holds at most 20"), std::string::npos);
    }
    {
        json pack = Bundled();
        pack["tracks"][5]["entry"] = 3;
        const std::string message = Refusal(pack);
        EXPECT_NE(message.find("entry 3 is already used by tracks[2]"), std::string::npos);
        EXPECT_NE(message.find("entry 6 is missing"), std::string::npos);
    }
    for (const char* huge : {"1e39", "-3.5e38", "1e400"}) {
        json pack = Bundled();
        pack["tracks"][1]["params"][0][1] = 12345.0;
        std::string text = pack.dump();
        text.replace(text.find("12345.0"), 7, huge);
        const std::string message = Refusal(text);
        // Beyond double range the JSON reader itself refuses the number.
        EXPECT_TRUE(message.find("parameter pair 1: value is not a finite number") !=
                        std::string::npos ||
                    message.find("number overflow parsing '1e400'") != std::string::npos)
            << message;
    }
    {
        json pack = Bundled();
        pack["tracks"][7]["params"][1][0] = 0;
        EXPECT_NE(Refusal(pack).find("parameter pair 2: code 0 would end the list"),
                  std::string::npos);
    }
}

TEST(TrackPack, RefusesFieldsTheRecordCannotCarry) {
    auto refusedWith = [](const std::function<void(json&)>& change, const std::string& expected) {
        json pack = Bundled();
        change(pack["tracks"][0]);
        const std::string message = Refusal(pack);
        EXPECT_NE(message.find(expected), std::string::npos) << message;
    };
    refusedWith([](json& t) { t["subtitle"] = std::string(25, 's'); }, "is 25 bytes");
    refusedWith([](json& t) { t["name"] = ""; }, "name is empty");
    refusedWith([](json& t) { t["name"] = "Caf\xC3\xA9"; }, "holds the byte 0xC3");
    refusedWith([](json& t) { t["attribute"] = 256; }, "attribute must be a whole number");
    refusedWith([](json& t) { t["attribute"] = 1.5; }, "attribute must be a whole number");
    refusedWith([](json& t) { t["params"][0][0] = 256; }, "code must be a whole number");
    refusedWith([](json& t) { t["params"][0] = json::array({1}); }, "must be [code, value]");
    refusedWith([](json& t) { t["params"][0][1] = "fast"; }, "value must be a number");
    refusedWith(
        [](json& t) {
            t["params"] = json::array({{1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}, {6, 1}, {7, 1}});
        },
        "has 7 pairs");
    refusedWith([](json& t) { t["course"]["seed"] = 0; }, "course seed 0");
    refusedWith([](json& t) { t["course"]["seed"] = 4294967296LL; }, "course seed must be");
    refusedWith([](json& t) { t["nmae"] = "typo"; }, "unknown field \"nmae\"");
    refusedWith([](json& t) { t.erase("subtitle"); }, "field \"subtitle\" is missing");

    EXPECT_NE(Refusal(std::string("{\"tracks\": [")).find("pack.json: not valid JSON"),
              std::string::npos);
    EXPECT_NE(Refusal(std::string("[]")).find("must be a JSON object"), std::string::npos);

    // Every problem is reported in one go.
    json pack = Bundled();
    pack["tracks"][0]["name"] = std::string(30, 'n');
    pack["tracks"][23]["params"][0][0] = 0;
    const std::string message = Refusal(pack);
    EXPECT_NE(message.find("tracks[0] (entry 1): name"), std::string::npos);
    EXPECT_NE(message.find("tracks[23] (entry 24): parameter pair 1: code 0"), std::string::npos);
}

TEST(TrackPack, HoldsThePackToTheGamesPools) {
    json subtitles = Bundled();
    for (std::size_t i = 0; i < 24; ++i) {
        // 16 distinct subtitles of 24 bytes fill 400 bytes of a 368-byte pool
        subtitles["tracks"][i]["subtitle"] = std::string(23, 's') + char('a' + i % 16);
    }
    EXPECT_NE(Refusal(subtitles).find("subtitles take 400 bytes"), std::string::npos);

    json names = Bundled();
    for (std::size_t i = 0; i < 24; ++i) {
        names["tracks"][i]["name"] = std::string(15, 'n') + char('a' + i);  // 24 x 17 = 408
    }
    EXPECT_NE(Refusal(names).find("names take 408 bytes"), std::string::npos);
    names["tracks"][23]["name"] = names["tracks"][22]["name"];  // shared: 391 bytes fit
    EXPECT_NO_THROW(ParseTrackPack(names.dump(), "pack.json"));

    json sets = Bundled();
    for (std::size_t i = 0; i < 24; ++i) {
        sets["tracks"][i]["params"] = json::array({{1, i}, {2, 1}, {3, 1}, {4, 1}});
    }
    EXPECT_NE(Refusal(sets).find("parameter sets take 120 entries"), std::string::npos);

    // Equal sets fit when shared but not on their own: accepted, with a warning.
    for (std::size_t i = 0; i < 24; ++i) {
        sets["tracks"][i]["params"] = json::array({{1, 1}, {2, 1}, {3, 1}, {4, 1}});
    }
    const TrackPack pack = ParseTrackPack(sets.dump(), "pack.json");
    EXPECT_EQ(pack.usage.paramEntries, 5u);
    EXPECT_EQ(pack.usage.paramEntriesUnshared, 120u);
    ASSERT_EQ(pack.warnings.size(), 1u);
    EXPECT_NE(pack.warnings[0].find("120 of the 100 pool entries"), std::string::npos);
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
        return {"--updater", updater.string(), "--work", (dir / "work").string(),
                "--output",  output.string()};
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
    args.insert(args.end(), {"--tracks", TFLUX_TRACKPACK_JSON});
    const auto result = Run(args);
    ASSERT_EQ(result.exitCode, 0) << result.err;

    const Container c = ReadContainer(test::ReadBytes(output));
    ASSERT_EQ(c.entries.size(), 25u);
    EXPECT_EQ(c.entries[0], test::ReadBytes(updater));
    const TrackPack pack = LoadTrackPack(TFLUX_TRACKPACK_JSON);
    for (std::size_t i = 1; i <= 24; ++i) {
        EXPECT_EQ(c.entries[i], CompileTrackRecord(pack.tracks[i - 1])) << "entry " << i;
    }
    EXPECT_EQ(test::ReadBytes(output).size(), 108 + 25 * 4 + 7 + 24 * 2109);
}

TEST_F(MkPayload, PacksATrackDirAsItIs) {
    // A stale, longer record in the work directory must not leave its tail behind.
    fs::create_directories(dir / "work");
    test::WriteBytes(dir / "work" / "5.dat", Bytes(5000, 0xEE));
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
    EXPECT_NE(result.err.find("7.dat is 2108 bytes; a track record file is exactly 2109 bytes"),
              std::string::npos)
        << result.err;

    fs::remove(records / "7.dat");
    result = Run(args);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("7.dat"), std::string::npos) << result.err;

    json pack = Bundled();
    pack["tracks"][2]["name"] = std::string(21, 'n');
    const std::string text = pack.dump();
    test::WriteBytes(dir / "bad.json", Bytes(text.begin(), text.end()));
    args = Common();
    args.insert(args.end(), {"--tracks", (dir / "bad.json").string()});
    test::WriteBytes(output, Bytes{1, 2, 3});
    result = Run(args);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("bad.json: tracks[2] (entry 3): name"), std::string::npos)
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
    EXPECT_EQ(Run({"--tracks", "a.json", "--track-dir", "d", "--updater", "u", "--work", "w",
                   "--output", "o"})
                  .exitCode,
              2);
    EXPECT_EQ(Run({"--tracks", "a.json", "--updater", "u", "--work", "w"}).exitCode, 2);
    const auto result = Run({"--bogus"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.err.find("unknown argument \"--bogus\""), std::string::npos);
}

}  // namespace
}  // namespace tflux
