#include "tools/trackpack.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>

#include "payload/modIEEE754.h"
#include "payload/track_record.h"
#include "rom/byteorder.h"
#include "rom/errors.h"
#include "rom/file.h"

namespace tflux {

namespace {

using nlohmann::json;

constexpr std::size_t kPackFileLimit = 1 << 20;  // a pack is a few kilobytes; refuse garbage
constexpr int kPackTracks = 24;

// Every problem of a pack, so that one build run shows all of them.
class Problems {
  public:
    void Add(const std::string& where, const std::string& what) {
        lines_.push_back(where.empty() ? what : where + ": " + what);
    }
    bool Empty() const { return lines_.empty(); }
    [[noreturn]] void Throw(const std::string& origin) const {
        std::string text;
        for (const std::string& line : lines_) {
            if (!text.empty()) {
                text += '\n';
            }
            text += origin + ": " + line;
        }
        throw EngineError(text);
    }

  private:
    std::vector<std::string> lines_;
};

std::optional<std::int64_t> AsInteger(const json& value) {
    if (value.is_number_unsigned()) {
        const auto u = value.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(u);
    }
    if (value.is_number_integer()) {
        return value.get<std::int64_t>();
    }
    return std::nullopt;
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

// The record's text fields are single-byte characters the game prints; anything but printable
// ASCII would depend on a code page and on the game's font.
void CheckText(const std::string& text, const char* field, std::size_t width, bool mayBeEmpty,
               const std::string& where, Problems& problems) {
    if (text.empty() && !mayBeEmpty) {
        problems.Add(where, std::string(field) + " is empty");
    }
    if (text.size() > width) {
        problems.Add(where, std::string(field) + " " + Quoted(text) + " is " +
                                std::to_string(text.size()) + " bytes; the record holds at most " +
                                std::to_string(width));
    }
    const auto bad = std::find_if(text.begin(), text.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b < 0x20 || b > 0x7E;
    });
    if (bad != text.end()) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%02X", static_cast<unsigned char>(*bad));
        problems.Add(where, std::string(field) + " holds the byte " + hex +
                                "; only printable ASCII (0x20..0x7E) is allowed");
    }
}

// The checks that do not depend on how the track was written down.
void CheckTrack(const TrackSource& track, const std::string& where, Problems& problems) {
    CheckText(track.name, "name", kRecordNameSize, false, where, problems);
    CheckText(track.subtitle, "subtitle", kRecordSubtitleSize, true, where, problems);
    if (track.params.size() > kRecordParamSlots) {
        problems.Add(where, "parameter set has " + std::to_string(track.params.size()) +
                                " pairs; the record holds at most " +
                                std::to_string(kRecordParamSlots));
    }
    for (std::size_t k = 0; k < track.params.size(); ++k) {
        const std::string pair = "parameter pair " + std::to_string(k + 1);
        if (track.params[k].first == 0) {
            problems.Add(where, pair + ": code 0 would end the list; codes are 1..255");
        }
        if (!std::isfinite(track.params[k].second)) {
            problems.Add(where, pair + ": value is not a finite number");
        }
    }
    if (track.courseSeed == 0) {
        problems.Add(where, "course seed 0 would give an all-zero block; use 1..4294967295");
    }
}

void CheckKeys(const json& object, const std::set<std::string>& known, const std::string& where,
               Problems& problems) {
    for (const auto& [key, value] : object.items()) {
        if (!key.starts_with('_') && !known.contains(key)) {
            problems.Add(where, "unknown field " + Quoted(key));
        }
    }
}

// Reads one track object; type and range errors are reported here, the rest by CheckTrack.
std::optional<TrackSource> ReadTrack(const json& object, const std::string& where,
                                     Problems& problems) {
    if (!object.is_object()) {
        problems.Add(where, "a track must be a JSON object");
        return std::nullopt;
    }
    CheckKeys(object, {"entry", "name", "subtitle", "attribute", "params", "course"}, where,
              problems);
    bool complete = true;
    auto field = [&](const char* key) -> const json* {
        const auto it = object.find(key);
        if (it == object.end()) {
            problems.Add(where, std::string("field \"") + key + "\" is missing");
            complete = false;
            return nullptr;
        }
        return &*it;
    };
    auto integer = [&](const char* key, std::int64_t low,
                       std::int64_t high) -> std::optional<std::int64_t> {
        const json* value = field(key);
        if (value == nullptr) {
            return std::nullopt;
        }
        const auto n = AsInteger(*value);
        if (!n || *n < low || *n > high) {
            problems.Add(where, std::string(key) + " must be a whole number from " +
                                    std::to_string(low) + " to " + std::to_string(high) + ", not " +
                                    value->dump());
            complete = false;
            return std::nullopt;
        }
        return n;
    };
    auto text = [&](const char* key) -> std::string {
        const json* value = field(key);
        if (value != nullptr && !value->is_string()) {
            problems.Add(where, std::string(key) + " must be a string");
            complete = false;
        }
        return value != nullptr && value->is_string() ? value->get<std::string>() : std::string();
    };

    TrackSource track;
    track.entry = static_cast<int>(integer("entry", 1, kPackTracks).value_or(0));
    track.name = text("name");
    track.subtitle = text("subtitle");
    track.attribute = static_cast<std::uint8_t>(integer("attribute", 0, 255).value_or(0));

    if (const json* params = field("params"); params != nullptr) {
        if (!params->is_array()) {
            problems.Add(where, "params must be a list of [code, value] pairs");
            complete = false;
        } else {
            for (std::size_t k = 0; k < params->size(); ++k) {
                const json& pair = (*params)[k];
                const std::string label = "parameter pair " + std::to_string(k + 1);
                if (!pair.is_array() || pair.size() != 2) {
                    problems.Add(where, label + " must be [code, value], not " + pair.dump());
                    complete = false;
                    continue;
                }
                const auto code = AsInteger(pair[0]);
                if (!code || *code < 0 || *code > 255) {
                    problems.Add(where, label +
                                            ": code must be a whole number from 1 to 255, not " +
                                            pair[0].dump());
                    complete = false;
                    continue;
                }
                if (!pair[1].is_number()) {
                    problems.Add(where, label + ": value must be a number, not " + pair[1].dump());
                    complete = false;
                    continue;
                }
                const double value = pair[1].get<double>();
                float single = std::numeric_limits<float>::infinity();
                // Converting a double beyond the single range is undefined; keep it infinite
                // so that CheckTrack names it.
                if (std::isfinite(value) && std::fabs(value) <= FLT_MAX) {
                    single = static_cast<float>(value);
                }
                track.params.emplace_back(static_cast<std::uint8_t>(*code), single);
            }
        }
    }

    if (const json* course = field("course"); course != nullptr) {
        if (!course->is_object()) {
            problems.Add(where, "course must be an object such as {\"seed\": 1}");
            complete = false;
        } else {
            CheckKeys(*course, {"seed"}, where + ", course", problems);
            const auto it = course->find("seed");
            const auto seed = it != course->end() ? AsInteger(*it) : std::nullopt;
            if (!seed || *seed < 0 || *seed > 0xFFFFFFFFLL) {
                problems.Add(where, "course seed must be a whole number from 1 to 4294967295");
                complete = false;
            } else {
                track.courseSeed = static_cast<std::uint32_t>(*seed);
            }
        }
    }

    if (!complete) {
        return std::nullopt;
    }
    return track;
}

std::string Where(std::size_t index, const TrackSource* track) {
    std::string where = "tracks[" + std::to_string(index) + "]";
    if (track != nullptr && track->entry != 0) {
        where += " (entry " + std::to_string(track->entry) + ")";
    }
    return where;
}

PoolUsage MeasurePools(const std::array<TrackSource, 24>& tracks) {
    PoolUsage usage;
    std::set<std::string> names;
    std::set<std::string> subtitles;
    std::vector<std::vector<std::pair<std::uint8_t, float>>> sets;
    for (const TrackSource& track : tracks) {
        if (names.insert(track.name).second) {
            usage.nameBytes += track.name.size() + 1;
        }
        if (subtitles.insert(track.subtitle).second) {
            usage.subtitleBytes += track.subtitle.size() + 1;
        }
        const std::size_t entries = track.params.size() + 1;
        usage.paramEntriesUnshared += entries;
        if (std::find(sets.begin(), sets.end(), track.params) == sets.end()) {
            sets.push_back(track.params);
            usage.paramEntries += entries;
        }
    }
    return usage;
}

}  // namespace

