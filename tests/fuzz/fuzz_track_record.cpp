#include <algorithm>
#include <cmath>
#include <string>

#include "payload/track_record.h"
#include "rom/errors.h"
#include "rom/file.h"
#include "tests/fuzz/fuzz_support.h"

namespace tflux::fuzz {

namespace {

constexpr char kRegions[4] = {'E', 'J', 'P', 'X'};

// What LoadDat may change; compared whole to see that a refusal changed nothing.
struct Tracks {
    std::array<std::string, kTrackCount> names;
    std::array<std::string, kTrackCount> subtitles;
    std::array<std::uint8_t, kTrackCount> attrs{};
    std::array<TrackParamSet, kTrackCount> params{};
    std::array<std::uint8_t, kTrackBlockSize> block{};
    friend bool operator==(const Tracks&, const Tracks&) = default;
};

Tracks Snapshot(const RomState& state) {
    return {state.TrackNames, state.TrackSubtitles, state.TrackAttrs, state.TrackParams,
            state.TrackBlock};
}

// Every track holds something a record would not produce, so that a stray write shows.
void Prefill(RomState& state, char region) {
    state.RegionCode = std::string(1, region);
    for (std::size_t i = 0; i < kTrackCount; ++i) {
        state.TrackNames[i] = "name " + std::to_string(i);
        state.TrackSubtitles[i] = "subtitle " + std::to_string(i);
        state.TrackAttrs[i] = static_cast<std::uint8_t>(i);
        state.TrackParams[i].Count = 6;
        state.TrackParams[i].Codes.fill(0xEE);
        state.TrackParams[i].Values.fill(-1.5f);
    }
    state.TrackBlock.fill(0xA5);
}

bool HasNul(const std::string& text) {
    return text.find('\0') != std::string::npos;
}

// A load that succeeded changed track `track` alone, within the record's limits.
void CheckLoaded(const Tracks& before, const RomState& state, Input record, int track) {
    const auto index = static_cast<std::size_t>(track - 1);
    Tracks expectOthers = before;
    Tracks after = Snapshot(state);
    expectOthers.names[index] = after.names[index];
    expectOthers.subtitles[index] = after.subtitles[index];
    expectOthers.attrs[index] = after.attrs[index];
    expectOthers.params[index] = after.params[index];
    expectOthers.block = after.block;
    Require(after == expectOthers, "loading one track changed another");

    const std::string& name = state.TrackNames[index];
    const std::string& subtitle = state.TrackSubtitles[index];
    Require(name.size() <= 20 && !HasNul(name), "a track name longer than its field");
    Require(subtitle.size() <= 24 && !HasNul(subtitle), "a subtitle longer than its field");
    Require(state.RegionCode != "J" || subtitle.empty(), "a Japanese track with a subtitle");

    const TrackParamSet& params = state.TrackParams[index];
    Require(params.Count <= 6, "more than six parameters");
    for (std::size_t k = 0; k < params.Count; ++k) {
        Require(params.Codes[k] != 0, "a parameter list with code 0 inside it");
        Require(std::isfinite(params.Values[k]), "a parameter value that is not finite");
    }
    Require(params.Count == 6 || params.Codes[params.Count] == 0,
            "a parameter list ended by something other than code 0");

    const auto block = record.subspan(kTrackRecordSize - kTrackBlockSize, kTrackBlockSize);
    Require(std::equal(block.begin(), block.end(), state.TrackBlock.begin()),
            "the course block is not the record's last 2,016 bytes");
}

}  // namespace

Outcome FuzzTrackRecord(Input data) {
    const bool knobs = data.size() >= kTrackRecordSize + 3;
    const Input tail = knobs ? data.last(3) : Input();
    const int track = knobs ? tail[0] % 26 : 1;
    const char region = kRegions[knobs ? tail[1] % 4 : 0];
    const std::uint64_t position = knobs ? tail[2] : 1;
    const bool trackExists = track >= 1 && track <= kTrackCount;

    // In memory.
    RomState memory;
    Prefill(memory, region);
    const Tracks before = Snapshot(memory);
    bool loaded = false;
    try {
        LoadDat(memory, data, track);
        loaded = true;
    } catch (const EngineError&) {
        Require(Snapshot(memory) == before, "a refused record changed the tracks");
    }
    Require(loaded == (trackExists && data.size() >= kTrackRecordSize),
            loaded ? "a record was accepted that cannot be whole" : "a whole record was refused");
    if (loaded) {
        CheckLoaded(before, memory, data, track);
    }

    // From a file, at a position: the same as the bytes there, or a refusal that changes nothing.
    const auto path = ScratchFolder() / "record.dat";
    WriteFileBytes(path, data);
    const File file = File::Open(path, OpenMode::Read);
    RomState fromFile;
    Prefill(fromFile, region);
    bool read = false;
    try {
        LoadDat(fromFile, file, position, track);
        read = true;
    } catch (const EngineError&) {
        Require(Snapshot(fromFile) == before, "a record that could not be read changed the tracks");
    }
    const bool fits = position >= 1 && data.size() >= position - 1 + kTrackRecordSize;
    Require(read == (trackExists && fits), read ? "a record was read from beyond the file"
                                                : "a whole record in a file was refused");
    if (read) {
        RomState expected;
        Prefill(expected, region);
        LoadDat(expected, data.subspan(position - 1), track);
        Require(Snapshot(fromFile) == Snapshot(expected),
                "a record read from a file differs from the same bytes in memory");
    }
    return loaded ? Outcome::Accepted : Outcome::Refused;
}

}  // namespace tflux::fuzz
