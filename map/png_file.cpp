#include "map/png_file.h"

#include <png.h>

#include <bit>
#include <csetjmp>
#include <cstring>
#include <new>
#include <string>

#include "rom/errors.h"
#include "rom/file.h"
#include "rom/text.h"

namespace tflux::map {

namespace {

// A map is flat colour: deflate finds a run of one colour three bytes back unfiltered, so no
// filter at all is both smaller and quicker than SUB or libpng's search over all five, and a
// fast level keeps the files within a few percent of level 6. A smaller hash table than
// zlib's default has less to shift each 32 KiB and hardly finds fewer matches.
constexpr int kFilter = PNG_FILTER_NONE;
constexpr int kCompressionLevel = 3;
constexpr int kMemLevel = 5;

// What libpng's callbacks share with the encoder. They throw nothing through libpng's C frames:
// a failure is noted here and raised as png_error, which jumps back to WriteRows.
struct Sink {
    std::vector<std::uint8_t>* bytes = nullptr;
    bool outOfMemory = false;
    char error[160] = {};
};

void OnError(png_structp png, png_const_charp message) {
    auto* sink = static_cast<Sink*>(png_get_error_ptr(png));
    std::strncpy(sink->error, message, sizeof sink->error - 1);
    png_longjmp(png, 1);
}

void OnWarning(png_structp, png_const_charp) {}

void OnWrite(png_structp png, png_bytep data, png_size_t length) {
    auto* sink = static_cast<Sink*>(png_get_io_ptr(png));
    try {
        sink->bytes->insert(sink->bytes->end(), data, data + length);
    } catch (const std::bad_alloc&) {
        sink->outOfMemory = true;
    }
    if (sink->outOfMemory) {
        png_error(png, "out of memory");
    }
}

void OnFlush(png_structp) {}

// The image's pixels, one 8-bit RGB row at a time through `row` (3 bytes a pixel). Every libpng
// error lands here, the only setjmp: nothing from here down has a destructor for the jump to
// skip. False after an error.
bool WriteRows(png_structp png, png_infop info, const unsigned char* pixels, int stride,
               png_uint_32 width, png_uint_32 height, std::uint8_t* row) {
    if (setjmp(png_jmpbuf(png))) {
        return false;
    }
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, kFilter);
    png_set_compression_level(png, kCompressionLevel);
    png_set_compression_mem_level(png, kMemLevel);
    png_write_info(png, info);
    for (png_uint_32 y = 0; y < height; ++y) {
        const unsigned char* in = pixels + std::ptrdiff_t(y) * stride;
        std::uint8_t* out = row;
        // RGB24 is a native-endian 32-bit word a pixel, its top byte unused. Each pixel is
        // stored as a whole word whose fourth byte the next pixel overwrites: `row` has one to
        // spare.
        for (png_uint_32 x = 0; x < width; ++x, in += 4, out += 3) {
            std::uint32_t pixel;
            std::memcpy(&pixel, in, 4);
            if constexpr (std::endian::native == std::endian::little) {
                pixel = __builtin_bswap32(pixel) >> 8;
            } else {
                pixel <<= 8;
            }
            std::memcpy(out, &pixel, 4);
        }
        png_write_row(png, row);
    }
    png_write_end(png, info);
    return true;
}

struct WriteStruct {
    png_structp png = nullptr;
    png_infop info = nullptr;

    ~WriteStruct() { png_destroy_write_struct(&png, &info); }
};

}  // namespace

std::vector<std::uint8_t> EncodePng(cairo_surface_t* surface) {
    if (const cairo_status_t status = cairo_surface_status(surface);
        status != CAIRO_STATUS_SUCCESS) {
        throw EngineError(cairo_status_to_string(status));
    }
    if (cairo_surface_get_type(surface) != CAIRO_SURFACE_TYPE_IMAGE ||
        cairo_image_surface_get_format(surface) != CAIRO_FORMAT_RGB24) {
        throw EngineError("the picture is not an RGB24 image");
    }
    cairo_surface_flush(surface);
    const int width = cairo_image_surface_get_width(surface);
    const int height = cairo_image_surface_get_height(surface);

    std::vector<std::uint8_t> bytes;
    Sink sink{&bytes};
    WriteStruct write;
    write.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &sink, OnError, OnWarning);
    if (write.png != nullptr) {
        write.info = png_create_info_struct(write.png);
    }
    if (write.info == nullptr) {
        throw EngineError("out of memory");
    }
    png_set_write_fn(write.png, &sink, OnWrite, OnFlush);
    // A compressed map is about a tenth of its pixels.
    bytes.reserve(std::size_t(width) * std::size_t(height) / 8);
    std::vector<std::uint8_t> row(std::size_t(width) * 3 + 1);
    if (!WriteRows(write.png, write.info, cairo_image_surface_get_data(surface),
                   cairo_image_surface_get_stride(surface), png_uint_32(width), png_uint_32(height),
                   row.data())) {
        throw EngineError(sink.error);
    }
    return bytes;
}

void WritePng(cairo_surface_t* surface, const std::filesystem::path& png) {
    std::vector<std::uint8_t> bytes;
    try {
        bytes = EncodePng(surface);
    } catch (const EngineError& e) {
        throw e.Within("cannot write " + PathText(png) + ": ");
    }
    WriteFileWhole(png, bytes);
}

}  // namespace tflux::map
