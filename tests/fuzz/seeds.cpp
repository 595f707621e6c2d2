#include "tests/fuzz/seeds.h"

#include <algorithm>
#include <limits>
#include <optional>

#include "course/course.h"
#include "pack/pack_source.h"
#include "payload/container.h"
#include "payload/track_record.h"
#include "rom/byteorder.h"
#include "rom/errors.h"
#include "rom/file.h"
#include "rom/identify.h"
#include "romtables/romtables.h"
#include "romtables/sample_image.h"
#include "tests/fuzz/fuzz_support.h"

namespace tflux::fuzz {

namespace {

namespace fs = std::filesystem;

std::vector<Bytes> CompiledRecords(const fs::path& packDir) {
    return CompilePack(LoadPackSource(packDir));
}

// A container from 25 entries, packed by the engine's packer.
Bytes Pack(const std::vector<Bytes>& entries) {
    const fs::path dir = ScratchFolder() / "seed-pack";
    fs::remove_all(dir);
    fs::create_directories(dir);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        WriteFileBytes(dir / (std::to_string(i) + ".dat"), entries[i]);
    }
    PackPayload(dir, dir / "packed");
    const std::string text = ReadWholeFile(dir / "packed", 1 << 20);
    fs::remove_all(dir);
    return Bytes(text.begin(), text.end());
}

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes Filler(std::size_t n) {
    Bytes bytes(n);
    for (std::size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 31 + 7);
    }
    return bytes;
}

std::vector<Seed> ContainerSeeds(const fs::path& packDir) {
    // A small updater keeps the seeds short; a container holds track records only whole.
    const std::vector<Bytes> records = CompiledRecords(packDir);
    std::vector<Bytes> entries{Bytes{0x7F, 'E', 'L', 'F', 2, 1, 1, 0}};
    entries.insert(entries.end(), records.begin(), records.end());
    const Bytes packed = Pack(entries);
    std::vector<Bytes> tiny(kPayloadEntries, Bytes{0x5A});
    // The magic is searched for in the first 10,000 bytes: last place found, first missed.
    const std::size_t lastStart = kMagicSearchSize - 8;
    Bytes truncated = packed;
    truncated.pop_back();
    return {
        {"packed", packed, Outcome::Accepted},
        {"one_byte_entries", Pack(tiny), Outcome::Refused},
        {"after_a_program", Concat(Filler(3000), packed), Outcome::Accepted},
        {"magic_at_search_end", Concat(Filler(lastStart), packed), Outcome::Accepted},
        {"magic_past_search_end", Concat(Filler(lastStart + 1), packed), Outcome::Refused},
        {"truncated", truncated, Outcome::Refused},
    };
}

std::vector<Seed> TrackRecordSeeds(const fs::path& packDir) {
    const std::vector<Bytes> records = CompiledRecords(packDir);
    std::vector<Seed> seeds;
    for (std::size_t i = 0; i < records.size(); ++i) {
        // Each record as track i + 1 of a North American image, read from the file's start.
        seeds.push_back({"record_" + std::to_string(i + 1),
                         Concat(records[i], {static_cast<std::uint8_t>(i + 1), 0, 1}),
                         Outcome::Accepted});
    }
    seeds.push_back({"japanese", Concat(records[0], {24, 1, 1}), Outcome::Accepted});
    seeds.push_back({"bare_record", records[1], Outcome::Accepted});
    Bytes shifted = Concat(Bytes{0xFF, 0xFF, 0xFF}, records[2]);
    seeds.push_back({"at_position_4", Concat(shifted, {3, 2, 4}), Outcome::Accepted});
    seeds.push_back({"no_track_0", Concat(records[3], {0, 0, 1}), Outcome::Refused});
    seeds.push_back({"short", Bytes(records[4].begin(), records[4].end() - 1), Outcome::Refused});
    return seeds;
}

Bytes TablesInput(const Bytes& image, char region, bool v64, std::optional<unsigned> cut) {
    std::uint8_t flags = static_cast<std::uint8_t>(
        std::find(std::begin(kTableRegions), std::end(kTableRegions), region) -
        std::begin(kTableRegions));
    flags |= v64 ? kTablesV64 : 0;
    flags |= cut ? kTablesCut : 0;
    const unsigned cutValue = cut.value_or(0);
    Bytes input{flags, static_cast<std::uint8_t>(cutValue >> 8),
                static_cast<std::uint8_t>(cutValue)};
    for (const Area& area : TableAreas(region)) {
        input.insert(input.end(), image.begin() + area.offset,
                     image.begin() + area.offset + area.size);
    }
    return input;
}

