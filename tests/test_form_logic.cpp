// What the window decides, without a window: the toolkit-free unit both windows present.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/form_logic.h"
#include "app/patch.h"
#include "payload/builtin_payload.h"
#include "payload/container.h"
#include "rom/identify.h"
#include "romtables/sample_image.h"
#include "support/test_util.h"

namespace tflux::form {
namespace {

namespace fs = std::filesystem;

TEST(FormLogicTest, TheStatusLineCarriesTheRefusalAsPatchWordsIt) {
    struct Case {
        const char* name;
        InputStatus status;
        const char* text;
        Rgb colour;
        const char* detail;  // the tooltip and the screen reader's description
    };
    const Case cases[] = {
        {"accepted",
         {true, true, kRomOk, "File Version: PAL (Z64)", ""},
         "File Version: PAL (Z64)",
         kAcceptedRgb,
         ""},
        {"unreadable",
         {false, false, kRomAccessError, "", "/r/a.z64: No such file or directory"},
         "Invalid input file",
         kRefusedRgb,
         "Invalid input ROM file\n/r/a.z64: No such file or directory"},
        {"not the game",
         {false, true, kRomNotTFlux, "File Error: Not T-Flux X", "a.z64 is 4,096 bytes"},
         "File Error: Not T-Flux X",
         kRefusedRgb,
         "Not T-Flux X\na.z64 is 4,096 bytes"},
        {"region",
         {false, true, kRomBadRegion, "File Error: Bad ROM region code", "region letter is 'Q'"},
         "File Error: Bad ROM region code",
         kRefusedRgb,
         "Bad ROM region code\nregion letter is 'Q'"},
    };
    const ChosenPack builtIn = BuiltInPack();
    ChosenPack own = BuiltInPack();
    own.path = "/packs/mine";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const StatusLine line = StatusOf(c.status);
        EXPECT_EQ(StatusText(line, builtIn), c.text);
        EXPECT_EQ(line.colour, c.colour);
        EXPECT_EQ(StatusDetail(line, builtIn), c.detail);
        // Another pack is named on the line and, in full, in its detail.
        EXPECT_EQ(StatusText(line, own), std::string(c.text) + " \u00b7 pack: mine");
        EXPECT_TRUE(StatusDetail(line, own).ends_with("Track pack: /packs/mine"));
    }
    EXPECT_EQ(NoInputStatus().text, "No input ROM selected.");
    EXPECT_EQ(NoInputStatus().colour, kIdleRgb);
}

TEST(FormLogicTest, TheOutputDialogStartsWhereTheOutputWouldGo) {
    struct Case {
        const char* input;
        const char* output;
        const char* folder;
        const char* name;
    };
    const Case cases[] = {
        {"/roms/game.z64", "", "/roms", "game_krn.z64"},
        {"/roms/game.z64", "/roms/game_krn.z64", "/roms", "game_krn.z64"},
        {"/roms/game.z64", "/out/mine.v64", "/out", "mine.v64"},
        {"", "", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.input) + " | " + c.output);
        const SaveStart start = OutputDialogStart(c.input, c.output);
        EXPECT_EQ(start.folder, fs::path(c.folder));
        EXPECT_EQ(start.name, c.name);
    }
}

