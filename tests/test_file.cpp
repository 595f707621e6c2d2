#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "rom/errors.h"
#include "rom/file.h"
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
