#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>
#include <vector>

#include "rom/errors.h"
#include "rom/file.h"
#include "rom/replacement.h"
#include "support/test_util.h"

namespace tflux {
namespace {

namespace fs = std::filesystem;

std::string FailureOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const EngineError& e) {
        return e.what();
    }
    return "";
}

TEST(File, OpensRegularFilesOnlyAndNamesThePathOnFailure) {
    test::ScratchDir dir;
#ifdef _WIN32
    const fs::path device = "NUL";  // opens like a file, as a FIFO does elsewhere
#else
    const fs::path device = dir / "fifo";
    ASSERT_EQ(mkfifo(device.c_str(), 0600), 0);
#endif
    EXPECT_NE(FailureOf([&] { File::Open(device, OpenMode::Read); }).find("not a regular file"),
              std::string::npos);
    EXPECT_NE(FailureOf([&] { File::Open(dir.path(), OpenMode::Read); }), "");
    const std::string missing = FailureOf([&] { File::Open(dir / "gone", OpenMode::Read); });
    EXPECT_NE(missing.find((dir / "gone").string()), std::string::npos) << missing;
#ifdef _WIN32
    // The system's own wording, whatever the language: something follows the path.
    EXPECT_GT(missing.size(),
              missing.find((dir / "gone").string() + ": ") + (dir / "gone").string().size() + 2)
        << missing;
#else
    EXPECT_NE(missing.find("No such file"), std::string::npos) << missing;
#endif
}

