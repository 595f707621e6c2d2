#include "cli/pack_commands.h"

#include <cmath>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <ostream>

#include "course/course.h"
#include "pack/load_payload.h"
#include "pack/pack_source.h"
#include "pack/track_summary.h"
#include "payload/builtin_payload.h"
#include "payload/container.h"
#include "rom/errors.h"
#include "rom/file.h"
#include "rom/text.h"
#include "romtables/image_tracks.h"

#ifdef TFLUX_COURSE_MAPS
#include "cli/maps_module.h"
#endif

namespace tflux::cli {

namespace {

namespace fs = std::filesystem;

std::string Track(int track) {
    return "track " + std::to_string(track);
}

nlohmann::json CourseJson(const Course& course, const CourseFigures& figures,
                          const std::vector<std::string>& problems) {
    nlohmann::json shapes = nlohmann::json::object();
    for (int s = 0; s < kShapeCount; ++s) {
        if (figures.segmentsByShape[std::size_t(s)] != 0) {
            shapes[std::string(ShapeName(static_cast<Shape>(s)))] =
                figures.segmentsByShape[std::size_t(s)];
        }
    }
    nlohmann::json features = nlohmann::json::object();
    for (std::size_t f = 0; f < kFeatureCount; ++f) {
        if (figures.segmentsByFeature[f] != 0) {
            features[std::string(FeatureName(static_cast<Feature>(f)))] =
                figures.segmentsByFeature[f];
        }
    }
    const std::string_view venue = VenueName(course.venue);
    const std::string_view skybox = SkyboxName(course.skybox);
    return {{"valid", problems.empty()},
            {"problems", problems},
            {"checksum", CourseChecksum(course)},
            {"stored_checksum", course.checksum},
            {"points", course.count},
            {"venue", venue.empty() ? nlohmann::json(course.venue) : nlohmann::json(venue)},
            {"skybox", skybox.empty() ? nlohmann::json(course.skybox) : nlohmann::json(skybox)},
            {"length", std::round(figures.length * 10) / 10},
            {"slices", figures.slices},
            {"shapes", shapes},
            {"features", features}};
}

}  // namespace

LoadedPayload LoadPayloadFrom(const std::optional<std::string>& payloadFile, Streams io) {
    LoadedPayload loaded = ::tflux::LoadPayload(
        payloadFile ? std::optional(PathFromText(*payloadFile)) : std::nullopt);
    for (const std::string& warning : loaded.warnings) {
        io.err << "tflux-krn-cli: warning: " << warning << '\n';
    }
    if (loaded.kind == PayloadKind::Container) {
        CheckContainer(loaded.container, *payloadFile);
    }
    return loaded;
}

std::vector<std::uint8_t> LoadPayload(const std::optional<std::string>& payloadFile, Streams io) {
    return std::move(LoadPayloadFrom(payloadFile, io).container);
}

void CheckContainer(std::span<const std::uint8_t> container, const std::string& file) {
    try {
        LocatePayloadEntries(container, container.size());
    } catch (const EngineError& e) {
        throw file.empty() ? e : e.Within(file + ": ");
    }
}

int PayloadList(const std::optional<std::string>& payloadFile, bool json, Streams io) {
    return Presenting(io, [&] {
        const std::vector<std::uint8_t> payload = LoadPayload(payloadFile, io);
        nlohmann::json doc = nlohmann::json::array();
        for (const PackEntry& t : ReadPackTracks(payload)) {
            const TrackRecord& r = t.record;
            const TrackSummary summary = SummarizeTrack(t);
            if (json) {
                nlohmann::json params = nlohmann::json::array();
                for (const auto& [code, value] : r.params) {
                    params.push_back({{"code", code}, {"value", value}});
                }
                doc.push_back(
                    {{"track", t.track},
                     {"name", summary.name},
                     {"subtitle", summary.subtitle},
                     {"attribute", r.attribute},
                     {"params", params},
                     {"course", CourseJson(t.course, summary.figures, summary.problems)}});
                continue;
            }
            io.out << t.track << "\t" << summary.name << "\t" << summary.subtitle << "\tattr=0x"
                   << std::hex << static_cast<int>(r.attribute) << std::dec << "\tparams=";
            for (std::size_t k = 0; k < r.params.size(); ++k) {
                io.out << (k == 0 ? "" : ",") << static_cast<int>(r.params[k].first) << ":"
                       << FormatFloat(r.params[k].second);
            }
            io.out << "\n\t" << summary.venue << ", " << summary.points << " points, length "
                   << Thousands(summary.length) << "; shapes: " << summary.shapes
                   << "; features: " << summary.features << "; "
                   << VerdictText(summary.problems.size()) << '\n';
        }
        if (json) {
            io.out << nlohmann::json{{"tracks", doc}}.dump(2) << '\n';
        }
        return kExitOk;
    });
}

int PayloadCheck(const std::optional<std::string>& payloadFile, Streams io) {
    return Presenting(io, [&] {
        const std::vector<std::uint8_t> payload = LoadPayload(payloadFile, io);
        int invalid = 0;
        for (const PackEntry& t : ReadPackTracks(payload)) {
            const auto problems = ValidateCourse(t.course);
            for (const std::string& problem : problems) {
                io.out << Track(t.track) << ": " << problem << '\n';
            }
            invalid += problems.empty() ? 0 : 1;
        }
        io.out << (invalid == 0 ? "All 24 courses are valid."
                                : std::to_string(invalid) + " of the 24 courses are not valid.")
               << '\n';
        return invalid == 0 ? kExitOk : kExitRefused;
    });
}

#ifdef TFLUX_COURSE_MAPS
int PayloadMap(const std::optional<std::string>& payloadFile, std::optional<int> track,
               const std::string& out, Streams io) {
    return Writing(out, io, [&] {
        if (track && (*track < 1 || *track > kTrackCount)) {
            io.err << "tflux-krn-cli: there is no track " << *track << "; tracks are 1 to 24\n";
            return kExitUsage;
        }
        const LoadedPayload payload = LoadPayloadFrom(payloadFile, io);
        const std::vector<PackEntry> tracks = ReadPackTracks(payload.container);
        auto fileFor = [](int number) {
            char name[16];
            std::snprintf(name, sizeof name, "%02d.png", number);
            return std::string(name);
        };
        if (track) {
            const fs::path target =
                Examine(out) == FileKind::Folder ? fs::path(out) / fileFor(*track) : fs::path(out);
            if (const auto refused =
                    RefuseOutput(PathText(target), OutputShape::File, payload.files, false, io)) {
                return *refused;
            }
            DrawMaps(std::span(tracks).subspan(std::size_t(*track - 1), 1), std::span(&target, 1));
            io.out << "Drew track " << *track << " to " << PathText(target) << '\n';
            return kExitOk;
        }
        if (const auto refused = RefuseOutput(out, OutputShape::Folder, {}, false, io)) {
            return *refused;
        }
        WriteFolderWhole(out, [&](const fs::path& folder) {
            std::vector<fs::path> pngs;
            for (const PackEntry& t : tracks) {
                pngs.push_back(folder / fileFor(t.track));
            }
            DrawMaps(tracks, pngs, folder / "overview.png");
        });
        io.out << "Drew the 24 tracks and overview.png into " << out << '\n';
        return kExitOk;
    });
}
#endif

int PayloadFromImage(const std::string& image, const std::string& dir, Streams io) {
    return Writing(dir, io, [&] {
        if (const auto refused = RefuseOutput(dir, OutputShape::Folder, {}, false, io)) {
            return *refused;
        }
        const auto tracks = ReadImageTracks(image);
        int raw = 0;
        WriteFolderWhole(PathFromText(dir),
                         [&](const fs::path& folder) { raw = WritePackSource(folder, tracks); });
        io.out << "Wrote the 24 tracks of " << image << " into " << dir << " (" << kTrackCount - raw
               << " readable courses, " << raw << " raw blocks)\n";
        return kExitOk;
    });
}

int PayloadBuild(const std::string& sourceDir, const std::string& output, bool force, Streams io) {
    return Writing(output, io, [&] {
        const PackSource pack = LoadPackSource(PathFromText(sourceDir));
        for (const std::string& warning : pack.warnings) {
            io.err << "tflux-krn-cli: warning: " << warning << '\n';
        }
        if (const auto refused = RefuseOutput(output, OutputShape::File, pack.files, force, io)) {
            return *refused;
        }
        // This program's own checksum updater goes with the tracks, as in the built-in payload.
        const std::vector<std::uint8_t> container = BuildPackWithOwnUpdater(pack);
        WriteFileWhole(PathFromText(output), container);
        const PoolUsage& u = pack.usage;
        io.out << "Built " << output << " (" << Thousands(container.size()) << " bytes): names "
               << u.nameBytes << "/" << kNamePoolBudget << " bytes, subtitles " << u.subtitleBytes
               << "/" << kSubtitlePoolBudget << " bytes, parameter entries " << u.paramEntries
               << "/" << kParamPoolEntries << '\n';
        return kExitOk;
    });
}

std::vector<std::string> InvalidCourseWarnings(std::span<const std::uint8_t> container) {
    try {
        return InvalidCourseLines(container);
    } catch (const EngineError&) {
        return {};  // the patch itself reports a damaged container
    }
}

}  // namespace tflux::cli
