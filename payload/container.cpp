#include "payload/container.h"

#include <algorithm>
#include <limits>

#include "payload/track_record.h"
#include "rom/byteorder.h"
#include "rom/errors.h"
#include "rom/game.h"
#include "rom/text.h"

namespace tflux {

namespace fs = std::filesystem;

namespace {

constexpr std::array<std::uint8_t, 8> kMagic = {'Q', 'U', 'I', 'N', 'T', 'A', 'R', 'A'};
constexpr std::size_t kTableSize = 4 * kPayloadEntries;
// Entry 0's length field follows the magic and the table: position 109.
constexpr std::uint64_t kFirstEntryPosition = kMagic.size() + kTableSize + 1;
constexpr std::size_t kCopyChunk = 64 * 1024;

[[noreturn]] void Damaged(const std::string& what, const std::string& source) {
    throw EngineError("damaged payload: " + what + (source.empty() ? "" : " in " + source));
}

// The container as a whole: each entry the size its use allows, and no two sharing a byte, so
// that what is unpacked is never more than the container itself.
void CheckEntries(const std::array<PayloadEntry, kPayloadEntries>& entries,
                  const std::string& source) {
    for (int i = 0; i < kPayloadEntries; ++i) {
        const std::uint32_t length = entries[static_cast<std::size_t>(i)].length;
        if (i == 0 && length > kMaxUpdaterSize) {
            Damaged("entry 0 of " + std::to_string(length) + " bytes is larger than the " +
                        std::to_string(kMaxUpdaterSize) + " an updater may have",
                    source);
        }
        if (i > 0 && length != kTrackRecordSize) {
            Damaged("entry " + std::to_string(i) + " has " + std::to_string(length) +
                        " bytes; a track record has " + std::to_string(kTrackRecordSize),
                    source);
        }
    }
    std::array<int, kPayloadEntries> order{};
    for (int i = 0; i < kPayloadEntries; ++i) {
        order[static_cast<std::size_t>(i)] = i;
    }
    const auto at = [&entries](int i) { return entries[static_cast<std::size_t>(i)]; };
    std::sort(order.begin(), order.end(),
              [&](int a, int b) { return at(a).offset < at(b).offset; });
    for (std::size_t k = 1; k < order.size(); ++k) {
        const PayloadEntry before = at(order[k - 1]);
        // An entry starts with its 4-byte length field.
        if (before.offset + before.length > at(order[k]).offset - 4) {
            Damaged("entries " + std::to_string(order[k - 1]) + " and " + std::to_string(order[k]) +
                        " overlap",
                    source);
        }
    }
}

// Reader: void(std::uint64_t offset, std::span<std::uint8_t> out), reading exactly out.size()
// bytes. The caller has already checked that they lie inside the file.
template <class Reader>
std::array<PayloadEntry, kPayloadEntries> Locate(std::span<const std::uint8_t> head,
                                                 std::uint64_t fileSize, const Reader& read,
                                                 const std::string& source) {
    const std::size_t searched = static_cast<std::size_t>(
        std::min<std::uint64_t>({head.size(), kMagicSearchSize, fileSize}));
    const auto searchEnd = head.begin() + static_cast<std::ptrdiff_t>(searched);
    const auto found = std::search(head.begin(), searchEnd, kMagic.begin(), kMagic.end());
    if (found == searchEnd) {
        Damaged("no \"QUINTARA\" within the first " + std::to_string(kMagicSearchSize) + " bytes",
                source);
    }
    const auto magic = static_cast<std::uint64_t>(found - head.begin());
    const std::uint64_t tableOffset = magic + kMagic.size();
    if (fileSize - tableOffset < kTableSize) {
        Damaged("the entry table at offset " + std::to_string(tableOffset) +
                    " runs past the end of the file (" + std::to_string(fileSize) + " bytes)",
                source);
    }
    std::array<std::uint8_t, kTableSize> table{};
    read(tableOffset, std::span(table));

    std::array<PayloadEntry, kPayloadEntries> entries{};
    for (int i = 0; i < kPayloadEntries; ++i) {
        const std::string entry = "entry " + std::to_string(i);
        const std::int32_t value = GetLE32(table, 4 * static_cast<std::size_t>(i));
        if (value < 1) {
            Damaged(
                entry + " points to position " + std::to_string(value) + ", before the container",
                source);
        }
        // Table values count the magic's first byte as position 1.
        const std::uint64_t lengthOffset = magic + static_cast<std::uint64_t>(value) - 1;
        if (lengthOffset > fileSize || fileSize - lengthOffset < 4) {
            Damaged(entry + " points to position " + std::to_string(value) +
                        ", past the end of the file (" + std::to_string(fileSize) + " bytes)",
                    source);
        }
        std::array<std::uint8_t, 4> lengthField{};
        read(lengthOffset, std::span(lengthField));
        const std::int32_t length = GetLE32(lengthField, 0);
        if (length < 1) {
            Damaged(entry + " has length " + std::to_string(length), source);
        }
        const std::uint64_t contentOffset = lengthOffset + 4;
        if (fileSize - contentOffset < static_cast<std::uint64_t>(length)) {
            Damaged(entry + " of " + std::to_string(length) + " bytes at offset " +
                        std::to_string(contentOffset) + " runs past the end of the file (" +
                        std::to_string(fileSize) + " bytes)",
                    source);
        }
        entries[static_cast<std::size_t>(i)] = {contentOffset, static_cast<std::uint32_t>(length)};
    }
    CheckEntries(entries, source);
    return entries;
}

std::array<PayloadEntry, kPayloadEntries> LocateInFile(const File& file) {
    const std::uint64_t size = file.Size();
    std::vector<std::uint8_t> head(
        static_cast<std::size_t>(std::min<std::uint64_t>(size, kMagicSearchSize)));
    file.ReadAt(0, head);
    const auto read = [&file](std::uint64_t offset, std::span<std::uint8_t> out) {
        file.ReadAt(offset, out);
    };
    return Locate(head, size, read, PathText(file.Path()));
}

void CopyRange(const File& from, std::uint64_t fromOffset, File& to, std::uint64_t toOffset,
               std::uint64_t length) {
    std::vector<std::uint8_t> chunk(
        static_cast<std::size_t>(std::min<std::uint64_t>(length, kCopyChunk)));
    for (std::uint64_t done = 0; done < length;) {
        const auto n =
            static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), length - done));
        const auto part = std::span(chunk).first(n);
        from.ReadAt(fromOffset + done, part);
        to.WriteAt(toOffset + done, part);
        done += n;
    }
}

