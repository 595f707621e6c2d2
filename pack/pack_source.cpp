#include "pack/pack_source.h"

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>

#include "payload/container.h"
#include "rom/errors.h"
#include "rom/file.h"
#include "rom/text.h"

namespace tflux {

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr std::size_t kSourceFileLimit = 1 << 20;  // a pack or course is a few kilobytes

// Every problem of a source, so that one run shows all of them.
class Problems {
  public:
    void Add(const std::string& where, const std::string& what) {
        lines_.push_back(where.empty() ? what : where + ": " + what);
    }
    bool Empty() const { return lines_.empty(); }
    void Merge(const Problems& other) {
        lines_.insert(lines_.end(), other.lines_.begin(), other.lines_.end());
    }
    [[noreturn]] void Throw() const {
        std::string text;
        for (const std::string& line : lines_) {
            text += (text.empty() ? "" : "\n") + line;
        }
        throw EngineError(text);
    }

  private:
    std::vector<std::string> lines_;
};

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

// "line 3, column 14" for a byte offset of the text.
std::string LineOf(std::string_view text, std::size_t offset) {
    offset = std::min(offset, text.size());
    const auto line = std::count(text.begin(), text.begin() + long(offset), '\n') + 1;
    const auto lineStart = text.rfind('\n', offset == 0 ? 0 : offset - 1);
    const std::size_t column =
        offset - (lineStart == text.npos || offset == 0 ? 0 : lineStart + 1) + 1;
    return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

json ParseJson(std::string_view text, const std::string& origin) {
    // nlohmann keeps the last of two equal keys; which one the author meant is a guess, so a
    // repeated key is refused. One set of keys per object being read.
    std::vector<std::set<std::string>> keys;
    const auto refuseRepeats = [&](int, json::parse_event_t event, json& parsed) {
        if (event == json::parse_event_t::object_start) {
            keys.emplace_back();
        } else if (event == json::parse_event_t::object_end) {
            keys.pop_back();
        } else if (event == json::parse_event_t::key && !keys.empty() &&
                   !keys.back().insert(parsed.get<std::string>()).second) {
            throw EngineError(origin + ": the field " + Quoted(parsed.get<std::string>()) +
                              " is given twice in one object");
        }
        return true;
    };
    try {
        return json::parse(text.begin(), text.end(), refuseRepeats);
    } catch (const json::parse_error& e) {
        // nlohmann prefixes its messages with an internal tag and its own position; a person
        // needs the line and the rest.
        std::string message = e.what();
        if (const auto at = message.find(": "); at != message.npos) {
            message.erase(0, at + 2);
        }
        if (message.starts_with("syntax error while parsing value - ")) {
            message.erase(0, std::string_view("syntax error while parsing value - ").size());
        }
        throw EngineError(origin + ": " + LineOf(text, e.byte == 0 ? 0 : e.byte - 1) +
                          ": not valid JSON: " + message);
    } catch (const json::exception& e) {
        throw EngineError(origin + ": not valid JSON: " + e.what());
    }
}

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
    if (value.is_number_float()) {
        const double d = value.get<double>();
        if (std::isfinite(d) && d == std::trunc(d) && std::fabs(d) < 9e15) {
            return static_cast<std::int64_t>(d);
        }
    }
    return std::nullopt;
}

void CheckKeys(const json& object, const std::set<std::string>& known, const std::string& where,
               Problems& problems) {
    for (const auto& [key, value] : object.items()) {
        if (!key.starts_with('_') && !known.contains(key)) {
            problems.Add(where, "unknown field " + Quoted(key));
        }
    }
}

// JSON text is UTF-8; the game's is one byte a character. Code points up to U+00FF map to
// the byte of the same value.
std::optional<std::string> Utf8ToBytes(const std::string& text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b < 0x80) {
            bytes += char(b);
        } else if ((b == 0xC2 || b == 0xC3) && i + 1 < text.size()) {
            const auto next = static_cast<unsigned char>(text[++i]);
            bytes += char(((b & 0x03) << 6) | (next & 0x3F));
        } else {
            return std::nullopt;
        }
    }
    return bytes;
}