TEST(DeviceNamed, TellsTheNamesWindowsKeepsForDevicesFromFileNames) {
    const struct {
        const char* name;
        const char* device;
    } cases[] = {
        {"CON", "CON"},
        {"con.z64", "CON"},
        {"aux.v64", "AUX"},
        {"Prn", "PRN"},
        {"NUL", "NUL"},
        {"nul.tar.gz", "NUL"},
        {"con .z64", "CON"},
        {"NUL. ", "NUL"},
        {"COM1", "COM1"},
        {"lpt9.txt", "LPT9"},
        {"COM1:", "COM1"},
        {"CONSOLE", ""},
        {"COM0", ""},
        {"COM10", ""},
        {"LPT", ""},
        {" NUL", ""},
        {"my con.z64", ""},
        {"x.con", ""},
        {"", ""},
        {".nul", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(DeviceNamed(c.name), c.device);
    }
}

TEST(File, NeverWritesThroughALinkWhenAskedNotTo) {
    test::ScratchDir dir;
    test::WriteBytes(dir / "target", {1, 2, 3});
    std::error_code ec;
    fs::create_symlink(dir / "target", dir / "link", ec);
    if (ec) {
        GTEST_SKIP() << "no symbolic links here: " << ec.message();
    }
    EXPECT_NE(FailureOf([&] {
                  File::Open(dir / "link", OpenMode::CreateOrOpen, Links::NoFollow);
              }).find("symbolic link"),
              std::string::npos);
    EXPECT_NE(FailureOf([&] { File::Open(dir / "target", OpenMode::CreateExclusive); }), "");
    EXPECT_EQ(test::ReadBytes(dir / "target"), (std::vector<std::uint8_t>{1, 2, 3}));
}

// A folder output appears whole or not at all: a failure part way leaves neither the target nor
// the half-filled folder it was being built in.
TEST(WriteFolderWhole, AppearsWholeOrNotAtAll) {
    test::ScratchDir dir;
    const auto fillTwo = [](const std::filesystem::path& folder) {
        test::WriteBytes(folder / "one", {1});
        test::WriteBytes(folder / "two", {2});
    };
    for (const bool targetIsEmptyFolder : {false, true}) {
        const std::filesystem::path target = dir / (targetIsEmptyFolder ? "empty" : "a") / "b";
        if (targetIsEmptyFolder) {
            std::filesystem::create_directories(target);
        }
        EXPECT_THROW(WriteFolderWhole(target,
                                      [&](const std::filesystem::path& folder) {
                                          fillTwo(folder);
                                          throw EngineError("disk full, say");
                                      }),
                     EngineError);
        EXPECT_EQ(test::DirectoryNames(target.parent_path()),
                  targetIsEmptyFolder ? std::set<std::string>{"b"} : std::set<std::string>{});
        WriteFolderWhole(target.string() + "/", fillTwo);
        EXPECT_EQ(test::DirectoryNames(target), (std::set<std::string>{"one", "two"}));
        EXPECT_EQ(test::DirectoryNames(target.parent_path()), std::set<std::string>{"b"});
    }
}

// A failure at any operation of the build, the flushes of what was filled in included, leaves
// nothing at the target and no folder beside it; only the flush of the folder above, once the
// rename is done, may fail with the new folder in place.
TEST(WriteFolderWhole, AFailureAtEachOperationLeavesNothingHalfMade) {
    test::ScratchDir dir;
    const fs::path target = dir / "out" / "made";
    const auto fill = [](IoHook* hook) {
        return [hook](const fs::path& folder) {
            fs::create_directory(folder / "sub");
            for (const fs::path& name : {folder / "one", folder / "sub" / "two"}) {
                File file = File::Open(name, OpenMode::CreateExclusive, Links::NoFollow, hook);
                file.WriteAt(0, std::vector<std::uint8_t>{1, 2});
                file.Close();
            }
        };
    };
    test::FaultHook recorder;
    WriteFolderWhole(target, fill(&recorder), &recorder);
    const std::vector<test::SeenOp> ops = recorder.Ops();
    const auto renamed = std::find(ops.begin(), ops.end(), test::SeenOp{IoOp::Rename, target});
    ASSERT_NE(renamed, ops.end());
    const int rename = static_cast<int>(renamed - ops.begin()) + 1;
    int flushes = 0;
    for (int n = 1; n <= recorder.Count(); ++n) {
        fs::remove_all(dir / "out");
        test::FaultHook fault;
        fault.FailAt(n);
        SCOPED_TRACE(n);
        EXPECT_THROW(WriteFolderWhole(target, fill(&fault), &fault), EngineError);
        SCOPED_TRACE(fault.Failed());
        flushes += ops[static_cast<std::size_t>(n - 1)].op == IoOp::Sync ? 1 : 0;
        if (n > rename) {
            EXPECT_EQ(test::DirectoryNames(target), (std::set<std::string>{"one", "sub"}));
            EXPECT_EQ(test::DirectoryNames(dir / "out"), std::set<std::string>{"made"});
        } else if (fs::exists(dir / "out")) {
            EXPECT_TRUE(test::DirectoryNames(dir / "out").empty());
        }
    }
    EXPECT_GE(flushes, 5) << "the two files, the two folders and the one above";
}

// A run killed while it built a folder leaves its work folder beside the target; the next write
// of that target removes it, and nothing that only looks like one, nor one a live run holds.
TEST(WriteFolderWhole, RemovesTheWorkFoldersOfKilledRunsOnly) {
    test::ScratchDir dir;
    const fs::path target = dir / "out";
    struct Leftover {
        std::string name;
        bool folder;
        bool removed;
    };
    const Leftover leftovers[] = {
        {".tflux-krn-out-0123abcd", true, true},
        {".tflux-krn-out-89abcdef", true, false},  // held below, as a live run holds its own
        {".tflux-krn-other-0123abcd", true, false},
        {".tflux-krn-out-0123ABCD", true, false},
        {".tflux-krn-out-0123abc", true, false},
        {".tflux-krn-out-0123abcd0", true, false},
        {".tflux-krn-out-fedcba98", false, false},
    };
    for (const Leftover& l : leftovers) {
        if (l.folder) {
            fs::create_directories(dir / l.name / "sub");
            test::WriteBytes(dir / l.name / "sub" / "half", {1});
        } else {
            test::WriteBytes(dir / l.name, {1});
        }
    }
#ifndef _WIN32
    // A link named as a work folder is not followed into what it points at.
    fs::create_directory(dir / "elsewhere");
    test::WriteBytes(dir / "elsewhere" / "kept", {2});
    fs::create_directory_symlink(dir / "elsewhere", dir / ".tflux-krn-out-76543210");
#endif
    const DirectoryLock live(dir / ".tflux-krn-out-89abcdef");
    WriteFolderWhole(target, [](const fs::path& folder) { test::WriteBytes(folder / "new", {3}); });
    EXPECT_EQ(test::DirectoryNames(target), std::set<std::string>{"new"});
    for (const Leftover& l : leftovers) {
        EXPECT_EQ(fs::exists(fs::symlink_status(dir / l.name)), !l.removed) << l.name;
    }
#ifndef _WIN32
    EXPECT_TRUE(fs::is_symlink(dir / ".tflux-krn-out-76543210"));
    EXPECT_EQ(test::ReadBytes(dir / "elsewhere" / "kept"), std::vector<std::uint8_t>{2});
#endif
}

TEST(File, ShortReadsFailAndWritesNeverTruncate) {
    test::ScratchDir dir;
    test::WriteBytes(dir / "f", {1, 2, 3, 4, 5});
    File file = File::Open(dir / "f", OpenMode::Write);
    const std::vector<std::uint8_t> two = {9, 9};
    file.WriteAt(1, two);
    file.Close();
    EXPECT_EQ(test::ReadBytes(dir / "f"), (std::vector<std::uint8_t>{1, 9, 9, 4, 5}));

    File reader = File::Open(dir / "f", OpenMode::Read);
    std::vector<std::uint8_t> buffer(4);
    EXPECT_EQ(reader.ReadSome(3, buffer), 2u);
    const std::string failure = FailureOf([&] { reader.ReadAt(3, buffer); });
    EXPECT_NE(failure.find("ends at byte 5"), std::string::npos) << failure;
}

TEST(File, CopiesWholeFilesAndRemovingNothingIsFine) {
    test::ScratchDir dir;
    std::vector<std::uint8_t> data(3 << 20);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 7);
    test::WriteBytes(dir / "a", data);
    {
        File from = File::Open(dir / "a", OpenMode::Read);
        File to = File::Open(dir / "b", OpenMode::CreateExclusive);
        CopyFileContents(from, to);
        to.Close();
    }
    EXPECT_EQ(test::ReadBytes(dir / "b"), data);
    EXPECT_NO_THROW(RemoveFile(dir / "never-was"));
    RemoveFile(dir / "b");
    EXPECT_FALSE(fs::exists(dir / "b"));
}