// Tables as the engine's writers leave them when every pool overflows: strings cut at the pool's
// end, the reserved "x", and pointers to the pool's last byte and last parameter entry.
Bytes OverflowingTables(char region, bool v64) {
    const fs::path path = ScratchFolder() / "seed-tables";
    WriteFileBytes(path, {});
    RomState state;
    state.RegionCode = std::string(1, region);
    state.IsByteSwapped = v64;
    for (std::size_t i = 0; i < kTrackCount; ++i) {
        const std::string number = std::to_string(i + 1);
        state.TrackNames[i] = "Overflowing name " + number;
        state.TrackSubtitles[i] = "An overflowing subtitle " + number;
        state.TrackAttrs[i] = static_cast<std::uint8_t>(0xF0 + i);
        TrackParamSet& set = state.TrackParams[i];
        set.Count = 6;
        for (std::size_t k = 0; k < 6; ++k) {
            set.Codes[k] = static_cast<std::uint8_t>(1 + k + i);
            set.Values[k] = static_cast<float>(i) * 0.5f - static_cast<float>(k);
        }
    }
    state.RomFile = File::Open(path, OpenMode::ReadWrite, Links::NoFollow);
    WriteRomTables(state);
    state.RomFile.Close();

    const std::string text = ReadWholeFile(path, kRomSize);
    Bytes image(text.begin(), text.end());
    image.resize(kRomSize);  // the areas past the last one written read as zeros
    return TablesInput(image, region, v64, std::nullopt);
}

std::vector<Seed> TablesSeeds() {
    std::vector<Seed> seeds;
    std::uint32_t sampleSeed = 1;
    for (const char region : {'E', 'J', 'P'}) {
        for (const bool v64 : {false, true}) {
            const Bytes image = MakeSampleImage({region, v64, sampleSeed++});
            const std::string name = std::string(1, region) + (v64 ? "_v64" : "_z64");
            seeds.push_back(
                {name, TablesInput(image, region, v64, std::nullopt), Outcome::Accepted});
        }
    }
    for (const char region : {'E', 'J', 'P'}) {
        seeds.push_back({std::string("full_pools_") + region,
                         OverflowingTables(region, region == 'J'), Outcome::Accepted});
    }
    const Bytes image = MakeSampleImage({'E', false, 99});
    // Cut 100 bytes into the parameter pool (area 5 of 7).
    seeds.push_back(
        {"cut_in_param_pool", TablesInput(image, 'E', false, 5 + 7 * 100), Outcome::Refused});
    seeds.push_back(
        {"unknown_region", TablesInput(image, 'X', false, std::nullopt), Outcome::Refused});
    return seeds;
}

Bytes Head(const Bytes& image, std::size_t n, std::uint8_t first) {
    Bytes head{first};
    head.insert(head.end(), image.begin(), image.begin() + static_cast<std::ptrdiff_t>(n));
    return head;
}

std::vector<Seed> IdentifySeeds() {
    constexpr std::size_t kHeader = 0x40;
    constexpr std::uint8_t kImageSize = 1, kOwnSize = 0, kOneMore = 3;
    std::vector<Seed> seeds;
    std::uint32_t sampleSeed = 1;
    for (const char region : {'E', 'J', 'P'}) {
        for (const bool v64 : {false, true}) {
            const Bytes image = MakeSampleImage({region, v64, sampleSeed++});
            const std::string name = std::string(1, region) + (v64 ? "_v64" : "_z64");
            seeds.push_back({name, Head(image, kHeader, kImageSize), Outcome::Accepted});
        }
    }
    const Bytes image = MakeSampleImage({'E', false, 1});
    seeds.push_back({"header_only", Head(image, kHeader, kOwnSize), Outcome::Refused});
    seeds.push_back({"one_byte_long", Head(image, kHeader, kOneMore), Outcome::Refused});
    seeds.push_back({"bad_region", Head(MakeSampleImage({'U', false, 1}), kHeader, kImageSize),
                     Outcome::Refused});
    return seeds;
}

// The first bytes of sample images in all three orders.
struct Heads {
    Bytes z64, v64, n64;
};

Heads ImageHeads() {
    constexpr std::size_t kBoot = 0x1000;
    const Bytes z64 = MakeSampleImage({'E', false, 1});
    const Bytes v64 = MakeSampleImage({'E', true, 1});
    Heads heads{Bytes(z64.begin(), z64.begin() + kBoot), Bytes(v64.begin(), v64.begin() + kBoot),
                Bytes(z64.begin(), z64.begin() + kBoot)};
    ReverseWords(heads.n64);
    return heads;
}

std::vector<Seed> ChecksumSeeds() {
    const Heads heads = ImageHeads();
    return {
        {"z64", heads.z64, Outcome::Accepted},
        {"v64", heads.v64, Outcome::Accepted},
        {"n64", heads.n64, Outcome::Accepted},
        {"header_only", Bytes(heads.v64.begin(), heads.v64.begin() + 0x40), Outcome::Refused},
    };
}

std::vector<Seed> ChecksumUpdateSeeds() {
    const Heads heads = ImageHeads();
    const auto flags = [](unsigned order, unsigned variant, unsigned extra) {
        return static_cast<std::uint8_t>(order | variant << 2 | extra << 5);
    };
    const auto input = [](std::uint8_t first, const Bytes& head) {
        return Concat(Bytes{first}, head);
    };
    return {
        {"z64_detected", input(flags(0, 0, 0), heads.z64), Outcome::Accepted},
        {"v64_detected", input(flags(0, 0, 1), heads.v64), Outcome::Accepted},
        {"n64_detected", input(flags(0, 0, 0), heads.n64), Outcome::Accepted},
        {"z64_as_6105", input(flags(1, 4, 3), heads.z64), Outcome::Accepted},
        {"v64_as_6103", input(flags(2, 3, 0), heads.v64), Outcome::Accepted},
    };
}