std::string TrackWords(int entry) {
    const int track = TrackOfEntry(entry);
    return "track " + std::to_string(track) +
           (track == entry ? "" : " (entry " + std::to_string(entry) + ")");
}

// ---- readable courses ----

class CourseReader {
  public:
    CourseReader(const std::string& origin, Problems& problems)
        : origin_(origin), problems_(problems) {}

    Course Read(const json& root) {
        Course course;
        if (!root.is_object()) {
            problems_.Add(origin_,
                          "a course must be a JSON object with \"venue\", "
                          "\"skybox\" and \"points\"");
            return course;
        }
        CheckKeys(root, {"venue", "skybox", "music", "file_name", "points"}, origin_, problems_);
        course.venue = static_cast<std::int8_t>(Named(root, "venue", VenueFromName, origin_));
        course.skybox = static_cast<std::int8_t>(Named(root, "skybox", SkyboxFromName, origin_));
        if (const auto it = root.find("music"); it != root.end()) {
            course.music = static_cast<std::int8_t>(Integer(*it, "music", -128, 127, origin_));
        }
        if (const auto it = root.find("file_name"); it != root.end()) {
            const auto bytes = it->is_string() ? Utf8ToBytes(it->get<std::string>()) : std::nullopt;
            if (!bytes || bytes->size() > kCourseFileNameSize ||
                bytes->find('\0') != std::string::npos) {
                problems_.Add(origin_, "file_name must be a text of at most 22 bytes");
            } else {
                std::copy(bytes->begin(), bytes->end(), course.fileName.begin());
            }
        }
        const auto points = root.find("points");
        if (points == root.end() || !points->is_array()) {
            problems_.Add(origin_, "\"points\" must be a list of control points");
            return course;
        }
        if (points->size() < std::size_t(kCourseMinPoints) || points->size() > kCourseMaxPoints) {
            problems_.Add(origin_, "the course has " + std::to_string(points->size()) +
                                       " points; a course has 4 to 64");
            return course;
        }
        course.count = static_cast<std::int8_t>(points->size());
        for (auto& feature : course.features) {
            std::fill_n(feature.begin(), points->size(), kFeatureNone);
        }
        for (std::size_t i = 0; i < points->size(); ++i) {
            ReadPoint((*points)[i], i, course);
        }
        course.creator = kCourseCreator;
        course.checksum = CourseChecksum(course);
        return course;
    }

  private:
    template <typename FromName>
    int Named(const json& object, const char* key, FromName fromName, const std::string& where) {
        const auto it = object.find(key);
        if (it == object.end() || !it->is_string()) {
            problems_.Add(where, std::string("\"") + key + "\" must be given as a name");
            return 0;
        }
        const auto value = fromName(it->get<std::string>());
        if (!value) {
            problems_.Add(where, std::string(key) + " " + Quoted(it->get<std::string>()) +
                                     " is not one the game has");
            return 0;
        }
        return int(*value);
    }

    std::int64_t Integer(const json& value, const std::string& key, std::int64_t low,
                         std::int64_t high, const std::string& where) {
        const auto n = AsInteger(value);
        if (!n || *n < low || *n > high) {
            problems_.Add(where, key + " must be a whole number from " + std::to_string(low) +
                                     " to " + std::to_string(high) + ", not " + value.dump());
            return 0;
        }
        return *n;
    }

    float Coordinate(const json& point, const char* key, const std::string& where) {
        const auto it = point.find(key);
        if (it == point.end() || !it->is_number()) {
            problems_.Add(where, std::string(key) + " must be a number");
            return 0;
        }
        const double value = it->get<double>();
        if (!std::isfinite(value) || std::fabs(value) > FLT_MAX) {
            problems_.Add(where, std::string(key) + " " + it->dump() +
                                     " is beyond what a single-precision number holds");
            return 0;
        }
        // Integers keep their sign: JSON's "-0" is zero.
        return static_cast<float>(value);
    }

