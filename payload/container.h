#pragma once

// The payload container: magic "QUINTARA", a table of 25 little-endian positions, then 25
// entries of a length and content. Entry 0 is the checksum updater, 1..24 the track records.

#include <array>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "rom/file.h"

namespace tflux {

inline constexpr int kPayloadEntries = 25;
inline constexpr std::size_t kMagicSearchSize = 10000;
inline constexpr const char* kPayloadFileName = "Quintara.dat";
inline constexpr const char* kUpdaterFileName = "0.dat.exe";
// The checksum updater is a small program; a larger entry 0 is not one.
inline constexpr std::uint32_t kMaxUpdaterSize = 16u << 20;

struct PayloadEntry {
    std::uint64_t offset = 0;  // of the content, in the file the container was found in
    std::uint32_t length = 0;
};

// Finds the container whose magic starts within the first 10,000 bytes of a file of
// `fileSize` bytes (`head` is the start of that file) and checks every entry against the
// file's end, each track record at 2,109 bytes, the updater at no more than kMaxUpdaterSize and
// no two entries overlapping, before anything is written. Throws EngineError for a damaged
// payload.
std::array<PayloadEntry, kPayloadEntries> LocatePayloadEntries(std::span<const std::uint8_t> head,
                                                               std::uint64_t fileSize);

// Name that entry i is unpacked to: "0.dat.exe", "1.dat", ...; entries 9 and 10 exchanged.
std::string PayloadEntryName(int entry);

// Splits dir/Quintara.dat into the 25 files in dir. Every file is made new (whatever was at its
// name removed first, never written through a link), through the folder's handle.
void UnpackPayload(const Folder& dir);
void UnpackPayload(const std::filesystem::path& dir, IoHook* hook = nullptr);

// Writes `container` to dir/Quintara.dat, unpacks it and removes Quintara.dat.
void ExtractPayload(const Folder& dir, std::span<const std::uint8_t> container);
void ExtractPayload(const std::filesystem::path& dir, std::span<const std::uint8_t> container,
                    IoHook* hook = nullptr);

// A container of the 25 entries, each at least one byte.
std::vector<std::uint8_t> PackContainer(std::span<const std::vector<std::uint8_t>> entries);

// The 25 files, in entry order, that a container is packed from: a folder that UnpackPayload
// wrote (0.dat.exe, and track numbers for names), or one of 0.dat .. 24.dat named by entry.
std::vector<std::filesystem::path> PackPayloadFiles(const std::filesystem::path& sourceDir);

// Builds a container at `output` from the 25 files of PackPayloadFiles.
void PackPayload(std::span<const std::filesystem::path> files, const std::filesystem::path& output);
void PackPayload(const std::filesystem::path& sourceDir, const std::filesystem::path& output);

// The private temporary directory, ending in the platform's separator. Creates it when
// missing; throws EngineError when it is a link, not a directory, owned by another user or open
// to others (see Folder::OpenPrivate).
std::string TempPath(IoHook* hook = nullptr);
// The same folder, held open, for a caller that works in it.
Folder TempFolder(IoHook* hook = nullptr);

}  // namespace tflux
