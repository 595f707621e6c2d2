#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "payload/container.h"
#include "payload/track_record.h"
#include "rom/byteorder.h"
#include "rom/errors.h"
#include "rom/text.h"
#include "support/test_util.h"

namespace tflux {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using test::ReadBytes;
using test::ScratchDir;
using test::WriteBytes;

// 25 entries of different contents, the track records at their one size; entry 0 spans several
// copy chunks.
std::vector<Bytes> MakeEntries(int seed) {
    std::vector<Bytes> entries;
    for (int i = 0; i < kPayloadEntries; ++i) {
        const std::size_t length = i == 0 ? 150000 : kTrackRecordSize;
        Bytes content(length);
        for (std::size_t k = 0; k < length; ++k) {
            content[k] = static_cast<std::uint8_t>(k * (i + 3) + seed * 17 + i);
        }
        entries.push_back(std::move(content));
    }
    return entries;
}

Bytes Pack(const std::vector<Bytes>& entries) {
    ScratchDir source;
    for (int i = 0; i < kPayloadEntries; ++i) {
        WriteBytes(source / (std::to_string(i) + ".dat"), entries[static_cast<std::size_t>(i)]);
    }
    PackPayload(source.path(), source / "out.bin");
    return ReadBytes(source / "out.bin");
}

std::set<std::string> Listing(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) {
        names.insert(e.path().filename().string());
    }
    return names;
}

// The files a container unpacks to, by the names the tracks are read from.
std::set<std::string> UnpackedNames() {
    std::set<std::string> names{"0.dat.exe"};
    for (int t = 1; t <= 24; ++t) {
        names.insert(std::to_string(t) + ".dat");
    }
    return names;
}

void ExpectUnpacked(const fs::path& dir, const std::vector<Bytes>& entries) {
    EXPECT_EQ(Listing(dir), UnpackedNames());
    EXPECT_EQ(ReadBytes(dir / "0.dat.exe"), entries[0]);
    for (int t = 1; t <= 24; ++t) {
        const int entry = t == 9 ? 10 : t == 10 ? 9 : t;
        EXPECT_EQ(ReadBytes(dir / (std::to_string(t) + ".dat")),
                  entries[static_cast<std::size_t>(entry)])
            << "track file " << t;
    }
}

// Nothing was created or written through the hook.
bool WroteNothing(const test::FaultHook& hook) {
    return hook.PathsOf({IoOp::Create, IoOp::Write}).empty();
}

// Fails the removal of the container file.
void FailRemovingTheCarrier(test::FaultHook& hook) {
    hook.FailOps({IoOp::Remove}).FailIf([](const fs::path& path) {
        return path.filename() == "Quintara.dat";
    });
}

class ContainerTest : public ::testing::Test {
  protected:
    std::vector<Bytes> entries = MakeEntries(1);
    Bytes container = Pack(entries);
    ScratchDir dir;
};

TEST_F(ContainerTest, PackedLayout) {
    ASSERT_GE(container.size(), 108u);
    EXPECT_EQ(std::string(container.begin(), container.begin() + 8), "QUINTARA");
    std::uint64_t expectedPosition = 109;
    for (int i = 0; i < kPayloadEntries; ++i) {
        const Bytes& entry = entries[static_cast<std::size_t>(i)];
        const auto position = GetLE32(container, 8 + 4 * static_cast<std::size_t>(i));
        ASSERT_EQ(static_cast<std::uint64_t>(position), expectedPosition) << "entry " << i;
        const auto at = static_cast<std::size_t>(position - 1);
        EXPECT_EQ(GetLE32(container, at), static_cast<std::int32_t>(entry.size()));
        EXPECT_TRUE(std::equal(entry.begin(), entry.end(), container.begin() + at + 4));
        expectedPosition += entry.size() + 4;
    }
    EXPECT_EQ(container.size(), expectedPosition - 1);  // nothing follows entry 24
}

TEST_F(ContainerTest, ExtractExchanges9And10AndCleansUp) {
    ExtractPayload(dir.path(), container);
    ExpectUnpacked(dir.path(), entries);  // Quintara.dat is gone
    const auto perms = fs::status(dir / "0.dat.exe").permissions();
    EXPECT_NE(perms & fs::perms::owner_exec, fs::perms::none);
    EXPECT_EQ(fs::status(dir / "1.dat").permissions() & fs::perms::owner_exec, fs::perms::none);
}