    void ReadPoint(const json& point, std::size_t i, Course& course) {
        const std::string where = origin_ + ": points[" + std::to_string(i) + "]";
        if (!point.is_object()) {
            problems_.Add(where, "a point must be an object");
            return;
        }
        CheckKeys(point, PointKeys(), where, problems_);
        ControlPoint& p = course.points[i];
        p.x = Coordinate(point, "x", where);
        p.y = Coordinate(point, "y", where);
        p.z = Coordinate(point, "z", where);
        ReadRadii(point, where, p);
        if (const auto it = point.find("bank"); it != point.end()) {
            course.bank[i] = static_cast<std::int16_t>(Integer(*it, "bank", -32768, 32767, where));
        }
        p.info = InfoWord(point, where);
        for (std::size_t f = 0; f < kFeatureCount; ++f) {
            ReadFeature(point, static_cast<Feature>(f), where,
                        course.Feat(static_cast<Feature>(f), i));
        }
    }

    static std::set<std::string> PointKeys() {
        std::set<std::string> known = {"x", "y", "z", "left", "right", "bank", "shape", "style"};
        for (std::size_t f = 0; f < kFeatureCount; ++f) {
            known.insert(std::string(FeatureName(static_cast<Feature>(f))));
        }
        return known;
    }

    void ReadRadii(const json& point, const std::string& where, ControlPoint& p) {
        for (const char* side : {"left", "right"}) {
            const auto it = point.find(side);
            if (it == point.end()) {
                problems_.Add(where, std::string(side) + " radius is missing");
                continue;
            }
            const auto radius = static_cast<std::int16_t>(Integer(*it, side, 0, 32767, where));
            (std::string_view(side) == "left" ? p.left : p.right) = radius;
        }
    }

    // The shape and style, as the editor's info word holds them; an air gap has no style.
    std::uint32_t InfoWord(const json& point, const std::string& where) {
        const auto shapeName = point.find("shape");
        std::optional<Shape> shape;
        if (shapeName == point.end() || !shapeName->is_string() ||
            !(shape = ShapeFromName(shapeName->get<std::string>()))) {
            problems_.Add(where,
                          "shape must be one of road, walled, pipe, cylinder, half-pipe, "
                          "tunnel, air, borderless");
            shape = Shape::Road;
        }
        const auto styleIt = point.find("style");
        if (*shape == Shape::Air) {
            if (styleIt != point.end() &&
                Integer(*styleIt, "style", 0, 63, where) != std::int64_t{kAirStyle}) {
                problems_.Add(where, "an air gap has no style of its own");
            }
            return EditorInfoWord(*shape);
        }
        if (styleIt == point.end()) {
            problems_.Add(where, "style is missing (0 is the start line)");
            return EditorInfoWord(*shape) | kAirStyle;
        }
        return EditorInfoWord(*shape) |
               static_cast<std::uint32_t>(Integer(*styleIt, "style", 0, 63, where));
    }

    // A feature given by name; one not given keeps `value` as it is.
    void ReadFeature(const json& point, Feature feature, const std::string& where,
                     std::int8_t& value) {
        const auto it = point.find(std::string(FeatureName(feature)));
        if (it == point.end()) {
            return;
        }
        const auto named =
            it->is_string() ? FeatureValueFromName(feature, it->get<std::string>()) : std::nullopt;
        if (!named) {
            std::string names;
            for (int v = 0; !FeatureValueName(feature, v).empty(); ++v) {
                names += (v == 0 ? "" : ", ") + std::string(FeatureValueName(feature, v));
            }
            problems_.Add(where, std::string(FeatureName(feature)) + " must be one of " + names +
                                     ", not " + it->dump());
            return;
        }
        value = static_cast<std::int8_t>(*named);
    }

    const std::string& origin_;
    Problems& problems_;
};

// ---- trackpack.json ----