// The first course of the pack that passes every rule; the bundled pack's readable courses do.
Course ValidPackCourse(const fs::path& packDir) {
    const PackSource pack = LoadPackSource(packDir);
    for (const PackTrack& track : pack.tracks) {
        const Course course = DecodeCourse(track.record.block);
        if (ValidateCourse(course).empty()) {
            return course;
        }
    }
    throw EngineError("no course of the pack in " + packDir.string() + " is valid");
}

Bytes BlockBytes(const Course& course) {
    const auto block = EncodeCourse(course);
    return Bytes(block.begin(), block.end());
}

Bytes TextBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

std::vector<Seed> CourseSeeds(const fs::path& packDir) {
    const Course valid = ValidPackCourse(packDir);
    Course wrongSum = valid;
    wrongSum.checksum ^= 1;
    Course three = valid;
    three.count = 3;
    three.checksum = CourseChecksum(three);
    Course notANumber = valid;
    notANumber.points[1].y = std::numeric_limits<float>::quiet_NaN();
    notANumber.checksum = CourseChecksum(notANumber);
    Course pipe = valid;  // a pipe on a short segment, with unequal radii
    pipe.points[2].info = EditorInfoWord(Shape::Pipe);
    pipe.points[2].right = static_cast<std::int16_t>(pipe.points[2].left + 10);
    pipe.checksum = CourseChecksum(pipe);
    const Bytes block = BlockBytes(valid);
    return {
        {"valid", block, Outcome::Accepted},
        {"valid_short_input", Bytes(block.begin(), block.begin() + 0x5A0), Outcome::Refused},
        {"wrong_checksum", BlockBytes(wrongSum), Outcome::Refused},
        {"three_points", BlockBytes(three), Outcome::Refused},
        {"nan_height", BlockBytes(notANumber), Outcome::Refused},
        {"short_pipe", BlockBytes(pipe), Outcome::Refused},
        {"all_ff", Bytes(kTrackBlockSize, 0xFF), Outcome::Refused},
    };
}

std::vector<Seed> PackSourceSeeds(const fs::path& packDir) {
    Course valid = ValidPackCourse(packDir);
    valid.flag = 1;  // as the compiler leaves a valid course, so that it has readable text
    const std::optional<std::string> text = WriteCourseSource(valid);
    if (!text) {
        throw EngineError("the pack's first valid course has no readable text");
    }
    std::string negativeZero = *text;  // compiles, though the validator names it
    const std::size_t y = negativeZero.find("\"y\": ") + 5;
    negativeZero.replace(y, negativeZero.find(',', y) - y, "-0.0");
    std::string unknownVenue = *text;
    unknownVenue.replace(unknownVenue.find("\"venue\": \"") + 10, 0, "x");
    std::vector<Seed> seeds = {
        {"written", TextBytes(*text), Outcome::Accepted},
        {"negative_zero", TextBytes(negativeZero), Outcome::Accepted},
        {"cut_short", TextBytes(text->substr(0, text->size() / 2)), Outcome::Refused},
        {"unknown_venue", TextBytes(unknownVenue), Outcome::Refused},
        {"three_points",
         TextBytes(
             R"({"venue": "city", "skybox": "blue", "points": [)"
             R"({"x": 0, "y": 0, "z": 0, "left": 100, "right": 100, "shape": "road", "style": 0},)"
             R"({"x": 900, "y": 0, "z": 0, "left": 100, "right": 100, "shape": "air"},)"
             R"({"x": 0, "y": 0, "z": 900, "left": 100, "right": 100, "shape": "pipe", "style": 1}]})"),
         Outcome::Refused},
    };
    // The pack's own course files, as a person writes them.
    for (const auto& entry : fs::directory_iterator(packDir / "courses")) {
        if (entry.path().extension() == ".json" && seeds.size() < 9) {
            seeds.push_back({"pack_" + entry.path().stem().string(),
                             TextBytes(ReadWholeFile(entry.path(), 1 << 20)), Outcome::Accepted});
        }
    }
    return seeds;
}

}  // namespace

std::vector<Seed> MakeSeeds(const std::string& harness, const fs::path& packDir) {
    if (harness == "container") {
        return ContainerSeeds(packDir);
    }
    if (harness == "track_record") {
        return TrackRecordSeeds(packDir);
    }
    if (harness == "tables") {
        return TablesSeeds();
    }
    if (harness == "identify") {
        return IdentifySeeds();
    }
    if (harness == "checksum") {
        return ChecksumSeeds();
    }
    if (harness == "checksum_update") {
        return ChecksumUpdateSeeds();
    }
    if (harness == "course") {
        return CourseSeeds(packDir);
    }
    if (harness == "pack_source") {
        return PackSourceSeeds(packDir);
    }
    throw EngineError("there is no fuzz harness \"" + harness + "\"");
}

}  // namespace tflux::fuzz
