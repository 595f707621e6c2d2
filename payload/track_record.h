#pragma once

// The 2,109-byte track record: name, subtitle, attribute byte, parameter set and course
// block. LoadDat reads it into a patch's state; SaveDat writes one.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "rom/file.h"
#include "rom/rom_state.h"

namespace tflux {

inline constexpr std::size_t kTrackRecordSize = 2109;
inline constexpr std::size_t kRecordNameOffset = 0;
inline constexpr std::size_t kRecordNameSize = 20;
inline constexpr std::size_t kRecordSubtitleOffset = 20;
inline constexpr std::size_t kRecordSubtitleSize = 24;
inline constexpr std::size_t kRecordAttrOffset = 44;
inline constexpr std::size_t kRecordParamOffset = 45;
inline constexpr std::size_t kRecordParamSlots = 6;
inline constexpr std::size_t kRecordParamSlotSize = 8;
inline constexpr std::size_t kRecordCourseOffset = 93;
static_assert(kRecordCourseOffset + kTrackBlockSize == kTrackRecordSize);

// One record's fields on their own, as a pack holds them.
struct TrackRecord {
    std::string name;      // at most 20 bytes
    std::string subtitle;  // at most 24 bytes
    std::uint8_t attribute = 0;
    std::vector<std::pair<std::uint8_t, float>> params;  // up to 6, codes 1..255
    std::array<std::uint8_t, kTrackBlockSize> block{};   // Z64 order
};

// Parses the track record at the 1-based `position` of `file` and overrides track `track`
// (1..24) of the state's arrays; the course block goes to state.TrackBlock (Z64 order).
// A record that cannot be read whole throws EngineError and changes nothing.
void LoadDat(RomState& state, const File& file, std::uint64_t position, int track);

// The same for a record already in memory (at least kTrackRecordSize bytes).
void LoadDat(RomState& state, std::span<const std::uint8_t> record, int track);

// The record's fields as LoadDat reads them: texts to their first NUL, the parameter list
// to its first zero code.
TrackRecord ReadTrackRecord(std::span<const std::uint8_t> record);

// The 2,109 bytes of a record; unused bytes are zero. Throws EngineError for a text too long
// for its field, more than six parameters or a zero code.
std::vector<std::uint8_t> SaveDat(const TrackRecord& record);

}  // namespace tflux
