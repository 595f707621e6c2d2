#pragma once

// A pack source: a folder holding trackpack.json (names, subtitles, attribute bytes and
// parameter sets of the 24 tracks) and each track's course, as a readable course file or as
// a raw 2,016-byte block. The build compiles the bundled pack from such a folder with the
// same code that `tflux-krn-cli payload build` runs.

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "course/course.h"
#include "payload/track_record.h"
#include "rom/game.h"

namespace tflux {

inline constexpr const char* kPackFileName = "trackpack.json";

// The shortest text that reads back as the same single-precision number: "0.1", "-3", "1e+20".
std::string FormatFloat(float value);

// ---- one readable course ----

// Compiles a readable course: count, creator, segment info words, flag and checksum are
// filled in here. Throws EngineError naming `origin` and the line or the field for a
// malformed file. The course is not validated.
Course ParseCourseSource(std::string_view text, const std::string& origin);

// The readable text of a course; nullopt when the course holds something the readable form
// cannot say (a venue or feature value the game does not name, bits beyond the shape and
// style, a wrong checksum, ...), so that it would not compile back to the same bytes.
std::optional<std::string> WriteCourseSource(const Course& course);

// ---- the pack ----

struct PackTrack {
    int entry = 0;  // container entry 1..24; entries 9 and 10 land on tracks 10 and 9
    TrackRecord record;
    std::string courseFile;  // as trackpack.json names it, relative to the pack folder
    bool rawBlock = false;   // carried as it is, valid or not
};

// Measured against kNamePoolBudget, kSubtitlePoolBudget and kParamPoolEntries (rom/game.h).
struct PoolUsage {
    std::size_t nameBytes = 0;             // distinct names, NUL included
    std::size_t subtitleBytes = 0;         // distinct subtitles, NUL included
    std::size_t paramEntries = 0;          // distinct sets, one terminator each
    std::size_t paramEntriesUnshared = 0;  // every set on its own
};

struct PackSource {
    std::array<PackTrack, kTrackCount> tracks;  // element i is container entry i + 1
    // trackpack.json and every course file it names, as read: a command must not write over
    // what it reads.
    std::vector<std::filesystem::path> files;
    PoolUsage usage;
    // Sound but risky choices, and each problem of a raw block: one line each.
    std::vector<std::string> warnings;
};

// Reads and checks a pack source folder. Every problem found is reported at once in one
// EngineError, one line each, naming the file (and the track) it came from.
PackSource LoadPackSource(const std::filesystem::path& dir);

// The 24 track records, in container order.
std::vector<std::vector<std::uint8_t>> CompilePack(const PackSource& pack);

// A payload container: `updater` as entry 0, the records as entries 1..24.
std::vector<std::uint8_t> BuildPackContainer(std::span<const std::uint8_t> updater,
                                             const PackSource& pack);

// Writes a pack source folder for 24 tracks given in track order (element t is track t + 1),
// each course readable where it compiles back to the same block and is valid, raw
// otherwise. Creates dir when missing; refuses a folder that already holds a trackpack.json.
// Returns how many courses went raw.
int WritePackSource(const std::filesystem::path& dir,
                    const std::array<TrackRecord, kTrackCount>& tracksInTrackOrder);

}  // namespace tflux
