#pragma once

// The fuzz harnesses: one entry function per parser of untrusted bytes. The fuzzers call them
// from LLVMFuzzerTestOneInput and the regular test suite replays kept inputs through them, so
// a finding stays fixed. A harness lets the engine's own EngineError through as a refusal; any
// other way out (a broken property, another exception, a sanitizer report) is a finding.

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace tflux::fuzz {

// How far an input got: refused by the parser, or accepted and checked all the way.
enum class Outcome { Refused, Accepted };

using Bytes = std::vector<std::uint8_t>;
using Input = std::span<const std::uint8_t>;

// A property the engine must keep did not hold.
class FuzzFailure : public std::logic_error {
  public:
    using std::logic_error::logic_error;
};

// The container: magic search, entry table and lengths, in memory for a file of exactly the
// input, one the input is only the head of and one shorter than the input, then unpacked from a
// file and extracted from memory into a scratch folder, every file compared with its entry.
Outcome FuzzContainer(Input data);

// A track record, in memory and read from a file holding the input. An input of at least
// 2,112 bytes ends in three that choose the track (0..25, of which 0 and 25 do not exist), the
// region (E, J, P, X) and the record's position in the file (0..255, 1-based); a shorter one is
// track 1 of a North American image at position 1.
Outcome FuzzTrackRecord(Input data);

// The four table readers on an image whose table areas come from the input (layout below),
// then the tables as read written back and read again.
Outcome FuzzTables(Input data);

// Identification of a file that holds the input's bytes from byte 1 on. Byte 0 chooses the
// file's size: 0 the bytes alone, 1 the image size, 2 one byte less, 3 one byte more. An
// accepted image has its tables read.
Outcome FuzzIdentify(Input data);

// Byte order detection and conversion, and boot-code detection, on the first bytes of an image
// (accepted: long enough to hold a boot code).
Outcome FuzzChecksum(Input data);

// The checksum tool's update in place on a whole image file built from the input (layout
// below); always accepted when it passes.
Outcome FuzzChecksumUpdate(Input data);

// A course block from the input (cut to 2,016 bytes or padded with zeros): it encodes back to
// the same bytes, the checksum, validator and figures finish on it, and its readable text, when
// it has one, compiles back to the same block. Accepted: a valid course.
Outcome FuzzCourse(Input data);

// A readable course compiled from the input as text: a refusal is an EngineError; a compiled
// course round-trips through its block and its own text, and the validator runs on it.
Outcome FuzzPackSource(Input data);

struct Harness {
    const char* name;  // also the fuzzer's name (fuzz_<name>) and its folder of kept inputs
    Outcome (*run)(Input);
};

// Every harness.
std::span<const Harness> Harnesses();

// ---- input layouts that the seed generator builds ----

// Tables: byte 0 = region (bits 0-1: E, J, P, or X for an unknown code) | 4 (V64) | 8 (cut the
// file short); bytes 1-2 = where to cut (big-endian: area = value % 7, bytes into it = value / 7);
// then the seven areas in this order, zero where the input runs out: name pointers, name pool,
// subtitle pointers, subtitle pool, parameter pointers, parameter pool, attributes.
inline constexpr std::size_t kTablesHeader = 3;
inline constexpr std::uint8_t kTablesV64 = 4;
inline constexpr std::uint8_t kTablesCut = 8;
// The region's seven areas as file offset and size, in input order.
struct Area {
    std::uint32_t offset;
    std::uint32_t size;
};
std::vector<Area> TableAreas(char region);
inline constexpr char kTableRegions[4] = {'E', 'J', 'P', 'X'};

// Checksum update: byte 0 = order (bits 0-1: detect, Z64, V64, N64) | variant << 2 (bits 2-4:
// detect, 6101, 6102, 6103, 6105, 6106, detect, detect) | extra << 5 (bytes past the checksummed
// range); then the image's first bytes in its own order, repeated up to the range's end.

}  // namespace tflux::fuzz
