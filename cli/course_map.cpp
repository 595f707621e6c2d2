#include "cli/course_map.h"

#include "rom/errors.h"

namespace tflux::map {

void DrawCourseMap(const MapTrack&, const std::filesystem::path&, int) {
    throw EngineError("course maps are not drawn yet");
}

void DrawOverviewSheet(std::span<const MapTrack>, const std::filesystem::path&) {
    throw EngineError("course maps are not drawn yet");
}

}  // namespace tflux::map