void CheckText(const std::string& text, const char* field, std::size_t width, bool mayBeEmpty,
               const std::string& where, Problems& problems, std::vector<std::string>& warnings) {
    // Images carry tracks without a name, and a pack made from one must build again.
    if (text.empty() && !mayBeEmpty) {
        warnings.push_back(where + ": " + field + " is empty; the game shows no name for it");
    }
    if (text.size() > width) {
        problems.Add(where, std::string(field) + " " + Quoted(Latin1ToUtf8(text)) + " is " +
                                Thousands(text.size()) + " bytes; the record holds at most " +
                                std::to_string(width));
    }
    if (text.find('\0') != std::string::npos) {
        problems.Add(where, std::string(field) + " holds a NUL byte, which would end it");
    }
    // Anything but printable ASCII depends on the game's font.
    const auto odd = std::find_if(text.begin(), text.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b != 0 && (b < 0x20 || b > 0x7E);
    });
    if (odd != text.end()) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%02X", static_cast<unsigned char>(*odd));
        warnings.push_back(where + ": " + field + " holds the byte " + hex +
                           ", outside printable ASCII; the game may not show it");
    }
}

// Why a course path as trackpack.json gives it does not name a file inside the pack folder, by
// its words alone; nullptr when it does. Links are followed when the file is read.
const char* OutsideThePack(const std::string& name) {
    if (name.find('\0') != std::string::npos) {
        return "holds a NUL byte";
    }
    const fs::path path = PathFromText(name);
    if (path.has_root_path()) {
        return "must be relative to the pack folder";
    }
    for (const fs::path& part : path) {
        if (part == "..") {
            return "must not climb out of the pack folder with \"..\"";
        }
    }
    return nullptr;
}

struct TrackFields {
    PackTrack track;
    bool complete = true;
};

// The fields of one track's object. Each problem is reported at once and leaves the track
// incomplete, so that one file shows all its problems in one run.
class TrackObject {
  public:
    TrackObject(const json& object, const std::string& where, Problems& problems)
        : object_(object), where_(where), problems_(problems) {}

    bool Complete() const { return complete_; }

    const json* Field(const char* key) {
        const auto it = object_.find(key);
        if (it == object_.end()) {
            Fail(where_, std::string("field \"") + key + "\" is missing");
            return nullptr;
        }
        return &*it;
    }

    std::int64_t Integer(const char* key, std::int64_t low, std::int64_t high) {
        const json* value = Field(key);
        if (value == nullptr) {
            return 0;
        }
        const auto n = AsInteger(*value);
        if (!n || *n < low || *n > high) {
            Fail(where_, std::string(key) + " must be a whole number from " + std::to_string(low) +
                             " to " + std::to_string(high) + ", not " + value->dump());
            return 0;
        }
        return *n;
    }

    // nullopt when the field is missing or not such a string, the problem already reported.
    std::optional<std::string> Text(const char* key) {
        const json* value = Field(key);
        if (value == nullptr) {
            return std::nullopt;
        }
        auto bytes = value->is_string() ? Utf8ToBytes(value->get<std::string>()) : std::nullopt;
        if (!bytes) {
            Fail(where_, std::string(key) + " must be a string of characters up to U+00FF");
        }
        return bytes;
    }

    void ReadParams(const std::string& at, TrackRecord& record) {
        const json* params = Field("params");
        if (params == nullptr) {
            return;
        }
        if (!params->is_array()) {
            Fail(at, "params must be a list of [code, value] pairs");
        } else if (params->size() > kRecordParamSlots) {
            Fail(at, "parameter set has " + std::to_string(params->size()) +
                         " pairs; the record holds at most 6");
        } else {
            for (std::size_t k = 0; k < params->size(); ++k) {
                if (const auto pair = ReadPair((*params)[k], k, at)) {
                    record.params.push_back(*pair);
                }
            }
        }
    }

    void ReadCourseFile(const std::string& at, PackTrack& track) {
        const auto course = object_.find("course");
        const auto block = object_.find("block");
        if ((course == object_.end()) == (block == object_.end())) {
            Fail(at,
                 "give the course as exactly one of \"course\" (a readable course file) "
                 "and \"block\" (a raw 2,016-byte block file)");
            return;
        }
        const auto& file = course != object_.end() ? *course : *block;
        const char* field = course != object_.end() ? "course" : "block";
        if (!file.is_string() || file.get<std::string>().empty()) {
            Fail(at, "the course must name a file in the pack folder");
            return;
        }
        // The folder is what a modder shares: a pack that reaches outside it would read
        // whatever the receiver keeps there.
        const std::string name = file.get<std::string>();
        if (const char* why = OutsideThePack(name)) {
            // A NUL is not shown: it would end the line on a terminal.
            const bool shown = name.find('\0') == std::string::npos;
            Fail(at, std::string(field) + (shown ? " " + Quoted(name) : "") + " " + why);
            return;
        }
        track.courseFile = name;
        track.rawBlock = block != object_.end();
    }

