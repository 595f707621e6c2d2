#include "payload/track_record.h"

#include <algorithm>
#include <array>
#include <span>
#include <string>

#include "payload/modIEEE754.h"
#include "rom/errors.h"

namespace tflux {

namespace {

constexpr std::size_t kNameOffset = 0;
constexpr std::size_t kNameSize = 20;
constexpr std::size_t kSubtitleOffset = 20;
constexpr std::size_t kSubtitleSize = 24;
constexpr std::size_t kAttrOffset = 44;
constexpr std::size_t kParamOffset = 45;
constexpr std::size_t kParamSlotSize = 8;
constexpr std::size_t kParamSlots = 6;
constexpr std::size_t kBlockOffset = 93;
static_assert(kBlockOffset + kTrackBlockSize == kTrackRecordSize);

// The text before the first NUL, or the whole field when it has none.
std::string FieldText(std::span<const std::uint8_t> field) {
    const auto end = std::find(field.begin(), field.end(), std::uint8_t{0});
    return std::string(field.begin(), end);
}

void CheckTrack(int track) {
    if (track < 1 || track > kTrackCount) {
        throw EngineError("there is no track " + std::to_string(track));
    }
}

}  // namespace

void LoadDat(RomState& state, const File& file, std::uint64_t position, int track) {
    CheckTrack(track);
    if (position < 1) {
        throw EngineError("track record positions start at 1, not 0");
    }
    // One read of the whole record before anything is assigned: a short file changes nothing.
    std::array<std::uint8_t, kTrackRecordSize> record{};
    file.ReadAt(position - 1, record);
    LoadDat(state, record, track);
}

void LoadDat(RomState& state, std::span<const std::uint8_t> record, int track) {
    CheckTrack(track);
    if (record.size() < kTrackRecordSize) {
        throw EngineError("a track record is " + std::to_string(kTrackRecordSize) +
                          " bytes long; this one has " + std::to_string(record.size()));
    }
    const auto bytes = record.first(kTrackRecordSize);

    const auto index = static_cast<std::size_t>(track - 1);
    state.TrackNames[index] = FieldText(bytes.subspan(kNameOffset, kNameSize));
    state.TrackSubtitles[index] = FieldText(bytes.subspan(kSubtitleOffset, kSubtitleSize));
    state.TrackAttrs[index] = bytes[kAttrOffset];
    if (state.RegionCode == "J") {
        state.TrackSubtitles[index].clear();  // the Japanese release shows no subtitles
    }

    // Positions past the list's end keep what the table reader found in the image.
    TrackParamSet& params = state.TrackParams[index];
    params.Count = 0;
    for (std::size_t k = 0; k < kParamSlots; ++k) {
        const auto slot = bytes.subspan(kParamOffset + kParamSlotSize * k, kParamSlotSize);
        const std::uint8_t code = slot[1];
        params.Codes[k] = code;
        if (code == 0) {
            break;
        }
        ++params.Count;
        std::uint8_t status = kSingleOk;
        params.Values[k] = BytesToSingle(slot.subspan<4, 4>(), true, status);
    }

    std::copy_n(bytes.begin() + kBlockOffset, kTrackBlockSize, state.TrackBlock.begin());
}

}  // namespace tflux
