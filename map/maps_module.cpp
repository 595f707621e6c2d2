#include "map/maps_module.h"

#include <exception>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "course/course.h"
#include "map/course_map.h"
#include "rom/errors.h"

#define TFLUX_MAPS_EXPORT extern "C" __attribute__((visibility("default")))

TFLUX_MAPS_EXPORT const char* tflux_krn_maps_build(void) {
    return TFLUX_MAPS_BUILD;
}

TFLUX_MAPS_EXPORT int tflux_krn_draw_course_maps(const TfluxKrnMapTrack* tracks, std::size_t count,
                                                 const char* const* pngs, const char* overview,
                                                 TfluxKrnMapFailure failed, void* context) {
    namespace fs = std::filesystem;
    try {
        std::vector<tflux::map::MapTrack> maps;
        std::vector<fs::path> files;
        for (const TfluxKrnMapTrack& t : std::span(tracks, count)) {
            maps.push_back({t.track, std::string(t.name, t.nameSize),
                            tflux::DecodeCourse(std::span(t.block, t.blockSize))});
            files.emplace_back(pngs[files.size()]);
        }
        if (overview == nullptr && count == 1) {
            tflux::map::DrawCourseMap(maps[0], files[0]);
        } else {
            tflux::map::DrawCourseMaps(maps, files, overview ? fs::path(overview) : fs::path());
        }
        return 0;
    } catch (const tflux::EngineError& e) {
        failed(context, 1, e.what(), e.Operation().c_str(), e.Path().c_str(), e.Code().value());
    } catch (const std::exception& e) {
        failed(context, 0, e.what(), "", "", 0);
    } catch (...) {
        failed(context, 0, "the maps failed for an unknown reason", "", "", 0);
    }
    return 1;
}