  private:
    void Fail(const std::string& at, const std::string& problem) {
        problems_.Add(at, problem);
        complete_ = false;
    }

    std::optional<std::pair<std::uint8_t, float>> ReadPair(const json& pair, std::size_t k,
                                                           const std::string& at) {
        const std::string label = "parameter pair " + std::to_string(k + 1);
        const bool isPair = pair.is_array() && pair.size() == 2;
        const auto code = isPair ? AsInteger(pair[0]) : std::nullopt;
        if (!isPair) {
            Fail(at, label + " must be [code, value], not " + pair.dump());
        } else if (!code || *code < 1 || *code > 255) {
            Fail(at, label +
                         ": code must be a whole number from 1 to 255 (0 would end the list), "
                         "not " +
                         pair[0].dump());
        } else if (!pair[1].is_number() || !std::isfinite(pair[1].get<double>()) ||
                   std::fabs(pair[1].get<double>()) > FLT_MAX) {
            Fail(at,
                 label + ": value must be a finite single-precision number, not " + pair[1].dump());
        } else {
            return std::pair(static_cast<std::uint8_t>(*code),
                             static_cast<float>(pair[1].get<double>()));
        }
        return std::nullopt;
    }

    const json& object_;
    const std::string& where_;
    Problems& problems_;
    bool complete_ = true;
};

TrackFields ReadTrack(const json& object, const std::string& where, Problems& problems,
                      std::vector<std::string>& warnings) {
    TrackFields fields;
    if (!object.is_object()) {
        problems.Add(where, "a track must be a JSON object");
        fields.complete = false;
        return fields;
    }
    CheckKeys(object, {"entry", "name", "subtitle", "attribute", "params", "course", "block"},
              where, problems);
    TrackObject reader(object, where, problems);
    PackTrack& track = fields.track;
    track.entry = static_cast<int>(reader.Integer("entry", 1, kTrackCount));
    const std::string at = track.entry == 0 ? where : where + " (" + TrackWords(track.entry) + ")";
    const std::optional<std::string> name = reader.Text("name");
    const std::optional<std::string> subtitle = reader.Text("subtitle");
    track.record.attribute = static_cast<std::uint8_t>(reader.Integer("attribute", 0, 255));
    if (name) {
        track.record.name = *name;
        CheckText(*name, "name", kRecordNameSize, false, at, problems, warnings);
    }
    if (subtitle) {
        track.record.subtitle = *subtitle;
        CheckText(*subtitle, "subtitle", kRecordSubtitleSize, true, at, problems, warnings);
    }
    reader.ReadParams(at, track.record);
    const auto& params = track.record.params;
    for (std::size_t k = 0; k < params.size(); ++k) {
        const auto same = [&](const auto& pair) { return pair.first == params[k].first; };
        // Said once, at the code's second pair.
        if (std::count_if(params.begin(), params.begin() + long(k), same) == 1) {
            warnings.push_back(at + ": parameter code " + std::to_string(params[k].first) +
                               " is given more than once in this set");
        }
    }
    reader.ReadCourseFile(at, track);
    fields.complete = reader.Complete();
    return fields;
}

PoolUsage MeasurePools(const std::array<PackTrack, kTrackCount>& tracks) {
    PoolUsage usage;
    std::set<std::string> names;
    std::set<std::string> subtitles;
    std::vector<std::vector<std::pair<std::uint8_t, float>>> sets;
    for (const PackTrack& track : tracks) {
        if (names.insert(track.record.name).second) {
            usage.nameBytes += track.record.name.size() + 1;
        }
        if (subtitles.insert(track.record.subtitle).second) {
            usage.subtitleBytes += track.record.subtitle.size() + 1;
        }
        const std::size_t entries = track.record.params.size() + 1;
        usage.paramEntriesUnshared += entries;
        if (std::find(sets.begin(), sets.end(), track.record.params) == sets.end()) {
            sets.push_back(track.record.params);
            usage.paramEntries += entries;
        }
    }
    return usage;
}