TrackPack ParseTrackPack(std::string_view text, const std::string& origin) {
    Problems problems;
    json root;
    try {
        root = json::parse(text.begin(), text.end());
    } catch (const json::exception& e) {
        // nlohmann prefixes its messages with an internal tag; a person needs the rest.
        std::string message = e.what();
        if (const auto end = message.find("] "); message.starts_with('[') && end != message.npos) {
            message.erase(0, end + 2);
        }
        problems.Add("", "not valid JSON: " + message);
        problems.Throw(origin);
    }
    if (!root.is_object()) {
        problems.Add("", "the pack must be a JSON object with a \"tracks\" list");
        problems.Throw(origin);
    }
    CheckKeys(root, {"tracks"}, "", problems);
    const auto list = root.find("tracks");
    if (list == root.end() || !list->is_array()) {
        problems.Add("", "the pack must have a \"tracks\" list");
        problems.Throw(origin);
    }
    if (list->size() != kPackTracks) {
        problems.Add("", "the pack has " + std::to_string(list->size()) +
                             " tracks; it must have exactly 24");
    }

    TrackPack pack;
    std::array<std::optional<std::size_t>, kPackTracks> seenAt;
    for (std::size_t i = 0; i < list->size(); ++i) {
        const auto track = ReadTrack((*list)[i], Where(i, nullptr), problems);
        if (!track) {
            continue;
        }
        const std::string where = Where(i, &*track);
        CheckTrack(*track, where, problems);
        auto& first = seenAt[static_cast<std::size_t>(track->entry - 1)];
        if (first) {
            problems.Add(where, "entry " + std::to_string(track->entry) +
                                    " is already used by tracks[" + std::to_string(*first) + "]");
            continue;
        }
        first = i;
        pack.tracks[static_cast<std::size_t>(track->entry - 1)] = *track;
    }
    if (list->size() == kPackTracks) {
        for (int entry = 1; entry <= kPackTracks; ++entry) {
            if (!seenAt[static_cast<std::size_t>(entry - 1)]) {
                problems.Add("", "entry " + std::to_string(entry) + " is missing");
            }
        }
    }
    if (!problems.Empty()) {
        problems.Throw(origin);
    }

    pack.usage = MeasurePools(pack.tracks);
    const PoolUsage& u = pack.usage;
    if (u.nameBytes > kNamePoolBudget) {
        problems.Add("", "the distinct names take " + std::to_string(u.nameBytes) +
                             " bytes with their NULs; the game's name pool holds " +
                             std::to_string(kNamePoolBudget));
    }
    if (u.subtitleBytes > kSubtitlePoolBudget) {
        problems.Add("", "the distinct subtitles take " + std::to_string(u.subtitleBytes) +
                             " bytes with their NULs; the game's subtitle pool holds " +
                             std::to_string(kSubtitlePoolBudget));
    }
    if (u.paramEntries > kParamPoolEntries) {
        problems.Add("", "the distinct parameter sets take " + std::to_string(u.paramEntries) +
                             " entries with their terminators; the game's pool holds " +
                             std::to_string(kParamPoolEntries));
    }
    if (!problems.Empty()) {
        problems.Throw(origin);
    }
    // The game shares a set only when the leftovers of the image's own sets match too, so
    // equal sets are not certain to be stored once.
    if (u.paramEntriesUnshared > kParamPoolEntries) {
        pack.warnings.push_back(
            origin + ": unshared, the parameter sets would take " +
            std::to_string(u.paramEntriesUnshared) + " of the " +
            std::to_string(kParamPoolEntries) +
            " pool entries; on some images the last tracks may read empty sets");
    }
    return pack;
}