// Replaces whatever is at the entry's name in the folder with a new, empty file for its content.
File CreateEntryFileNamed(const Folder& dir, const std::string& name) {
    dir.Remove(name);
    return dir.OpenFile(name, OpenMode::CreateExclusive);
}

File CreateEntryFile(const Folder& dir, int entry) {
    return CreateEntryFileNamed(dir, PayloadEntryName(entry));
}

void FinishEntryFile(File& out, int entry) {
    if (entry == 0) {
        out.MakeExecutable();  // a working copy that can be run as it stands
    }
    out.Close();
}

}  // namespace

std::array<PayloadEntry, kPayloadEntries> LocatePayloadEntries(std::span<const std::uint8_t> head,
                                                               std::uint64_t fileSize) {
    const auto read = [head](std::uint64_t offset, std::span<std::uint8_t> out) {
        if (offset > head.size() || head.size() - offset < out.size()) {
            throw EngineError("payload field at offset " + std::to_string(offset) +
                              " lies beyond the " + Thousands(head.size()) + " bytes at hand");
        }
        std::copy_n(head.begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
    };
    return Locate(head, fileSize, read, std::string());
}

std::string PayloadEntryName(int entry) {
    if (entry < 0 || entry >= kPayloadEntries) {
        throw EngineError("there is no payload entry " + std::to_string(entry));
    }
    if (entry == 0) {
        return kUpdaterFileName;
    }
    return std::to_string(TrackOfEntry(entry)) + ".dat";
}

void UnpackPayload(const Folder& dir) {
    File container = dir.OpenFile(kPayloadFileName, OpenMode::Read);
    // Everything is checked before the first output file is touched.
    const auto entries = LocateInFile(container);
    for (int i = 0; i < kPayloadEntries; ++i) {
        const PayloadEntry& entry = entries[static_cast<std::size_t>(i)];
        File out = CreateEntryFile(dir, i);
        CopyRange(container, entry.offset, out, 0, entry.length);
        FinishEntryFile(out, i);
    }
    container.Close();
}

void UnpackPayload(const fs::path& dir, IoHook* hook) {
    UnpackPayload(Folder::Open(dir, hook));
}

void ExtractPayload(const Folder& dir, std::span<const std::uint8_t> container) {
    // A damaged container is refused before anything lands in the directory.
    const auto entries = LocatePayloadEntries(container, container.size());
    {
        // Made new, so that nothing left there, or held open by anybody, receives it.
        File file = CreateEntryFileNamed(dir, kPayloadFileName);
        file.WriteAt(0, container);
        file.Close();
    }
    // The carrier's bytes are the container just checked, so unpacking it would locate the
    // same entries again: they are written from the bytes at hand instead.
    for (int i = 0; i < kPayloadEntries; ++i) {
        const PayloadEntry& entry = entries[static_cast<std::size_t>(i)];
        File out = CreateEntryFile(dir, i);
        out.WriteAt(0, container.subspan(static_cast<std::size_t>(entry.offset), entry.length));
        FinishEntryFile(out, i);
    }
    dir.Remove(kPayloadFileName);
}

void ExtractPayload(const fs::path& dir, std::span<const std::uint8_t> container, IoHook* hook) {
    // Checked before the folder is even opened: a damaged container touches nothing.
    LocatePayloadEntries(container, container.size());
    ExtractPayload(Folder::Open(dir, hook), container);
}

std::vector<std::uint8_t> PackContainer(std::span<const std::vector<std::uint8_t>> entries) {
    if (entries.size() != kPayloadEntries) {
        throw EngineError("a container holds " + std::to_string(kPayloadEntries) +
                          " entries, not " + std::to_string(entries.size()));
    }
    std::vector<std::uint8_t> container(kMagic.begin(), kMagic.end());
    container.resize(kFirstEntryPosition - 1, 0);
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());
    for (int i = 0; i < kPayloadEntries; ++i) {
        const auto& entry = entries[static_cast<std::size_t>(i)];
        const std::uint64_t position = container.size() + 1;
        if (entry.empty() || entry.size() > kMax || position + entry.size() + 4 > kMax) {
            throw EngineError("entry " + Thousands(i) + " of " + Thousands(entry.size()) +
                              " bytes does not fit the container (1 byte up to 2 GiB in all)");
        }
        PutLE32(container, static_cast<std::int32_t>(position),
                kMagic.size() + 4 * static_cast<std::size_t>(i));
        std::array<std::uint8_t, 4> lengthField{};
        PutLE32(lengthField, static_cast<std::int32_t>(entry.size()), 0);
        container.insert(container.end(), lengthField.begin(), lengthField.end());
        container.insert(container.end(), entry.begin(), entry.end());
    }
    return container;
}

