#pragma once

// The readable track pack (resources/tracks/trackpack.json) and its compilation into the 24
// track record files that the payload carries. The checks here run at build time, so that a
// pack the game's tables cannot hold never reaches a payload.

#include <array>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tflux {

inline constexpr std::size_t kRecordNameSize = 20;
inline constexpr std::size_t kRecordSubtitleSize = 24;
inline constexpr std::size_t kRecordAttrOffset = 44;
inline constexpr std::size_t kRecordParamOffset = 45;
inline constexpr std::size_t kRecordParamSlots = 6;
inline constexpr std::size_t kRecordParamSlotSize = 8;
inline constexpr std::size_t kRecordCourseOffset = 93;

// What the game's tables can hold for all 24 tracks together, counting each distinct name,
// subtitle or parameter set once (the table writers share equal ones). Names lose the last two
// pool bytes to the reserved "x"; subtitles are held to the smaller pool of the regions that
// keep them.
inline constexpr std::size_t kNamePoolBudget = 398;
inline constexpr std::size_t kSubtitlePoolBudget = 368;
inline constexpr std::size_t kParamPoolEntries = 100;

struct TrackSource {
    int entry = 0;  // container entry 1..24; entries 9 and 10 land on tracks 10 and 9
    std::string name;
    std::string subtitle;
    std::uint8_t attribute = 0;
    std::vector<std::pair<std::uint8_t, float>> params;  // code 1..255, finite value
    std::uint32_t courseSeed = 0;                        // placeholder course generator seed
};

struct PoolUsage {
    std::size_t nameBytes = 0;             // distinct names, NUL included
    std::size_t subtitleBytes = 0;         // distinct subtitles, NUL included
    std::size_t paramEntries = 0;          // distinct sets, one terminator each
    std::size_t paramEntriesUnshared = 0;  // every set on its own
};

struct TrackPack {
    std::array<TrackSource, 24> tracks;  // element i is container entry i + 1
    PoolUsage usage;
    // Sound but risky choices, for the build log.
    std::vector<std::string> warnings;
};

// Parses and checks a pack. Every problem found is reported at once in one EngineError, one
// line each, prefixed with `origin` (the file name).
TrackPack ParseTrackPack(std::string_view json, const std::string& origin);
TrackPack LoadTrackPack(const std::filesystem::path& path);

// Fills a course block with the placeholder pattern: 32-bit xorshift (shifts 13, 17, 5) from
// `seed`, each successive state stored big-endian. A seed of 0 would give all zeros; it is
// refused by the parser.
void FillPlaceholderCourse(std::uint32_t seed, std::span<std::uint8_t> block);

// The 2,109 bytes of a track record file.
std::vector<std::uint8_t> CompileTrackRecord(const TrackSource& track);

}  // namespace tflux