TrackPack LoadTrackPack(const std::filesystem::path& path) {
    return ParseTrackPack(ReadWholeFile(path, kPackFileLimit), path.string());
}

void FillPlaceholderCourse(std::uint32_t seed, std::span<std::uint8_t> block) {
    if (block.size() % 4 != 0) {
        throw EngineError("placeholder course block of " + std::to_string(block.size()) +
                          " bytes is not whole 32-bit words");
    }
    std::uint32_t state = seed;
    for (std::size_t position = 1; position <= block.size(); position += 4) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        PutBE32(block, state, position);
    }
}

std::vector<std::uint8_t> CompileTrackRecord(const TrackSource& track) {
    Problems problems;
    CheckTrack(track, "", problems);
    if (!problems.Empty()) {
        problems.Throw("track record " + std::to_string(track.entry));
    }
    std::vector<std::uint8_t> record(kTrackRecordSize, 0);
    std::memcpy(record.data(), track.name.data(), track.name.size());
    std::memcpy(record.data() + kRecordNameSize, track.subtitle.data(), track.subtitle.size());
    record[kRecordAttrOffset] = track.attribute;
    for (std::size_t k = 0; k < track.params.size(); ++k) {
        const std::size_t slot = kRecordParamOffset + kRecordParamSlotSize * k;
        record[slot + 1] = track.params[k].first;
        SingleToBytes(track.params[k].second, true,
                      std::span<std::uint8_t, 4>(record.data() + slot + 4, 4));
    }
    FillPlaceholderCourse(track.courseSeed,
                          std::span(record).subspan(kRecordCourseOffset, kTrackBlockSize));
    return record;
}

}  // namespace tflux