TEST_F(ContainerTest, ContainerInsideALargerFile) {
    Bytes carrier(9300);  // magic at position 9,301, as in the control's storage
    for (std::size_t k = 0; k < carrier.size(); ++k) {
        carrier[k] = static_cast<std::uint8_t>("QUINTARQUINTAR"[k % 14]);  // near misses
    }
    carrier.insert(carrier.end(), container.begin(), container.end());
    carrier.insert(carrier.end(), 5000, 0xC3);

    const auto bare = LocatePayloadEntries(container, container.size());
    const auto inside = LocatePayloadEntries(carrier, carrier.size());
    for (std::size_t i = 0; i < bare.size(); ++i) {
        EXPECT_EQ(inside[i].offset, bare[i].offset + 9300);
        EXPECT_EQ(inside[i].length, entries[i].size());
    }

    WriteBytes(dir / "Quintara.dat", carrier);
    UnpackPayload(dir.path());
    fs::remove(dir / "Quintara.dat");
    ExpectUnpacked(dir.path(), entries);
}

TEST_F(ContainerTest, MagicMustLieInTheFirst10000Bytes) {
    Bytes carrier(9992, 0);  // magic at position 9,993: its last byte is byte 10,000
    carrier.insert(carrier.end(), container.begin(), container.end());
    WriteBytes(dir / "Quintara.dat", carrier);
    UnpackPayload(dir.path());  // the table lies past the bytes searched
    EXPECT_EQ(ReadBytes(dir / "24.dat"), entries[24]);

    ScratchDir other;
    carrier.insert(carrier.begin(), 0);  // position 9,994
    WriteBytes(other / "Quintara.dat", carrier);
    EXPECT_THROW(UnpackPayload(other.path()), EngineError);
    EXPECT_EQ(Listing(other.path()), std::set<std::string>{"Quintara.dat"});
    ScratchDir empty;
    EXPECT_THROW(ExtractPayload(empty.path(), carrier), EngineError);
    EXPECT_TRUE(Listing(empty.path()).empty());
}

