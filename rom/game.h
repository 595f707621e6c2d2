#pragma once

// What every layer knows about the game's image: its size, where its header keeps the internal
// name and the region letter, the two internal names this tool meets, its regions, how many
// tracks it has and what its track tables hold.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tflux {

// ---- the header ----

inline constexpr std::uint64_t kRomSize = 0x1000000;  // 16,777,216 bytes, always
inline constexpr std::uint64_t kInternalNameOffset = 0x20;
inline constexpr std::size_t kInternalNameSize = 20;
inline constexpr std::uint64_t kRegionOffsetZ64 = 0x3E;

// The three orders images are stored in: Z64, the cartridge's own (big-endian); V64, every
// pair of bytes swapped; N64, every 32-bit word little-endian (40 12 37 80).
enum class ImageOrder { Z64, V64, N64 };

// Where the byte at Z64 offset `z64` lies in a file stored in `order`: its pair's or its word's
// other end.
constexpr std::uint64_t StoredOffset(std::uint64_t z64, ImageOrder order) {
    switch (order) {
        case ImageOrder::V64:
            return z64 ^ 1;
        case ImageOrder::N64:
            return z64 ^ 3;
        case ImageOrder::Z64:
            break;
    }
    return z64;
}

inline constexpr std::array<ImageOrder, 3> kImageOrders = {ImageOrder::Z64, ImageOrder::V64,
                                                           ImageOrder::N64};

// "z64", "v64", "n64": the file endings and the command lines' word; the status line and the
// listings print the label, "Z64".
constexpr std::string_view OrderName(ImageOrder order) {
    constexpr std::array<std::string_view, kImageOrders.size()> names = {"z64", "v64", "n64"};
    return names[static_cast<std::size_t>(order)];
}
constexpr std::string_view OrderLabel(ImageOrder order) {
    constexpr std::array<std::string_view, kImageOrders.size()> labels = {"Z64", "V64", "N64"};
    return labels[static_cast<std::size_t>(order)];
}

constexpr std::uint64_t RegionOffset(ImageOrder order) {
    return StoredOffset(kRegionOffsetZ64, order);
}
inline constexpr std::uint64_t kRegionOffsetV64 = RegionOffset(ImageOrder::V64);

// ---- the internal names ----

// An internal name as its 20 bytes; view it with NameText.
using InternalName = std::array<char, kInternalNameSize>;

constexpr InternalName MakeName(std::string_view z64) {
    InternalName name{};
    for (std::size_t i = 0; i < name.size() && i < z64.size(); ++i) {
        name[i] = z64[i];
    }
    return name;
}

// The same name as a V64 image stores it.
constexpr InternalName PairSwapped(InternalName name) {
    for (std::size_t i = 0; i + 1 < name.size(); i += 2) {
        const char first = name[i];
        name[i] = name[i + 1];
        name[i + 1] = first;
    }
    return name;
}

// The same name as an N64 image stores it.
constexpr InternalName WordReversed(InternalName name) {
    static_assert(kInternalNameSize % 4 == 0);
    for (std::size_t i = 0; i < name.size(); i += 4) {
        InternalName word = name;
        for (std::size_t k = 0; k < 4; ++k) {
            name[i + k] = word[i + 3 - k];
        }
    }
    return name;
}

constexpr std::string_view NameText(const InternalName& name) {
    return std::string_view(name.data(), name.size());
}

// A name without the padding a header gives it: "T-FLUX X".
constexpr std::string_view TrimmedName(std::string_view name) {
    const std::size_t end = name.find_last_not_of(std::string_view(" \0", 2));
    return name.substr(0, end == std::string_view::npos ? 0 : end + 1);
}

// The released game's name, and the one the patch stamps so that a patched image is told apart
// from a bad dump.
inline constexpr InternalName kGameNameZ64 = MakeName("T-FLUX X            ");
inline constexpr InternalName kPatchedNameZ64 = MakeName("T-FLUX KRN          ");
inline constexpr InternalName kGameNameV64 = PairSwapped(kGameNameZ64);
inline constexpr InternalName kPatchedNameV64 = PairSwapped(kPatchedNameZ64);
inline constexpr InternalName kGameNameN64 = WordReversed(kGameNameZ64);
inline constexpr InternalName kPatchedNameN64 = WordReversed(kPatchedNameZ64);

// The name as an image stored in `order` holds it.
constexpr InternalName StoredName(const InternalName& z64, ImageOrder order) {
    switch (order) {
        case ImageOrder::V64:
            return PairSwapped(z64);
        case ImageOrder::N64:
            return WordReversed(z64);
        case ImageOrder::Z64:
            break;
    }
    return z64;
}

// ---- the regions ----

// The releases, in the order of the tables indexed by them.
enum class Region : std::uint8_t { E, J, P };
inline constexpr std::array<Region, 3> kRegions = {Region::E, Region::J, Region::P};

constexpr char RegionLetter(Region region) {
    constexpr std::array<char, kRegions.size()> letters = {'E', 'J', 'P'};
    return letters[static_cast<std::size_t>(region)];
}

constexpr std::size_t RegionIndex(Region region) {
    return static_cast<std::size_t>(region);
}

constexpr std::optional<Region> RegionFromLetter(char letter) {
    for (const Region region : kRegions) {
        if (RegionLetter(region) == letter) {
            return region;
        }
    }
    return std::nullopt;
}

// For RomState::RegionCode: one of "E", "J" and "P", or nullopt.
inline std::optional<Region> RegionFromCode(std::string_view code) {
    return code.size() == 1 ? RegionFromLetter(code[0]) : std::nullopt;
}

inline std::string RegionCodeOf(Region region) {
    return std::string(1, RegionLetter(region));
}

// ---- the tracks ----

inline constexpr int kTrackCount = 24;
inline constexpr std::size_t kTrackBlockSize = 2016;

// The shipped payload carries tracks 9 and 10 in each other's place; the exchange is its own
// inverse, so it also gives the entry of a track.
constexpr int TrackOfEntry(int entry) {
    return entry == 9 ? 10 : entry == 10 ? 9 : entry;
}

constexpr int EntryOfTrack(int track) {
    return TrackOfEntry(track);
}

// ---- the track tables ----

inline constexpr std::uint32_t kNamePointerCount = 31;               // the writer writes all 31
inline constexpr std::uint32_t kPointerTableSize = 4 * kTrackCount;  // big-endian pointers
inline constexpr std::uint32_t kNamePoolSize = 400;                  // in every release
// The name pool ends in a string "x" that the 31st name pointer refers to.
inline constexpr std::uint32_t kNameReservedTail = 2;
inline constexpr std::uint32_t kParamPoolSize = 800;
inline constexpr std::uint32_t kParamEntrySize = 8;

// What the tables can hold for all tracks together, counting each distinct name, subtitle or
// parameter set once. Subtitles are held to the smallest pool of the releases that keep them.
inline constexpr std::size_t kNamePoolBudget = kNamePoolSize - kNameReservedTail;
inline constexpr std::size_t kSubtitlePoolBudget = 368;
inline constexpr std::size_t kParamPoolEntries = kParamPoolSize / kParamEntrySize;

}  // namespace tflux