void CheckPools(PackSource& pack, const std::string& origin, Problems& problems) {
    pack.usage = MeasurePools(pack.tracks);
    const PoolUsage& u = pack.usage;
    if (u.nameBytes > kNamePoolBudget) {
        problems.Add(origin, "the distinct names take " + std::to_string(u.nameBytes) +
                                 " bytes with their NULs; the game's name pool holds " +
                                 std::to_string(kNamePoolBudget));
    }
    if (u.subtitleBytes > kSubtitlePoolBudget) {
        problems.Add(origin, "the distinct subtitles take " + std::to_string(u.subtitleBytes) +
                                 " bytes with their NULs; the game's subtitle pool holds " +
                                 std::to_string(kSubtitlePoolBudget));
    }
    if (u.paramEntries > kParamPoolEntries) {
        problems.Add(origin, "the distinct parameter sets take " + std::to_string(u.paramEntries) +
                                 " entries with their terminators; the game's pool holds " +
                                 std::to_string(kParamPoolEntries));
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
}

// Whether `path` is `folder` or below it; both resolved.
bool IsInside(const fs::path& path, const fs::path& folder) {
    const auto [end, at] = std::mismatch(folder.begin(), folder.end(), path.begin(), path.end());
    return end == folder.end() || (std::next(end) == folder.end() && end->empty());
}

// Reads the course file of one track into its record's block.
// `resolved` is `dir` with its links followed.
void LoadCourse(const fs::path& dir, const fs::path& resolved, PackTrack& track, Problems& problems,
                std::vector<std::string>& warnings) {
    const fs::path path = dir / PathFromText(track.courseFile);
    const std::string origin = PathText(path);
    std::string bytes;
    try {
        if (!IsInside(ResolveLinks(path), resolved)) {
            problems.Add(origin, TrackWords(track.entry) + ": " +
                                     (track.rawBlock ? "block" : "course") +
                                     " leads out of the pack folder through a link");
            return;
        }
        bytes = ReadWholeFile(path, kSourceFileLimit);
    } catch (const EngineError& e) {
        problems.Add(TrackWords(track.entry), e.what());
        return;
    }
    if (track.rawBlock) {
        if (bytes.size() != kTrackBlockSize) {
            problems.Add(origin, TrackWords(track.entry) +
                                     ": a raw course block is 2,016 bytes; "
                                     "this file has " +
                                     Thousands(bytes.size()));
            return;
        }
        std::copy(bytes.begin(), bytes.end(), track.record.block.begin());
        for (const std::string& problem : ValidateCourse(DecodeCourse(track.record.block))) {
            warnings.push_back(origin + ": " + TrackWords(track.entry) + ": " + problem);
        }
        return;
    }
    Problems courseProblems;
    Course course;
    try {
        course = CourseReader(origin, courseProblems).Read(ParseJson(bytes, origin));
    } catch (const EngineError& e) {
        problems.Add("", e.what());
        return;
    }
    if (!courseProblems.Empty()) {
        problems.Merge(courseProblems);
        return;
    }
    const auto invalid = ValidateCourse(course);
    for (const std::string& problem : invalid) {
        problems.Add(origin, TrackWords(track.entry) + ": " + problem);
    }
    if (invalid.empty()) {
        course.flag = 1;  // it passes every rule the game's editor keeps
        course.checksum = CourseChecksum(course);
    }
    track.record.block = EncodeCourse(course);
}

}  // namespace

