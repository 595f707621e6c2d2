#pragma once

// A small image file for the table tests. 1 MiB holds every table of every region; it is
// filled with non-zero bytes so that a byte a routine must not touch stays recognisable.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "rom/byteorder.h"
#include "rom/file.h"
#include "rom/rom_state.h"
#include "support/test_util.h"

namespace tflux::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes BE32Bytes(const std::vector<std::uint32_t>& values) {
    Bytes out;
    for (const std::uint32_t v : values) {
        out.insert(out.end(),
                   {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                    static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)});
    }
    return out;
}

inline Bytes Swapped(Bytes bytes) {
    SwapPairs(bytes, bytes.size());
    return bytes;
}

class TableImage {
  public:
    explicit TableImage(const std::string& region = "E", bool v64 = false)
        : path_(dir_ / "image.z64"), bytes_(0x100000) {
        for (std::size_t i = 0; i < bytes_.size(); ++i) {
            bytes_[i] = static_cast<std::uint8_t>((i * 37 + 11) % 255 + 1);
        }
        WriteBytes(path_, bytes_);
        state.RegionCode = region;
        state.IsByteSwapped = v64;
    }

    // Stores bytes given in Z64 order at an (even) offset, pair-swapped for a V64 image.
    void Place(std::uint32_t offset, Bytes data) {
        if (state.IsByteSwapped) {
            SwapPairs(data, data.size());
        }
        std::copy(data.begin(), data.end(), bytes_.begin() + offset);
        WriteBytes(path_, bytes_);
    }

    void OpenForRead() { state.RomFile = File::Open(path_, OpenMode::Read); }
    void OpenForWrite() { state.RomFile = File::Open(path_, OpenMode::Write); }

    const std::filesystem::path& Path() const { return path_; }

    // The file as it was before the last open.
    const Bytes& Before() const { return bytes_; }

    // Closes the file and returns its bytes, which become the next Before().
    Bytes Close() {
        state.RomFile.Close();
        bytes_ = ReadBytes(path_);
        return bytes_;
    }

    // Bytes of the current file in Z64 order (offset and n even).
    Bytes Read(std::uint32_t offset, std::size_t n) const {
        const Bytes all = ReadBytes(path_);
        Bytes out(all.begin() + offset, all.begin() + offset + static_cast<std::ptrdiff_t>(n));
        if (state.IsByteSwapped) {
            SwapPairs(out, out.size());
        }
        return out;
    }

    RomState state;

  private:
    ScratchDir dir_;
    std::filesystem::path path_;
    Bytes bytes_;
};

// Every byte outside the given [offset, offset + size) ranges is the same in both images.
inline void ExpectOnlyChanged(const Bytes& before, const Bytes& after,
                              const std::vector<std::pair<std::size_t, std::size_t>>& ranges) {
    ASSERT_EQ(before.size(), after.size());
    std::size_t differing = 0;
    for (std::size_t i = 0; i < before.size(); ++i) {
        bool inside = false;
        for (const auto& [offset, size] : ranges) {
            inside = inside || (i >= offset && i < offset + size);
        }
        if (!inside && before[i] != after[i]) {
            ++differing;
            ADD_FAILURE() << "byte at offset " << i << " changed";
            if (differing > 5) {
                return;
            }
        }
    }
}

}  // namespace tflux::test
