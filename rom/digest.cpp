#include "rom/digest.h"

#include <gcrypt.h>

#include <future>
#include <system_error>
#include <type_traits>
#include <vector>

#include "rom/byteorder.h"
#include "rom/errors.h"
#include "rom/text.h"

namespace tflux {

namespace {

constexpr std::array<int, 3> kAlgorithms = {GCRY_MD_CRC32, GCRY_MD_MD5, GCRY_MD_SHA1};

// libgcrypt must be told once, before any other call, that no secure memory is wanted: hashes
// of game images hold no secrets. A function-local static runs that exactly once.
void InitialiseLibrary() {
    static const bool ready = [] {
        if (gcry_check_version(GCRYPT_VERSION) == nullptr) {
            throw EngineError(std::string("libgcrypt is older than ") + GCRYPT_VERSION +
                              ", the version this program was built with");
        }
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        return true;
    }();
    (void)ready;
}

std::string Hex(const unsigned char* bytes, std::size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0xF];
    }
    return text;
}

}  // namespace

namespace {

// A libgcrypt context for some of the three hashes; each result lands in its own field.
class Hasher {
  public:
    explicit Hasher(std::span<const int> algorithms) : algorithms_(algorithms) {
        InitialiseLibrary();
        Check(gcry_md_open(&md_, 0, 0));
        for (const int algorithm : algorithms_) {
            Check(gcry_md_enable(md_, algorithm));
        }
    }
    ~Hasher() { gcry_md_close(md_); }
    Hasher(const Hasher&) = delete;
    Hasher& operator=(const Hasher&) = delete;

    void Update(std::span<const std::uint8_t> bytes) {
        gcry_md_write(md_, bytes.data(), bytes.size());
    }

    void Finish(ImageHashes& into) {
        gcry_md_final(md_);
        for (const int algorithm : algorithms_) {
            std::string hex = Hex(gcry_md_read(md_, algorithm), gcry_md_get_algo_dlen(algorithm));
            (algorithm == GCRY_MD_CRC32 ? into.crc32
             : algorithm == GCRY_MD_MD5 ? into.md5
                                        : into.sha1) = std::move(hex);
        }
    }

  private:
    static void Check(gcry_error_t error) {
        if (error != 0) {
            throw EngineError(std::string("cannot start the hashes: ") + gcry_strerror(error));
        }
    }

    std::span<const int> algorithms_;
    gcry_md_hd_t md_ = nullptr;
};

constexpr std::array<int, 1> kMd5Only = {GCRY_MD_MD5};
constexpr std::array<int, 2> kCrcAndSha1 = {GCRY_MD_CRC32, GCRY_MD_SHA1};

// Runs `work` on a second core while the caller goes on, or in the caller's thread where no
// thread can be started: the result is the same either way, only later.
template <typename Work>
std::future<void> Beside(Work work) {
    try {
        return std::async(std::launch::async, std::move(work));
    } catch (const std::system_error&) {
        return std::async(std::launch::deferred, std::move(work));
    }
}

// Large enough that a read costs little beside the hashing of what it brought, small enough
// that the slice stays in the cache while it is hashed.
constexpr std::size_t kSlice = 1u << 20;

// Reads the file a slice at a time into a buffer of its own and feeds `hasher`, each slice put
// into Z64 order first when the file is stored in another. Two of these run at once, one per
// core, each reading for itself, so neither waits for the other until both are done.
void HashSlices(const File& file, std::uint64_t size, Hasher& hasher, ImageOrder convertFrom) {
    std::vector<std::uint8_t> slice(kSlice);
    for (std::uint64_t offset = 0; offset < size; offset += kSlice) {
        const auto part = std::span(slice).first(std::min<std::uint64_t>(kSlice, size - offset));
        file.ReadAt(offset, part);
        ConvertBlock(part, offset, convertFrom);
        hasher.Update(part);
    }
}

}  // namespace

struct HashSet::Handle {
    Hasher all{kAlgorithms};
};

HashSet::HashSet() : handle_(std::make_unique<Handle>()) {}

HashSet::~HashSet() = default;

void HashSet::Update(std::span<const std::uint8_t> bytes) {
    handle_->all.Update(bytes);
}

ImageHashes HashSet::Finish() {
    ImageHashes hashes;
    handle_->all.Finish(hashes);
    return hashes;
}

ImageHashes HashBytes(std::span<const std::uint8_t> bytes) {
    HashSet hashes;
    hashes.Update(bytes);
    return hashes.Finish();
}

// MD5 costs more than the other two together, so a Z64 file gives it a core of its own; a file
// stored in another order has two forms to hash, one per core.
ImageDigests HashImageFile(const std::filesystem::path& path, ImageOrder order, IoHook* hook,
                           const File::Stamp* identified) {
    const File file = File::Open(path, OpenMode::Read, Links::Follow, hook);
    const File::Stamp stamp = file.Examine();
    const std::uint64_t size = stamp.size;
    const bool twoForms = order != ImageOrder::Z64;
    Hasher here(twoForms ? std::span<const int>(kAlgorithms) : kCrcAndSha1);
    Hasher beside(twoForms ? std::span<const int>(kAlgorithms) : kMd5Only);
    {
        std::future<void> done = Beside([&] { HashSlices(file, size, beside, ImageOrder::Z64); });
        HashSlices(file, size, here, order);
        done.get();
    }
    // Hashes of a file rewritten meanwhile, or of another than the one identified, would be
    // taken for those of the image named.
    try {
        file.ExpectUnchanged(stamp, identified == nullptr || *identified == stamp);
    } catch (const EngineError& e) {
        throw e.Within(PathText(path) + ": ");
    }
    ImageDigests digests;
    here.Finish(digests.z64);
    if (twoForms) {
        digests.stored.emplace();
        beside.Finish(*digests.stored);
    } else {
        beside.Finish(digests.z64);
    }
    return digests;
}

std::array<std::uint8_t, 16> Md5(std::span<const std::uint8_t> data) {
    InitialiseLibrary();
    std::array<std::uint8_t, 16> digest{};
    gcry_md_hash_buffer(GCRY_MD_MD5, digest.data(), data.data(), data.size());
    return digest;
}

}  // namespace tflux