// A lock marks a file as a live run's: another handle sees it taken until the holder closes,
// and the file's data stays readable and writable through other handles meanwhile.
TEST(File, ALockIsSeenByOtherHandlesAndLeavesTheDataAlone) {
    test::ScratchDir dir;
    test::WriteBytes(dir / "f", {1, 2, 3, 4});
    File holder = File::Open(dir / "f", OpenMode::Read);
    ASSERT_EQ(TryLockFile(holder), FileLock::Taken);
    {
        const File other = File::Open(dir / "f", OpenMode::Read);
        EXPECT_EQ(TryLockFile(other), FileLock::InUse);
    }
    File writer = File::Open(dir / "f", OpenMode::ReadWrite);
    const std::vector<std::uint8_t> two = {8, 9};
    writer.WriteAt(2, two);
    std::vector<std::uint8_t> back(4);
    writer.ReadAt(0, back);
    EXPECT_EQ(back, (std::vector<std::uint8_t>{1, 2, 8, 9}));
    writer.Close();
    holder.Close();
    const File after = File::Open(dir / "f", OpenMode::Read);
    EXPECT_EQ(TryLockFile(after), FileLock::Taken);
}

// Two patches sharing a temporary folder take turns: the second waits for the first to let go.
TEST(DirectoryLock, ASecondHolderWaitsForTheFirst) {
    test::ScratchDir dir;
    std::atomic<bool> second{false};
    std::thread waiter;
    {
        const DirectoryLock first(dir.path());
        waiter = std::thread([&] {
            const DirectoryLock lock(dir.path());
            second = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_FALSE(second) << "both held the folder at once";
    }
    waiter.join();
    EXPECT_TRUE(second);
}

// A hook that refuses every operation of one kind.
test::FaultHook Refuse(IoOp op) {
    test::FaultHook hook;
    hook.FailOps({op});
    return hook;
}

TEST(File, TheHookCanFailEachOperation) {
    test::ScratchDir dir;
    test::WriteBytes(dir / "f", {1, 2});
    test::FaultHook write = Refuse(IoOp::Write);
    File file = File::Open(dir / "f", OpenMode::Write, Links::Follow, &write);
    const std::vector<std::uint8_t> byte = {7};
    EXPECT_THROW(file.WriteAt(0, byte), EngineError);
    test::FaultHook open = Refuse(IoOp::Open);
    EXPECT_THROW(File::Open(dir / "f", OpenMode::Read, Links::Follow, &open), EngineError);
    test::FaultHook rename = Refuse(IoOp::Rename);
    EXPECT_THROW(RenameFile(dir / "f", dir / "g", &rename), EngineError);
    test::FaultHook remove = Refuse(IoOp::Remove);
    EXPECT_THROW(RemoveFile(dir / "f", &remove), EngineError);
    EXPECT_EQ(test::ReadBytes(dir / "f"), (std::vector<std::uint8_t>{1, 2}));
}

}  // namespace
}  // namespace tflux