std::vector<fs::path> PackPayloadFiles(const fs::path& sourceDir) {
    const bool unpacked = PathExists(sourceDir / kUpdaterFileName);
    if (unpacked && PathExists(sourceDir / "0.dat")) {
        throw EngineError(PathText(sourceDir) + " holds both " + kUpdaterFileName +
                          " and 0.dat: it is not clear which folder layout it has");
    }
    std::vector<fs::path> files;
    for (int i = 0; i < kPayloadEntries; ++i) {
        files.push_back(sourceDir /
                        PathFromText(unpacked ? PayloadEntryName(i) : std::to_string(i) + ".dat"));
    }
    return files;
}

void PackPayload(std::span<const fs::path> files, const fs::path& output) {
    // Entries are at most a few hundred kilobytes; a larger file is not one of ours.
    constexpr std::size_t kMaxEntry = 64u << 20;
    std::vector<std::vector<std::uint8_t>> entries;
    for (const fs::path& file : files) {
        const std::string bytes = ReadWholeFile(file, kMaxEntry);
        entries.emplace_back(bytes.begin(), bytes.end());
    }
    WriteFileWhole(output, PackContainer(entries));
}

void PackPayload(const fs::path& sourceDir, const fs::path& output) {
    PackPayload(PackPayloadFiles(sourceDir), output);
}

}  // namespace tflux