// Every kind of damage is found before a single file is created or written.
TEST_F(ContainerTest, DamageFailsBeforeWriting) {
    const auto tableAt = [](int i) { return 8 + 4 * static_cast<std::size_t>(i); };
    const auto lengthAt = [&](int i) {
        return static_cast<std::size_t>(GetLE32(container, tableAt(i)) - 1);
    };
    const std::int32_t size = static_cast<std::int32_t>(container.size());
    const struct {
        const char* what;
        std::function<void(Bytes&)> damage;
    } cases[] = {
        {"no magic", [](Bytes& c) { c[3] = 'X'; }},
        {"empty", [](Bytes& c) { c.clear(); }},
        {"table cut short", [](Bytes& c) { c.resize(60); }},
        {"entry past the end", [&](Bytes& c) { PutLE32(c, 0x7FFFFFFF, tableAt(24)); }},
        {"length field across the end", [&](Bytes& c) { PutLE32(c, size - 2, tableAt(24)); }},
        {"negative position", [&](Bytes& c) { PutLE32(c, -8, tableAt(3)); }},
        {"position 0", [&](Bytes& c) { PutLE32(c, 0, tableAt(0)); }},
        {"most negative position", [&](Bytes& c) { PutLE32(c, INT32_MIN, tableAt(12)); }},
        {"length 0", [&](Bytes& c) { PutLE32(c, 0, lengthAt(5)); }},
        {"length -1", [&](Bytes& c) { PutLE32(c, -1, lengthAt(5)); }},
        {"huge length", [&](Bytes& c) { PutLE32(c, 0x7FFFFFFF, lengthAt(7)); }},
        {"last entry one byte too long",
         [&](Bytes& c) {
             PutLE32(c, static_cast<std::int32_t>(entries[24].size() + 1), lengthAt(24));
         }},
        {"a track record one byte short",
         [&](Bytes& c) {
             PutLE32(c, static_cast<std::int32_t>(kTrackRecordSize - 1), lengthAt(3));
         }},
        {"two entries at one place",
         [&](Bytes& c) { PutLE32(c, GetLE32(c, tableAt(4)), tableAt(5)); }},
        {"every entry at one place",
         [&](Bytes& c) {
             for (int i = 2; i < kPayloadEntries; ++i) {
                 PutLE32(c, GetLE32(c, tableAt(1)), tableAt(i));
             }
         }},
        {"an entry inside the one before it",
         [&](Bytes& c) { PutLE32(c, GetLE32(c, tableAt(7)) + 100, tableAt(8)); }},
        {"an updater larger than 16 MiB",
         [&](Bytes& c) {
             std::vector<Bytes> large = entries;
             large[0].resize(kMaxUpdaterSize + 1);
             c = PackContainer(large);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes damaged = container;
        c.damage(damaged);

        ScratchDir extractDir;
        test::FaultHook hook;
        try {
            ExtractPayload(extractDir.path(), damaged, &hook);
            ADD_FAILURE() << "accepted";
        } catch (const EngineError& e) {
            EXPECT_EQ(std::string(e.what()).rfind("damaged payload: ", 0), 0u) << e.what();
        }
        EXPECT_TRUE(WroteNothing(hook));
        EXPECT_TRUE(Listing(extractDir.path()).empty());

        ScratchDir unpackDir;
        WriteBytes(unpackDir / "Quintara.dat", damaged);
        try {
            UnpackPayload(unpackDir.path(), &hook);
            ADD_FAILURE() << "accepted";
        } catch (const EngineError& e) {
            const std::string message = e.what();
            EXPECT_EQ(message.rfind("damaged payload: ", 0), 0u) << message;
            EXPECT_NE(message.find((unpackDir / "Quintara.dat").string()), std::string::npos)
                << message;
        }
        EXPECT_TRUE(WroteNothing(hook));
        EXPECT_EQ(Listing(unpackDir.path()), std::set<std::string>{"Quintara.dat"});
    }
}

TEST_F(ContainerTest, ALeftOverCarrierIsReplacedNotWrittenOver) {
    const std::vector<Bytes> oldEntries = MakeEntries(2);
    for (auto& e : oldEntries) {
        ASSERT_GE(e.size(), 40u);
    }
    Bytes old = Pack(oldEntries);
    old.insert(old.end(), 100000, 0x77);
    ASSERT_GT(old.size(), container.size());

    WriteBytes(dir / "Quintara.dat", old);
    ExtractPayload(dir.path(), container);
    ExpectUnpacked(dir.path(), entries);

    // When the removal fails, the left-over file stays as it was: it is never written into.
    WriteBytes(dir / "Quintara.dat", old);
    test::FaultHook hook;
    FailRemovingTheCarrier(hook);
    EXPECT_THROW(ExtractPayload(dir.path(), container, &hook), EngineError);
    EXPECT_EQ(ReadBytes(dir / "Quintara.dat"), old);
    EXPECT_TRUE(WroteNothing(hook));
}

TEST_F(ContainerTest, ExistingLongerFileEndsAtTheEntrysLength) {
    WriteBytes(dir / "5.dat", Bytes(20000, 0x11));
    WriteBytes(dir / "0.dat.exe", Bytes(200000, 0x22));
    ExtractPayload(dir.path(), container);
    EXPECT_EQ(ReadBytes(dir / "5.dat"), entries[5]);
    EXPECT_EQ(ReadBytes(dir / "0.dat.exe"), entries[0]);
}

TEST_F(ContainerTest, PlantedLinksAreNotWrittenThrough) {
    ScratchDir elsewhere;
    const Bytes precious{'k', 'e', 'e', 'p'};
    WriteBytes(elsewhere / "victim", precious);
    std::error_code ec;
    fs::create_symlink(elsewhere / "victim", dir / "3.dat", ec);
    if (ec) {
        GTEST_SKIP() << "no symbolic links here: " << ec.message();
    }
    fs::create_symlink(elsewhere / "victim", dir / "0.dat.exe");
    fs::create_symlink(elsewhere / "nothing-yet", dir / "7.dat");

    ExtractPayload(dir.path(), container);
    EXPECT_EQ(ReadBytes(elsewhere / "victim"), precious);
    EXPECT_FALSE(fs::exists(elsewhere / "nothing-yet"));
    EXPECT_FALSE(fs::is_symlink(dir / "3.dat"));
    ExpectUnpacked(dir.path(), entries);

    // A link at the container's own name is removed like any left-over, never written through.
    ScratchDir linked;
    fs::create_symlink(elsewhere / "victim", linked / "Quintara.dat");
    ExtractPayload(linked.path(), container);
    EXPECT_EQ(ReadBytes(elsewhere / "victim"), precious);
    ExpectUnpacked(linked.path(), entries);
}

TEST_F(ContainerTest, PackRefusesWhatTheContainerCannotHold) {
    ScratchDir source;
    for (int i = 0; i < kPayloadEntries; ++i) {
        WriteBytes(source / (std::to_string(i) + ".dat"), entries[static_cast<std::size_t>(i)]);
    }
    const Bytes previous(600000, 0x42);
    WriteBytes(source / "out.bin", previous);

    WriteBytes(source / "7.dat", {});
    EXPECT_THROW(PackPayload(source.path(), source / "out.bin"), EngineError);
    fs::remove(source / "24.dat");
    WriteBytes(source / "7.dat", entries[7]);
    EXPECT_THROW(PackPayload(source.path(), source / "out.bin"), EngineError);
    EXPECT_EQ(ReadBytes(source / "out.bin"), previous);  // a failed pack leaves it alone
    EXPECT_EQ(Listing(source.path()).size(), 25u);       // 0..23.dat and out.bin

    WriteBytes(source / "24.dat", entries[24]);
    PackPayload(source.path(), source / "out.bin");
    EXPECT_EQ(ReadBytes(source / "out.bin"), container);  // replaced, not overwritten in place
}

#ifdef _WIN32

// The Win32 temporary folder, as TMP names it: made when it is not there yet, and read back by
// the rest of the engine as the same folder, whatever characters its name has.
TEST(TempPath, IsTheWin32TemporaryFolder) {
    ScratchDir base;
    const fs::path folder = base.path() / u8"caf\u00e9 \u2192 tmp";
    test::TempDirOverride tmp(folder);
    fs::remove(folder);
    const std::string path = TempPath();
    EXPECT_EQ(path.back(), '\\');
    EXPECT_TRUE(fs::is_directory(folder));
    // A file made through the text the engine was given lands in the folder.
    WriteBytes(PathFromText(path + "1.dat"), {1, 2});
    EXPECT_EQ(ReadBytes(folder / "1.dat"), (Bytes{1, 2}));
    EXPECT_EQ(TempPath(), path);
}

#else

// Sets TMPDIR for one test and puts back what was there.
class TmpDirGuard {
  public:
    explicit TmpDirGuard(const std::string& value) {
        if (const char* old = std::getenv("TMPDIR")) {
            old_ = old;
        }
        setenv("TMPDIR", value.c_str(), 1);
    }
    ~TmpDirGuard() {
        if (old_) {
            setenv("TMPDIR", old_->c_str(), 1);
        } else {
            unsetenv("TMPDIR");
        }
    }

  private:
    std::optional<std::string> old_;
};

class TempPathTest : public ::testing::Test {
  protected:
    ScratchDir base;
    TmpDirGuard guard{base.path().string() + "/"};
    fs::path expected = base / ("tflux-krn-" + std::to_string(geteuid()));
    static constexpr fs::perms kPrivate = fs::perms::owner_all;
};

TEST_F(TempPathTest, CreatesAPrivateFolder) {
    const std::string path = TempPath();
    EXPECT_EQ(path, expected.string() + "/");
    EXPECT_TRUE(fs::is_directory(expected));
    EXPECT_EQ(fs::status(expected).permissions(), kPrivate);
    EXPECT_EQ(TempPath(), path);  // and takes it again as it is
}

// A folder that was ever open to others may hold what they planted: refused, not tightened.
TEST_F(TempPathTest, RefusesALooseFolderAndLeavesItAsItIs) {
    fs::create_directory(expected);
    WriteBytes(expected / "1.dat", {1, 2, 3});
    const fs::perms loose = fs::perms::owner_all | fs::perms::group_all | fs::perms::others_all;
    fs::permissions(expected, loose);
    try {
        TempPath();
        ADD_FAILURE() << "a loose folder was taken";
    } catch (const EngineError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "refusing the temporary folder " + expected.string() +
                      ": other users may use it (mode 0777); remove it, and the next run makes a "
                      "private one");
    }
    EXPECT_EQ(fs::status(expected).permissions(), loose);
    EXPECT_EQ(ReadBytes(expected / "1.dat"), (Bytes{1, 2, 3}));
}

TEST_F(TempPathTest, RefusesALinkOrAFile) {
    ScratchDir target;
    fs::permissions(target.path(), fs::perms::owner_all | fs::perms::group_read);
    fs::create_directory_symlink(target.path(), expected);
    try {
        TempPath();
        ADD_FAILURE() << "a link was taken";
    } catch (const EngineError& e) {
        EXPECT_NE(std::string(e.what()).find("symbolic link"), std::string::npos) << e.what();
    }
    // The folder the link points to is left as it was.
    EXPECT_EQ(fs::status(target.path()).permissions(),
              fs::perms::owner_all | fs::perms::group_read);

    fs::remove(expected);
    WriteBytes(expected, {0});
    EXPECT_THROW(TempPath(), EngineError);
    EXPECT_TRUE(fs::is_regular_file(expected));
}

TEST_F(TempPathTest, RefusesAnotherUsersFolder) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs to hand a folder to another user";
    }
    fs::create_directory(expected);
    ASSERT_EQ(chown(expected.c_str(), 4242, 4242), 0);
    EXPECT_THROW(TempPath(), EngineError);
}

#endif

}  // namespace
}  // namespace tflux