namespace tflux {
namespace {

EngineError ErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const EngineError& e) {
        return e;
    }
    return EngineError("nothing failed");
}

TEST(EngineError, KeepsTheOperationPathAndSystemCodeThroughContext) {
    const EngineError error = SystemError("write", "/roms/out.z64", ENOSPC).Within("entry 5: ");
    EXPECT_EQ(std::string(error.what()).rfind("entry 5: cannot write /roms/out.z64: ", 0), 0u)
        << error.what();
    EXPECT_EQ(error.Operation(), "write");
    EXPECT_EQ(error.Path(), fs::path("/roms/out.z64"));
    EXPECT_EQ(error.Code(), std::errc::no_space_on_device);

    test::ScratchDir dir;
    const EngineError missing = ErrorOf([&] { File::Open(dir / "absent", OpenMode::Read); });
    EXPECT_EQ(missing.Code(), std::errc::no_such_file_or_directory);
    EXPECT_EQ(missing.Operation(), "open");
    EXPECT_EQ(missing.Path(), dir / "absent");
    const EngineError listing = ErrorOf([&] { ListFolder(dir / "absent"); });
    EXPECT_EQ(listing.Code(), std::errc::no_such_file_or_directory);
    EXPECT_EQ(listing.Operation(), "list");
}

TEST(FileLayer, ExamineTellsKindsAndWhyNothingIsThere) {
    test::ScratchDir dir;
    test::WriteBytes(dir / "file", {1});
    fs::create_directory(dir / "folder");
    std::error_code missing;
    EXPECT_EQ(Examine(dir / "file"), FileKind::Regular);
    EXPECT_EQ(Examine(dir / "folder"), FileKind::Folder);
    EXPECT_EQ(Examine(dir / "absent", Links::Follow, nullptr, &missing), FileKind::None);
    EXPECT_EQ(missing, std::errc::no_such_file_or_directory);
    EXPECT_EQ(Examine(dir / "file" / "below", Links::Follow, nullptr, &missing), FileKind::None);
#ifndef _WIN32  // Windows says only that nothing is there
    EXPECT_EQ(missing, std::errc::not_a_directory);
#endif
    EXPECT_FALSE(PathExists(dir / "absent"));
    EXPECT_EQ(LinkCount(dir / "absent"), 0u);
    EXPECT_EQ(LinkCount(dir / "file"), 1u);
    EXPECT_FALSE(SameFile(dir / "file", dir / "absent"));
    EXPECT_TRUE(SameFile(dir / "file", dir / "folder" / ".." / "file"));
    EXPECT_EQ(ListFolder(dir.path()).size(), 2u);
#ifndef _WIN32
    fs::create_symlink(dir / "file", dir / "link");
    fs::create_symlink(dir / "nowhere", dir / "dangling");
    EXPECT_EQ(Examine(dir / "link", Links::NoFollow), FileKind::Link);
    EXPECT_EQ(Examine(dir / "link"), FileKind::Regular);
    EXPECT_EQ(Examine(dir / "dangling"), FileKind::None);
    EXPECT_TRUE(PathExists(dir / "dangling"));
    EXPECT_EQ(ResolveLinks(dir / "link"), fs::canonical(dir / "file"));
    fs::create_symlink(dir / "loop-b", dir / "loop-a");
    fs::create_symlink(dir / "loop-a", dir / "loop-b");
    const EngineError loop = ErrorOf([&] { Examine(dir / "loop-a"); });
    EXPECT_EQ(loop.Code(), std::errc::too_many_symbolic_link_levels) << loop.what();
    EXPECT_EQ(loop.Operation(), "examine");
#endif
}

