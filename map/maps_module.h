#pragma once

// The course maps as a module of their own, which the command-line program loads only when it
// draws: linked in, Cairo and the libraries it brings would be loaded by every command, a
// millisecond and 2.7 MiB of each patch. A C interface, so that neither side depends on how the
// other was built.

#include <cstddef>

extern "C" {

// One track: its number, its name (one byte a character) and its course block.
struct TfluxKrnMapTrack {
    int track;
    const char* name;
    std::size_t nameSize;
    const unsigned char* block;
    std::size_t blockSize;
};

// Told once when drawing failed. `engine` is 1 for the engine's own errors, whose operation,
// path and errno (`code`, 0 for none) are given as the error held them; 0 for any other.
typedef void (*TfluxKrnMapFailure)(void* context, int engine, const char* message,
                                   const char* operation, const char* path, int code);

// The build the module comes from; the program refuses a module of another.
const char* tflux_krn_maps_build(void);

// Draws tracks[k] to pngs[k] and, unless `overview` is null, the sheet of them all. 0 when every
// picture was written; otherwise `failed` has been told why.
int tflux_krn_draw_course_maps(const TfluxKrnMapTrack* tracks, std::size_t count,
                               const char* const* pngs, const char* overview,
                               TfluxKrnMapFailure failed, void* context);

typedef decltype(&tflux_krn_maps_build) TfluxKrnMapsBuild;
typedef decltype(&tflux_krn_draw_course_maps) TfluxKrnDrawCourseMaps;
}
