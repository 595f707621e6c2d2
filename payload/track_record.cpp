#include "payload/track_record.h"

#include <algorithm>
#include <array>
#include <span>
#include <string>
#include <tuple>

#include "payload/modIEEE754.h"
#include "rom/errors.h"
#include "rom/text.h"

namespace tflux {

namespace {

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

std::span<const std::uint8_t> WholeRecord(std::span<const std::uint8_t> record) {
    if (record.size() < kTrackRecordSize) {
        throw EngineError("a track record is " + std::to_string(kTrackRecordSize) +
                          " bytes long; this one has " + Thousands(record.size()));
    }
    return record.first(kTrackRecordSize);
}

void PutText(std::span<std::uint8_t> field, const std::string& text, const char* what) {
    if (text.size() > field.size()) {
        throw EngineError(std::string("the ") + what + " \"" + text + "\" is " +
                          Thousands(text.size()) + " bytes; a track record holds " +
                          Thousands(field.size()));
    }
    std::copy(text.begin(), text.end(), field.begin());
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
    const TrackRecord fields = ReadTrackRecord(record);

    const auto index = static_cast<std::size_t>(track - 1);
    state.TrackNames[index] = fields.name;
    // The Japanese release shows no subtitles.
    state.TrackSubtitles[index] = state.RegionCode == "J" ? std::string() : fields.subtitle;
    state.TrackAttrs[index] = fields.attribute;

    // Positions past the list's end keep what the table reader found in the image; the zero
    // code that ended the list is kept, as the game's own lists keep it.
    TrackParamSet& params = state.TrackParams[index];
    params.Count = static_cast<std::uint8_t>(fields.params.size());
    for (std::size_t k = 0; k < fields.params.size(); ++k) {
        std::tie(params.Codes[k], params.Values[k]) = fields.params[k];
    }
    if (fields.params.size() < kRecordParamSlots) {
        params.Codes[fields.params.size()] = 0;
    }
    state.TrackBlock = fields.block;
}

TrackRecord ReadTrackRecord(std::span<const std::uint8_t> record) {
    const auto bytes = WholeRecord(record);
    TrackRecord fields;
    fields.name = FieldText(bytes.subspan(kRecordNameOffset, kRecordNameSize));
    fields.subtitle = FieldText(bytes.subspan(kRecordSubtitleOffset, kRecordSubtitleSize));
    fields.attribute = bytes[kRecordAttrOffset];
    for (std::size_t k = 0; k < kRecordParamSlots; ++k) {
        const auto slot =
            bytes.subspan(kRecordParamOffset + kRecordParamSlotSize * k, kRecordParamSlotSize);
        if (slot[1] == 0) {
            break;
        }
        std::uint8_t status = kSingleOk;
        fields.params.emplace_back(slot[1], BytesToSingle(slot.subspan<4, 4>(), true, status));
    }
    std::copy_n(bytes.begin() + kRecordCourseOffset, kTrackBlockSize, fields.block.begin());
    return fields;
}

std::vector<std::uint8_t> SaveDat(const TrackRecord& fields) {
    std::vector<std::uint8_t> record(kTrackRecordSize, 0);
    const std::span bytes(record);
    PutText(bytes.subspan(kRecordNameOffset, kRecordNameSize), fields.name, "name");
    PutText(bytes.subspan(kRecordSubtitleOffset, kRecordSubtitleSize), fields.subtitle, "subtitle");
    record[kRecordAttrOffset] = fields.attribute;
    if (fields.params.size() > kRecordParamSlots) {
        throw EngineError("a track record holds 6 parameters, not " +
                          std::to_string(fields.params.size()));
    }
    for (std::size_t k = 0; k < fields.params.size(); ++k) {
        const auto [code, value] = fields.params[k];
        if (code == 0) {
            throw EngineError("parameter " + std::to_string(k + 1) +
                              " has code 0, which would end the list");
        }
        const auto slot =
            bytes.subspan(kRecordParamOffset + kRecordParamSlotSize * k, kRecordParamSlotSize);
        slot[1] = code;
        SingleToBytes(value, true, slot.subspan<4, 4>());
    }
    std::copy(fields.block.begin(), fields.block.end(), record.begin() + kRecordCourseOffset);
    return record;
}

}  // namespace tflux