TEST(FileLayer, EveryQueryAnnouncesItselfAndFailsWhenTheHookSaysSo) {
    test::ScratchDir dir;
    test::WriteBytes(dir / "file", {1});
    const std::vector<std::pair<IoOp, std::function<void(IoHook*)>>> queries = {
        {IoOp::Examine, [&](IoHook* h) { Examine(dir / "file", Links::Follow, h); }},
        {IoOp::Examine, [&](IoHook* h) { LinkCount(dir / "file", h); }},
        {IoOp::Examine, [&](IoHook* h) { SameFile(dir / "file", dir / "file", h); }},
        {IoOp::Examine, [&](IoHook* h) { ResolveLinks(dir / "file", h); }},
        {IoOp::List, [&](IoHook* h) { ListFolder(dir.path(), h); }},
        {IoOp::MakeFolder, [&](IoHook* h) { CreateDirectories(dir / "a" / "b", h); }},
        {IoOp::Lock,
         [&](IoHook* h) {
             TryLockFile(File::Open(dir / "file", OpenMode::Read, Links::Follow, h));
         }},
        {IoOp::Permissions,
         [&](IoHook* h) {
             File::Open(dir / "file", OpenMode::ReadWrite, Links::Follow, h).MakeExecutable();
         }},
    };
    for (const auto& [op, query] : queries) {
        SCOPED_TRACE(IoOpName(op));
        test::FaultHook hook;
        hook.FailOps({op});
        const EngineError error = ErrorOf([&] { query(&hook); });
        EXPECT_EQ(hook.Failures(), 1);
        EXPECT_EQ(error.what(), hook.Cause());
        EXPECT_EQ(error.Code(), std::errc::io_error);
    }
}

