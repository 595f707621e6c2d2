// Every program's command line: the same answer to --help and to a mistyped option, and each
// program's own arguments checked before it does anything.

#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "romtables/sample_image.h"
#include "support/test_util.h"

namespace tflux {
namespace {

namespace fs = std::filesystem;

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

bool HasLineStartingWith(const std::string& text, const std::string& start) {
    return text.starts_with(start) || Contains(text, "\n" + start);
}

const std::vector<std::string> kNoDisplay = {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="};
const std::vector<std::string> kOffscreen = {"QT_QPA_PLATFORM=offscreen"};

struct Program {
    std::string name;
    std::vector<std::string> env;
    std::string label;  // the test's name
    // A command line the program would act on; "DIR" stands for a scratch folder. A usage error
    // is looked for in it, not in an empty one, where a missing argument would be the first.
    std::vector<std::string> args;
};

// Names the program in a failure instead of dumping the struct's bytes.
void PrintTo(const Program& program, std::ostream* out) {
    *out << program.label;
}

std::vector<Program> Programs() {
    std::vector<Program> programs = {
        {"tflux-krn-cli", {}, "cli", {"identify", "DIR/game.z64"}},
        {"tflux-krn-checksum", {}, "checksum", {"-v", "DIR/game.z64"}},
        {"tflux-krn-mkpayload",
         {},
         "mkpayload",
         {"--track-dir", "DIR", "--updater", "DIR/updater", "--output", "DIR/out.dat"}},
        {"tflux-krn-sample", {}, "sample", {"DIR/game.z64", "E", "z64"}},
    };
#ifdef TFLUX_HAVE_BENCH
    programs.push_back({"tflux-krn-bench", {}, "bench", {"--bin", "DIR", "--work", "DIR/work"}});
#endif
#ifdef TFLUX_HAVE_WINDOW
    programs.push_back(
        {"tflux-krn-screenshot", kOffscreen, "screenshot", {"DIR/a.png", "DIR/b.png"}});
    programs.push_back({"tflux-krn", kOffscreen, "window_offscreen", {}});
    programs.push_back({"tflux-krn", kNoDisplay, "window_without_display", {}});
#endif
    return programs;
}

class EveryProgram : public ::testing::TestWithParam<Program> {
  protected:
    test::RunResult Run(const std::vector<std::string>& args) const {
        std::vector<std::string> argv = {test::BinPath(GetParam().name).string()};
        for (const std::string& arg : args) {
            argv.push_back(arg.starts_with("DIR") ? scratch_.path().string() + arg.substr(3) : arg);
        }
        return test::RunProgram(argv, GetParam().env);
    }
    // The program's own command line with `extra` at the front or at the end.
    std::vector<std::string> With(const std::string& extra, bool atEnd) const {
        std::vector<std::string> args = GetParam().args;
        args.insert(atEnd ? args.end() : args.begin(), extra);
        return args;
    }
    test::ScratchDir scratch_;
};

TEST_P(EveryProgram, AnUnknownOptionIsAUsageErrorNamedOnStandardError) {
    const std::vector<std::pair<std::string, bool>> typos = {
        {"--no-such-option", false}, {"--no-such-option", true}, {"-Z", true}};
    for (const auto& [option, atEnd] : typos) {
        const std::vector<std::string> args = With(option, atEnd);
        const test::RunResult run = Run(args);
        EXPECT_EQ(run.exitCode, 2) << testing::PrintToString(args) << run.err;
        EXPECT_TRUE(Contains(run.err, option)) << testing::PrintToString(args) << run.err;
        EXPECT_TRUE(Contains(run.err, "--help")) << "no pointer to the help: " << run.err;
        EXPECT_EQ(run.out, "") << testing::PrintToString(args);
    }
    EXPECT_EQ(test::DirectoryNames(scratch_.path()), std::set<std::string>{})
        << "a refused command line wrote something";
}

TEST_P(EveryProgram, HelpPrintsAUsageLineAndExitsZero) {
    for (const char* flag : {"--help", "-h"}) {
        for (const bool atEnd : {false, true}) {
            const std::vector<std::string> args = With(flag, atEnd);
            const test::RunResult run = Run(args);
            EXPECT_EQ(run.exitCode, 0) << testing::PrintToString(args) << run.err;
            EXPECT_TRUE(HasLineStartingWith(run.out, "Usage: " + GetParam().name + " "))
                << testing::PrintToString(args) << "\n"
                << run.out;
            EXPECT_EQ(run.err, "") << testing::PrintToString(args);
        }
    }
    EXPECT_EQ(test::DirectoryNames(scratch_.path()), std::set<std::string>{})
        << "asking for help wrote something";
}

INSTANTIATE_TEST_SUITE_P(Programs, EveryProgram, ::testing::ValuesIn(Programs()),
                         [](const testing::TestParamInfo<Program>& p) { return p.param.label; });

class SampleProgram : public ::testing::Test {
  protected:
    test::RunResult Sample(std::vector<std::string> args) const {
        args.insert(args.begin(), test::BinPath("tflux-krn-sample").string());
        return test::RunProgram(args);
    }
    test::ScratchDir scratch_;
};

// The arguments in the order `make run` and the package test give them, and each left out.
TEST_F(SampleProgram, WritesTheImageTheArgumentsAskFor) {
    struct Case {
        std::vector<std::string> args;
        SampleOptions options;
    };
    const std::vector<Case> cases = {
        {{}, {'E', false, 1}},
        {{"J"}, {'J', false, 1}},
        {{"P", "v64"}, {'P', true, 1}},
        {{"E", "z64"}, {'E', false, 1}},
    };
    for (const Case& c : cases) {
        const fs::path path = scratch_ / "game.img";
        std::vector<std::string> args = {path.string()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const test::RunResult run = Sample(args);
        ASSERT_EQ(run.exitCode, 0) << testing::PrintToString(args) << run.err;
        EXPECT_EQ(test::ReadBytes(path), MakeSampleImage(c.options))
            << testing::PrintToString(args);
        fs::remove(path);
    }
}

TEST_F(SampleProgram, RefusesABadRegionOrderOrCountWithoutWriting) {
    const fs::path path = scratch_ / "game.z64";
    const std::vector<std::vector<std::string>> bad = {
        {path.string(), "X"},        {path.string(), "e"},
        {path.string(), "EJ"},       {path.string(), "E", "x64"},
        {path.string(), "E", "V64"}, {path.string(), "E", "z64", "extra"},
        {"-o", path.string()},       {},
    };
    for (const auto& args : bad) {
        const test::RunResult run = Sample(args);
        EXPECT_EQ(run.exitCode, 2) << testing::PrintToString(args);
        EXPECT_NE(run.err, "") << testing::PrintToString(args);
        EXPECT_FALSE(fs::exists(path)) << testing::PrintToString(args);
    }
    // The message names what was wrong.
    EXPECT_TRUE(Contains(Sample({path.string(), "X"}).err, "X"));
    EXPECT_TRUE(Contains(Sample({path.string(), "E", "x64"}).err, "x64"));
}

#ifdef TFLUX_HAVE_BENCH
// The bench refuses a command line it cannot run before it writes or runs anything.
TEST(BenchProgram, RefusesIncompleteOrOutOfRangeArguments) {
    const test::ScratchDir scratch;
    const std::string bench = test::BinPath("tflux-krn-bench").string();
    const std::string bin = test::BinPath("tflux-krn-cli").parent_path().string();
    const fs::path work = scratch / "work";
    const std::vector<std::vector<std::string>> bad = {
        {"--bin", bin},
        {"--work", work.string()},
        {"--bin", bin, "--work", work.string(), "--runs", "14"},
        {"--bin", bin, "--work", work.string(), "--runs", "many"},
        {"--bin", bin, "--work", work.string(), "--json"},
        {"--bin", bin, "--work", work.string(), "stray"},
    };
    for (std::vector<std::string> args : bad) {
        args.insert(args.begin(), bench);
        const test::RunResult run = test::RunProgram(args);
        EXPECT_EQ(run.exitCode, 2) << testing::PrintToString(args) << run.err;
        EXPECT_NE(run.err, "") << testing::PrintToString(args);
        EXPECT_FALSE(fs::exists(work)) << testing::PrintToString(args);
    }
}
#endif

#ifdef TFLUX_HAVE_WINDOW
// Qt's options, with their values, go to Qt; ours are parsed from what is left.
TEST(WindowPrograms, PassQtsOptionsOnToQt) {
    const test::ScratchDir scratch;
    const fs::path accepted = scratch / "accepted.png";
    const fs::path refused = scratch / "refused.png";
    const test::RunResult shot =
        test::RunProgram({test::BinPath("tflux-krn-screenshot").string(), "-platform", "offscreen",
                          "-style", "Fusion", "-reverse", accepted.string(), refused.string()},
                         kNoDisplay);
    EXPECT_EQ(shot.exitCode, 0) << shot.err;
    EXPECT_TRUE(fs::exists(accepted)) << shot.out;
    EXPECT_TRUE(fs::exists(refused)) << shot.out;

    const std::string window = test::BinPath("tflux-krn").string();
    test::RunResult run =
        test::RunProgram({window, "-platform", "offscreen", "--help"}, kNoDisplay);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(run.out.starts_with("Usage: tflux-krn")) << run.out;
    run = test::RunProgram({window, "--platform", "offscreen", "-widgetcount", "--version"},
                           kNoDisplay);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, std::string("tflux-krn ") + TFLUX_VERSION + "\n");
}

TEST(WindowPrograms, RefuseWhatIsNeitherTheirsNorQts) {
    const std::string window = test::BinPath("tflux-krn").string();
    const std::string screenshot = test::BinPath("tflux-krn-screenshot").string();
    const std::vector<std::vector<std::string>> bad = {
        // The window takes one image, and --pack needs its path.
        {window, "a.z64", "b.z64"},
        {window, "game.z64", "--pack"},
        {window, "-platform", "offscreen", "--bogus"},
        // Past "--" a Qt option is an argument: one more than the image.
        {window, "--", "-reverse", "game.z64"},
        {screenshot, "only-one.png"},
        {screenshot, "-style", "Fusion", "only-one.png"},
        {screenshot, "a.png", "b.png", "c.png"},
    };
    for (const auto& args : bad) {
        for (const auto& env : {kNoDisplay, kOffscreen}) {
            const test::RunResult run = test::RunProgram(args, env);
            EXPECT_EQ(run.exitCode, 2) << testing::PrintToString(args) << run.err;
            EXPECT_NE(run.err, "") << testing::PrintToString(args);
        }
    }
}
#endif

}  // namespace
}  // namespace tflux