// An earlier output is replaced as it stands; anything else of the user's only after a yes.
TEST(FormLogicTest, OnlyAnEarlierOutputIsReplacedWithoutAQuestion) {
    const test::ScratchDir dir;
    const fs::path game = dir / "game.v64";
    WriteSampleImage(game, {.region = 'J', .v64 = true, .seed = 3});
    const fs::path other = dir / "other.z64";
    WriteSampleImage(other, {.region = 'E', .v64 = false, .seed = 4});
    const fs::path earlier = dir / "game_krn.v64";
    RomState state;
    ASSERT_EQ(PatchRom(state, {game.string(), earlier.string(), BuiltInPayload()}).outcome,
              PatchOutcome::Success);
    test::WriteBytes(dir / "notes.z64", {'h', 'i', '\n'});
    test::WriteBytes(dir / "zeros.z64", std::vector<std::uint8_t>(16u << 20));
    fs::create_directory(dir / "folder.z64");

    struct Case {
        const char* name;
        ExistingOutput kind;
        const char* question;  // how the question starts after the path; "" for none
    };
    const Case cases[] = {
        {"absent.z64", ExistingOutput::None, ""},
        {"folder.z64", ExistingOutput::None, ""},
        {"game_krn.v64", ExistingOutput::EarlierOutput, ""},
        {"game.v64", ExistingOutput::GameImage, " is an unpatched image of T-Flux X.\nReplace"},
        {"notes.z64", ExistingOutput::Foreign, " already exists and is not a T-Flux KRN image.\n"},
        {"zeros.z64", ExistingOutput::Foreign, " already exists and is not a T-Flux KRN image.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path output = dir / c.name;
        EXPECT_EQ(ClassifyOutput(output.string()), c.kind);
        // Through the patch as the window runs it, after the input's checks.
        const fs::path input = c.kind == ExistingOutput::GameImage ? other : game;
        const std::vector<std::uint8_t> before = c.kind == ExistingOutput::Foreign
                                                     ? test::ReadBytes(output)
                                                     : std::vector<std::uint8_t>();
        const PatchRequest request =
            WindowRequest(input.string(), output.string(), BuiltInPayload());
        const PatchResult result = PatchRom(state, request);
        const std::string question = ReplaceQuestion(result);
        if (*c.question == '\0') {
            EXPECT_EQ(question, "") << result.cause;
            continue;
        }
        EXPECT_EQ(question.rfind(output.string() + c.question, 0), 0u) << question;
        if (c.kind == ExistingOutput::Foreign) {
            EXPECT_EQ(test::ReadBytes(output), before);  // nothing written before the answer
            const PatchResult yes = PatchRom(state, Answered(request, result));
            EXPECT_EQ(yes.outcome, PatchOutcome::Success) << yes.cause;
            EXPECT_EQ(ClassifyOutput(output.string()), ExistingOutput::EarlierOutput);
        }
    }
}

TEST(FormLogicTest, PatchResultsBecomeTheMessagesTheWindowShows) {
    PatchResult success;
    success.outcome = PatchOutcome::Success;
    success.message = kMsgSuccess;
    PatchResult hashed = success;
    hashed.hashes = ImageDigests{{"0badf00d", "m", "5ha"}, std::nullopt};
    hashed.warning = "cannot flush /out";
    PatchResult refused;
    refused.outcome = PatchOutcome::Refused;
    refused.message = kMsgInvalidOutput;
    refused.cause = "/out is a folder";
    struct Case {
        const char* name;
        PatchResult result;
        MessageIcon icon;
        const char* detail;
    };
    const Case cases[] = {
        {"success", success, MessageIcon::Information, "/out/a.z64"},
        {"hashes and a warning", hashed, MessageIcon::Information,
         "/out/a.z64\nCRC32 0badf00d\nSHA-1 5ha (of the image in Z64 order)\ncannot flush /out"},
        {"refused", refused, MessageIcon::Critical, "/out is a folder"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const FormMessage message = PatchMessage(c.result, "/out/a.z64");
        EXPECT_EQ(message.icon, c.icon);
        EXPECT_EQ(message.text, c.result.message);
        EXPECT_EQ(message.detail, c.detail);
    }
    EXPECT_EQ(FailureMessage("disk").text,
              "An unknown error occured.\nRebooting may solve the problem.");
}

// A pack the user names is read as --payload reads it: refused with the file, the line and the
// track where known, or taken, after a question when its courses break the game's rules.
TEST(FormLogicTest, APackIsReadAsTheCommandLineReadsIt) {
    const test::ScratchDir dir;
    const auto builtIn = BuiltInPayload();
    test::WriteBytes(dir / "same.bin", {builtIn.begin(), builtIn.end()});
    const auto entries = LocatePayloadEntries(builtIn, builtIn.size());
    const std::vector<std::uint8_t> updater(
        builtIn.begin() + entries[0].offset,
        builtIn.begin() + entries[0].offset + entries[0].length);
    std::vector<std::vector<std::uint8_t>> records;
    for (int i = 0; i < 24; ++i) {
        records.push_back(test::MakeTrackRecord("Noise", "", 0, {}, 40 + i));
    }
    test::WriteContainer(dir / "noise.bin", updater, records);
    test::WriteBytes(dir / "short.bin", {'T', 'F', 'X'});
    fs::copy(TFLUX_PACK_DIR, dir / "source", fs::copy_options::recursive);
    fs::copy(TFLUX_PACK_DIR, dir / "broken", fs::copy_options::recursive);
    {
        std::ofstream json(dir / "broken" / "trackpack.json", std::ios::trunc);
        json << "{\n  \"tracks\": [ oops ]\n}\n";
    }

    struct Case {
        const char* name;  // "" for the built-in pack
        bool taken;
        const char* label;
        const char* concern;  // in the question; "" for no question
        const char* refusal;  // in the refusal's detail
    };
    const Case cases[] = {
        {"", true, "built-in pack", "", ""},
        {"same.bin", true, "same.bin", "", ""},
        {"source", true, "source", "", ""},
        {"noise.bin", true, "noise.bin", "track 1: the course is not valid: ", ""},
        {"short.bin", false, "", "", "short.bin: "},
        {"missing.bin", false, "", "", "missing.bin"},
        {"broken", false, "", "", "trackpack.json: line 2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(*c.name == '\0' ? "built-in" : c.name);
        const std::optional<fs::path> path =
            *c.name == '\0' ? std::nullopt : std::optional<fs::path>(dir / c.name);
        const PackOffer offer = ReadPack(path);
        ASSERT_EQ(offer.pack.has_value(), c.taken);
        if (!c.taken) {
            ASSERT_TRUE(offer.refusal);
            EXPECT_EQ(offer.refusal->text, kMsgInvalidPack);
            EXPECT_NE(offer.refusal->detail.find(c.refusal), std::string::npos)
                << offer.refusal->detail;
            continue;
        }
        EXPECT_EQ(PackLabel(*offer.pack), c.label);
        EXPECT_EQ(PackStatus(*offer.pack), *c.name == '\0' ? "" : std::string("pack: ") + c.label);
        if (*c.concern == '\0') {
            EXPECT_EQ(offer.question, "");
        } else {
            EXPECT_NE(offer.question.find(c.concern), std::string::npos) << offer.question;
            EXPECT_TRUE(offer.question.ends_with("Use it for the next patch?"));
        }
        // The patch may not write over what the pack was read from.
        for (const fs::path& file : offer.pack->files) {
            EXPECT_TRUE(RefusePackOutput(*offer.pack, file.string()));
        }
        EXPECT_FALSE(RefusePackOutput(*offer.pack, (dir / "out.z64").string()));
    }
    // The pack source compiles to the container the built-in pack is made from.
    EXPECT_EQ(ReadPack(dir / "source").pack->container, ReadPack(std::nullopt).pack->container);
}

}  // namespace
}  // namespace tflux::form
