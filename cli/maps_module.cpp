#include "cli/maps_module.h"

#include <dlfcn.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "map/maps_module.h"
#include "rom/errors.h"
#include "rom/text.h"

namespace tflux::cli {

namespace {

namespace fs = std::filesystem;

struct CloseModule {
    void operator()(void* module) const { ::dlclose(module); }
};
using Module = std::unique_ptr<void, CloseModule>;

// Where the build and an installation alike put it, relative to this program.
fs::path ModulePath() {
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (error) {
        throw std::runtime_error("cannot find the course maps: cannot read /proc/self/exe: " +
                                 error.message());
    }
    return (self.parent_path() / TFLUX_MAPS_MODULE).lexically_normal();
}

template <typename Function>
Function Find(void* module, const char* name) {
    return reinterpret_cast<Function>(::dlsym(module, name));
}

// What the module said of its failure, to be thrown on this side.
struct Failure {
    std::optional<EngineError> engine;
    std::string other;
};

void Remember(void* context, int engine, const char* message, const char* operation,
              const char* path, int code) {
    auto& failure = *static_cast<Failure*>(context);
    try {
        if (engine != 0) {
            failure.engine.emplace(
                message, operation, path,
                code != 0 ? std::error_code(code, std::generic_category()) : std::error_code());
        } else {
            failure.other = message;
        }
    } catch (...) {
        failure.engine.reset();  // no memory for the reason: the caller says so
    }
}

}  // namespace

void DrawMaps(std::span<const PackEntry> tracks, std::span<const fs::path> pngs,
              const fs::path& overview) {
    if (pngs.size() != tracks.size()) {
        throw EngineError("cannot draw " + std::to_string(tracks.size()) + " maps into " +
                          std::to_string(pngs.size()) + " files");
    }
    const fs::path path = ModulePath();
    const Module module(::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
    if (!module) {
        throw std::runtime_error(std::string("cannot load the course maps: ") + ::dlerror());
    }
    const auto build = Find<TfluxKrnMapsBuild>(module.get(), "tflux_krn_maps_build");
    const auto draw = Find<TfluxKrnDrawCourseMaps>(module.get(), "tflux_krn_draw_course_maps");
    if (build == nullptr || draw == nullptr || std::string(build()) != TFLUX_MAPS_BUILD) {
        throw std::runtime_error("cannot load the course maps: " + PathText(path) +
                                 " is not the one built with this program");
    }
    std::vector<TfluxKrnMapTrack> given;
    for (const PackEntry& t : tracks) {
        const TrackRecord& r = t.record;
        given.push_back({t.track, r.name.data(), r.name.size(), r.block.data(), r.block.size()});
    }
    std::vector<std::string> files;
    std::vector<const char*> names;
    files.reserve(pngs.size());
    for (const fs::path& png : pngs) {
        names.push_back(files.emplace_back(png.string()).c_str());
    }
    const std::string sheet = overview.string();
    Failure failure;
    if (draw(given.data(), given.size(), names.data(), overview.empty() ? nullptr : sheet.c_str(),
             Remember, &failure) != 0) {
        if (failure.engine) {
            throw *failure.engine;
        }
        throw std::runtime_error(failure.other.empty() ? "the maps failed for a reason now lost"
                                                       : failure.other);
    }
}

}  // namespace tflux::cli