TEST(FileReplacement, TheTargetIsUntouchedUntilCommitAndThenWhollyNew) {
    test::ScratchDir dir;
    const fs::path target = dir / "image.z64";
    test::WriteBytes(target, {1, 2, 3});
#ifndef _WIN32
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
#endif
    {
        FileReplacement abandoned(target, nullptr);
        abandoned.file().WriteAt(0, std::vector<std::uint8_t>{9, 9});
        EXPECT_TRUE(IsReplacementName(abandoned.path().filename().string()));
    }
    EXPECT_EQ(test::ReadBytes(target), (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_EQ(test::DirectoryNames(dir.path()), std::set<std::string>{"image.z64"});

    FileReplacement replacement(target, nullptr);
    replacement.file().WriteAt(0, std::vector<std::uint8_t>{7, 8});
    replacement.file().Close();
    EXPECT_EQ(test::ReadBytes(target), (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_FALSE(replacement.Commit().has_value());
    EXPECT_EQ(test::ReadBytes(target), (std::vector<std::uint8_t>{7, 8}));
    EXPECT_EQ(test::DirectoryNames(dir.path()), std::set<std::string>{"image.z64"});
#ifndef _WIN32
    EXPECT_EQ(fs::status(target).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
#endif
}

#ifdef _WIN32
// Windows renames nothing over a read-only file: the new file takes the attribute over, and a
// failure on the way leaves the target as it was and nothing beside it.
TEST(FileReplacement, AReadOnlyTargetIsReplacedByAReadOnlyFileOrLeftAsItWas) {
    const struct {
        const char* failing;
        int failAt;  // among the attribute changes; the first is CopyPermissions'
    } cases[] = {{"nothing", 0}, {"marking the new file", 2}, {"clearing the target", 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failing);
        test::ScratchDir dir;
        const fs::path target = dir / "image.z64";
        test::WriteBytes(target, {1, 2, 3});
        ASSERT_TRUE(SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY));
        test::FaultHook hook;
        if (c.failAt > 0) {
            hook.FailOps({IoOp::Permissions}).FailAt(c.failAt);
        }
        {
            FileReplacement replacement(target, &hook);
            replacement.file().WriteAt(0, std::vector<std::uint8_t>{7, 8});
            replacement.file().Close();
            EXPECT_EQ(FailureOf([&] { (void)replacement.Commit(); }).empty(), c.failAt == 0);
        }
        const std::vector<std::uint8_t> expected =
            c.failAt == 0 ? std::vector<std::uint8_t>{7, 8} : std::vector<std::uint8_t>{1, 2, 3};
        EXPECT_EQ(test::ReadBytes(target), expected);
        EXPECT_NE(GetFileAttributesW(target.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
        EXPECT_EQ(test::DirectoryNames(dir.path()), std::set<std::string>{"image.z64"});
        SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
}

// The standard library takes \\?\ for a folder named "?"; the system resolves such a path.
TEST(ResolveLinks, ResolvesVerbatimPathsAsFarAsTheyExist) {
    test::ScratchDir dir;
    test::WriteBytes(dir / "image.z64", {1});
    for (const fs::path name : {"image.z64", "new.z64", "new folder\\new.z64"}) {
        SCOPED_TRACE(name.string());
        const fs::path plain = fs::absolute(dir.path() / name);
        const fs::path resolved = ResolveLinks(L"\\\\?\\" + plain.native());
        EXPECT_EQ(resolved.native(), L"\\\\?\\" + fs::weakly_canonical(plain).native());
    }
}
#endif

TEST(FileReplacement, AFailedFlushAfterTheRenameIsReturnedWithItsCause) {
    test::ScratchDir dir;
    const fs::path target = dir / "out.z64";
    test::FaultHook hook;
    hook.FailIf([&](const fs::path& path) { return path == dir.path(); }).FailOps({IoOp::Sync});
    FileReplacement replacement(target, &hook);
    replacement.file().WriteAt(0, std::vector<std::uint8_t>{5});
    replacement.file().Close();
    const std::optional<EngineError> unflushed = replacement.Commit();
    ASSERT_TRUE(unflushed.has_value());
    EXPECT_NE(std::string(unflushed->what()).find(hook.Cause()), std::string::npos);
    EXPECT_EQ(unflushed->Code(), std::errc::io_error);
    EXPECT_EQ(test::ReadBytes(target), std::vector<std::uint8_t>{5});
}

TEST(FileReplacement, OnlyUnheldFilesOfOursAreTakenForAbandoned) {
    test::ScratchDir dir;
    const fs::path target = dir / "out.z64";
    const fs::path abandoned = dir / NewReplacementName();
    const fs::path named = dir / NewReplacementName();  // a file the user chose to name so
    const fs::path unlike = dir / ".tflux-krn-abcd-123.tmp";
    // Shaped like ours, but without the check our names carry: the user's own.
    const fs::path lookalike = dir / ".tflux-krn-abcdefgh.tmp";
    for (const fs::path& path : {abandoned, named, unlike, lookalike}) {
        test::WriteBytes(path, {1});
    }
    const FileReplacement live(target, nullptr);
    const fs::path keep[] = {named};
    RemoveAbandonedReplacements(dir.path(), keep, nullptr);
    EXPECT_FALSE(fs::exists(abandoned));
    EXPECT_TRUE(fs::exists(named));
    EXPECT_TRUE(fs::exists(unlike));
    EXPECT_TRUE(fs::exists(lookalike)) << "a file merely named like ours was removed";
    EXPECT_TRUE(fs::exists(live.path())) << "a live run's file was taken for abandoned";

    test::FaultHook hook;
    hook.FailOps({IoOp::List});
    const EngineError error =
        ErrorOf([&] { RemoveAbandonedReplacements(dir.path(), keep, &hook); });
    EXPECT_EQ(error.what(), hook.Cause());
}

#ifndef _WIN32
// A replaced file passes on its access rights only: nothing that runs a program as its owner,
// nothing the umask takes away, and nothing that gives others more than its owner had.
TEST(CopyPermissions, KeepsOnlyTheRightsTheOwnerAndTheUmaskAllow) {
    const struct {
        mode_t previous;
        mode_t expected;
    } cases[] = {
        {06777, 0755}, {07755, 0755}, {0777, 0755}, {0640, 0640},
        {0604, 0604},  {0077, 0000},  {0471, 0440}, {0511, 0511},
    };
    const mode_t umask = ::umask(022);
    test::ScratchDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.previous));
        const fs::path previous = dir / "previous";
        const fs::path next = dir / "next";
        test::WriteBytes(previous, {1});
        ASSERT_EQ(::chmod(previous.c_str(), c.previous), 0);
        fs::remove(next);
        const File created = File::Open(next, OpenMode::CreateExclusive);
        CopyPermissions(previous, created);
        struct stat st {};
        ASSERT_EQ(::stat(next.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.expected);
        fs::remove(previous);
    }
    ::umask(umask);
}
#endif

}  // namespace
}  // namespace tflux