std::string FormatFloat(float value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

Course ParseCourseSource(std::string_view text, const std::string& origin) {
    Problems problems;
    const Course course = CourseReader(origin, problems).Read(ParseJson(text, origin));
    if (!problems.Empty()) {
        problems.Throw();
    }
    return course;
}

std::optional<std::string> WriteCourseSource(const Course& course) {
    const std::string_view venue = VenueName(course.venue);
    const std::string_view skybox = SkyboxName(course.skybox);
    if (venue.empty() || course.venue >= kCourseVenues || skybox.empty() ||
        course.count < kCourseMinPoints || course.count > int(kCourseMaxPoints)) {
        return std::nullopt;
    }
    // What a compiled text always holds: a block without it cannot come back from any text,
    // and is told apart here without writing and compiling one.
    if (course.creator != kCourseCreator || course.flag != 1 ||
        course.checksum != CourseChecksum(course)) {
        return std::nullopt;
    }
    std::string text = "{\n  \"venue\": \"" + std::string(venue) + "\",\n  \"skybox\": \"" +
                       std::string(skybox) + "\",\n";
    if (course.music != 0) {
        text += "  \"music\": " + std::to_string(course.music) + ",\n";
    }
    const std::string fileName(course.fileName.data(),
                               std::find(course.fileName.begin(), course.fileName.end(), '\0'));
    if (!fileName.empty()) {
        text += "  \"file_name\": " + json(Latin1ToUtf8(fileName)).dump() + ",\n";
    }
    text += "  \"points\": [\n";
    const std::size_t n = course.PointsInUse();
    for (std::size_t i = 0; i < n; ++i) {
        const ControlPoint& p = course.points[i];
        const Shape shape = InfoShape(p.info);
        text += "    {\"x\": " + FormatFloat(p.x) + ", \"y\": " + FormatFloat(p.y) +
                ", \"z\": " + FormatFloat(p.z) + ", \"left\": " + std::to_string(p.left) +
                ", \"right\": " + std::to_string(p.right) +
                ", \"bank\": " + std::to_string(course.bank[i]) + ", \"shape\": \"" +
                std::string(ShapeName(shape)) + "\"";
        if (shape != Shape::Air) {
            text += ", \"style\": " + std::to_string(InfoStyle(p.info));
        }
        for (std::size_t f = 0; f < kFeatureCount; ++f) {
            const auto feature = static_cast<Feature>(f);
            const int value = course.Feat(feature, i);
            if (value == kFeatureNone) {
                continue;
            }
            const std::string_view name = FeatureValueName(feature, value);
            if (name.empty()) {
                return std::nullopt;
            }
            text +=
                ", \"" + std::string(FeatureName(feature)) + "\": \"" + std::string(name) + "\"";
        }
        text += i + 1 < n ? "},\n" : "}\n";
    }
    text += "  ]\n}\n";
    // The text must say everything the block holds: compile it back and compare.
    try {
        Course back = ParseCourseSource(text, "course");
        back.flag = 1;  // as the compiler sets it for a valid course
        if (EncodeCourse(back) != EncodeCourse(course)) {
            return std::nullopt;
        }
    } catch (const EngineError&) {
        return std::nullopt;
    }
    return text;
}

PackSource LoadPackSource(const fs::path& dir) {
    const fs::path packPath = dir / kPackFileName;
    const std::string origin = PathText(packPath);
    const json root = ParseJson(ReadWholeFile(packPath, kSourceFileLimit), origin);
    Problems problems;
    PackSource pack;
    pack.files.push_back(packPath);
    if (!root.is_object() || !root.contains("tracks") || !root["tracks"].is_array()) {
        problems.Add(origin, "the pack must be a JSON object with a \"tracks\" list");
        problems.Throw();
    }
    CheckKeys(root, {"tracks"}, origin, problems);
    const json& list = root["tracks"];
    if (list.size() != kTrackCount) {
        problems.Add(origin, "the pack has " + std::to_string(list.size()) +
                                 " tracks; it must have exactly 24");
    }
    std::array<std::optional<std::size_t>, kTrackCount> seenAt;
    const fs::path resolvedDir = ResolveLinks(dir);
    bool everyTrackRead = true;  // else an entry that seems missing may be the one that failed
    for (std::size_t i = 0; i < list.size(); ++i) {
        const std::string where = origin + ": tracks[" + std::to_string(i) + "]";
        TrackFields fields = ReadTrack(list[i], where, problems, pack.warnings);
        if (!fields.complete || fields.track.entry == 0) {
            everyTrackRead = false;
            continue;
        }
        auto& first = seenAt[static_cast<std::size_t>(fields.track.entry - 1)];
        if (first) {
            problems.Add(where, "entry " + std::to_string(fields.track.entry) +
                                    " is already used by tracks[" + std::to_string(*first) + "]");
            continue;
        }
        first = i;
        LoadCourse(dir, resolvedDir, fields.track, problems, pack.warnings);
        pack.files.push_back(dir / PathFromText(fields.track.courseFile));
        pack.tracks[static_cast<std::size_t>(fields.track.entry - 1)] = std::move(fields.track);
    }
    if (list.size() == kTrackCount && everyTrackRead) {
        for (int entry = 1; entry <= kTrackCount; ++entry) {
            if (!seenAt[static_cast<std::size_t>(entry - 1)]) {
                problems.Add(origin, "entry " + std::to_string(entry) + " is missing");
            }
        }
    }
    if (problems.Empty()) {
        CheckPools(pack, origin, problems);
    }
    if (!problems.Empty()) {
        problems.Throw();
    }
    return pack;
}

std::vector<std::vector<std::uint8_t>> CompilePack(const PackSource& pack) {
    std::vector<std::vector<std::uint8_t>> records;
    for (const PackTrack& track : pack.tracks) {
        records.push_back(SaveDat(track.record));
    }
    return records;
}

std::vector<std::uint8_t> BuildPackContainer(std::span<const std::uint8_t> updater,
                                             const PackSource& pack) {
    std::vector<std::vector<std::uint8_t>> entries;
    entries.emplace_back(updater.begin(), updater.end());
    for (auto& record : CompilePack(pack)) {
        entries.push_back(std::move(record));
    }
    return PackContainer(entries);
}

int WritePackSource(const fs::path& dir,
                    const std::array<TrackRecord, kTrackCount>& tracksInTrackOrder) {
    CreateDirectories(dir);
    const fs::path packPath = dir / kPackFileName;
    if (PathExists(packPath)) {
        throw EngineError("cannot write a pack source into " + PathText(dir) +
                          ": it already "
                          "holds " +
                          std::string(kPackFileName));
    }
    json tracks = json::array();
    int raw = 0;
    for (int entry = 1; entry <= kTrackCount; ++entry) {
        const TrackRecord& record = tracksInTrackOrder[std::size_t(TrackOfEntry(entry) - 1)];
        char stem[16];
        std::snprintf(stem, sizeof stem, "%02d", entry);
        const Course course = DecodeCourse(record.block);
        std::optional<std::string> text;
        if (ValidateCourse(course).empty()) {
            text = WriteCourseSource(course);
        }
        json params = json::array();
        for (const auto& [code, value] : record.params) {
            params.push_back({code, std::stod(FormatFloat(value))});
        }
        json track = {{"entry", entry},
                      {"name", Latin1ToUtf8(record.name)},
                      {"subtitle", Latin1ToUtf8(record.subtitle)},
                      {"attribute", record.attribute},
                      {"params", params}};
        if (text) {
            const std::string file = "courses/" + std::string(stem) + ".json";
            CreateDirectories(dir / "courses");
            WriteNewFile(
                dir / PathFromText(file),
                std::span(reinterpret_cast<const std::uint8_t*>(text->data()), text->size()));
            track["course"] = file;
        } else {
            const std::string file = "blocks/" + std::string(stem) + ".bin";
            CreateDirectories(dir / "blocks");
            WriteNewFile(dir / PathFromText(file), record.block);
            track["block"] = file;
            ++raw;
        }
        tracks.push_back(track);
    }
    const std::string text = json{{"tracks", tracks}}.dump(2) + "\n";
    WriteNewFile(packPath,
                 std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    // What was written must build the same records again.
    const PackSource back = LoadPackSource(dir);
    for (int entry = 1; entry <= kTrackCount; ++entry) {
        const TrackRecord& record = tracksInTrackOrder[std::size_t(TrackOfEntry(entry) - 1)];
        if (SaveDat(back.tracks[std::size_t(entry - 1)].record) != SaveDat(record)) {
            throw EngineError("the pack source written to " + PathText(dir) + " does not give " +
                              TrackWords(entry) + " back as it was");
        }
    }
    return raw;
}

}  // namespace tflux
