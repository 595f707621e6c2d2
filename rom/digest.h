#pragma once

// The hashes players check a dump with: CRC32, MD5 and SHA-1, computed together in one pass
// over the bytes, by libgcrypt.

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "rom/file.h"
#include "rom/game.h"

namespace tflux {

// Lowercase hexadecimal, as the lists of known dumps print them.
struct ImageHashes {
    std::string crc32;
    std::string md5;
    std::string sha1;
    friend bool operator==(const ImageHashes&, const ImageHashes&) = default;
};

// Feeds the three hashes at once; Finish may be called once.
class HashSet {
  public:
    HashSet();
    ~HashSet();  // the handle is held by a pointer, so a HashSet is neither copied nor moved

    void Update(std::span<const std::uint8_t> bytes);
    ImageHashes Finish();

  private:
    struct Handle;
    std::unique_ptr<Handle> handle_;
};

ImageHashes HashBytes(std::span<const std::uint8_t> bytes);

// An image's hashes as the lists of known dumps give them, over its Z64 form, and, for an image
// stored in another order, those of the file as it is.
struct ImageDigests {
    ImageHashes z64;
    std::optional<ImageHashes> stored;
};

// Reads the file once, whole, through the file layer. Fails ("the input changed while it was
// read") when the file changes meanwhile, or is not as `identified` found it, when given.
ImageDigests HashImageFile(const std::filesystem::path& path, ImageOrder order,
                           IoHook* hook = nullptr, const File::Stamp* identified = nullptr);

// For recognising the console's boot code.
std::array<std::uint8_t, 16> Md5(std::span<const std::uint8_t> data);

}  // namespace tflux
