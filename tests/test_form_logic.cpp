// What the window decides, without a window: the toolkit-free unit both windows present.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/form_logic.h"
#include "payload/builtin_payload.h"
#include "romtables/sample_image.h"
#include "support/test_util.h"

namespace tflux::form {
namespace {

namespace fs = std::filesystem;

TEST(FormLogicTest, TheStatusLineCarriesTheRefusalAsPatchWordsIt) {
    struct Case {
        InputStatus status;
        const char* text;
        Rgb colour;
        const char* detail;  // the tooltip and the screen reader's description
    };
    const Case cases[] = {
        {{true, true, kRomOk, "File Version: PAL (Z64)", ""},
         "File Version: PAL (Z64)",
         kAcceptedRgb,
         ""},
        {{false, false, kRomAccessError, "", "a.z64: No such file or directory"},
         "Invalid input file",
         kRefusedRgb,
         "Invalid input ROM file\na.z64: No such file or directory"},
        {{false, true, kRomBadRegion, "File Error: Bad ROM region code", "region letter is 'Q'"},
         "File Error: Bad ROM region code",
         kRefusedRgb,
         "Bad ROM region code\nregion letter is 'Q'"},
    };
    ChosenPack own = BuiltInPack();
    own.path = "/packs/mine";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const StatusLine line = StatusOf(c.status);
        EXPECT_EQ(StatusText(line, BuiltInPack()), c.text);
        EXPECT_EQ(line.colour, c.colour);
        EXPECT_EQ(StatusDetail(line, BuiltInPack()), c.detail);
        EXPECT_EQ(StatusText(line, own), std::string(c.text) + " \u00b7 pack: mine");
        EXPECT_TRUE(StatusDetail(line, own).ends_with("Track pack: /packs/mine"));
    }
}

TEST(FormLogicTest, TheOutputDialogStartsWhereTheOutputWouldGo) {
    const char* const cases[][4] = {
        {"/roms/game.z64", "", "/roms", "game_krn.z64"},
        {"/roms/game.z64", "/out/mine.v64", "/out", "mine.v64"},
        {"", "", "", ""},
    };
    for (const auto& [input, output, folder, name] : cases) {
        SCOPED_TRACE(input);
        const SaveStart start = OutputDialogStart(input, output);
        EXPECT_EQ(start.folder, fs::path(folder));
        EXPECT_EQ(start.name, name);
    }
}

// An earlier output is replaced as it stands; anything else of the user's only after a yes.
TEST(FormLogicTest, OnlyAnEarlierOutputIsReplacedWithoutAQuestion) {
    const test::ScratchDir dir;
    WriteSampleImage(dir / "game.v64", {.region = 'J', .v64 = true, .seed = 3});
    WriteSampleImage(dir / "dump.z64", {.region = 'E', .v64 = false, .seed = 4});
    RomState state;
    const auto patch = [&](const PatchRequest& request) { return PatchRom(state, request); };
    const std::string game = (dir / "game.v64").string();
    ASSERT_EQ(patch({game, (dir / "earlier.v64").string(), BuiltInPayload()}).outcome,
              PatchOutcome::Success);
    test::WriteBytes(dir / "notes.z64", {'h', 'i', '\n'});
    test::WriteBytes(dir / "zeros.z64", std::vector<std::uint8_t>(16u << 20));
    const std::pair<const char*, const char*> cases[] = {
        {"absent.z64", ""},
        {"earlier.v64", ""},
        {"dump.z64", " is an unpatched image of T-Flux X.\nReplace it with the patched image?"},
        {"notes.z64", " already exists and is not a T-Flux KRN image.\nReplace it with the"},
        {"zeros.z64", " already exists and is not a T-Flux KRN image.\nReplace it with the"},
    };
    for (const auto& [name, question] : cases) {
        SCOPED_TRACE(name);
        const fs::path output = dir / name;
        const std::vector<std::uint8_t> before =
            fs::exists(output) ? test::ReadBytes(output) : std::vector<std::uint8_t>();
        const PatchRequest request = WindowRequest(game, output.string(), BuiltInPayload());
        const PatchResult result = patch(request);
        const std::string asked = ReplaceQuestion(result);
        if (*question == '\0') {
            EXPECT_EQ(asked, "") << result.cause;
            continue;
        }
        EXPECT_EQ(asked.rfind(output.string() + question, 0), 0u) << asked;
        EXPECT_EQ(test::ReadBytes(output), before);  // nothing written before the answer
        EXPECT_EQ(patch(Answered(request, result)).outcome, PatchOutcome::Success);
        EXPECT_EQ(ClassifyOutput(output.string()), ExistingOutput::EarlierOutput);
    }
}

// A pack is read as --payload reads it: refused with the file, the line and the track where
// known, or taken, after a question when its courses break the game's rules.
TEST(FormLogicTest, APackIsReadAsTheCommandLineReadsIt) {
    const test::ScratchDir dir;
    std::vector<std::vector<std::uint8_t>> records;
    for (int i = 0; i < 24; ++i) {
        records.push_back(test::MakeTrackRecord("Noise", "", 0, {}, 40 + i));
    }
    test::WriteContainer(dir / "noise.bin", {'M', 'Z'}, records);
    test::WriteBytes(dir / "short.bin", {'T', 'F', 'X'});
    fs::copy(TFLUX_PACK_DIR, dir / "source", fs::copy_options::recursive);
    fs::copy(TFLUX_PACK_DIR, dir / "broken", fs::copy_options::recursive);
    test::WriteBytes(dir / "broken" / "trackpack.json", {'{', '\n', ']', '\n'});
    struct Case {
        const char* name;  // "" for the built-in pack
        const char* label;
        const char* concern;  // in the question, or in the refusal when there is no label
    };
    const Case cases[] = {
        {"", "built-in pack", ""},
        {"source", "source", ""},
        {"noise.bin", "noise.bin", "track 1: the course is not valid: "},
        {"short.bin", "", "short.bin: "},
        {"missing.bin", "", "missing.bin"},
        {"broken", "", "trackpack.json: line 2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const PackOffer offer =
            ReadPack(*c.name == '\0' ? std::nullopt : std::optional<fs::path>(dir / c.name));
        ASSERT_EQ(offer.pack.has_value(), *c.label != '\0');
        if (!offer.pack) {
            EXPECT_EQ(offer.refusal->text, kMsgInvalidPack);
            EXPECT_NE(offer.refusal->detail.find(c.concern), std::string::npos)
                << offer.refusal->detail;
            continue;
        }
        EXPECT_EQ(PackLabel(*offer.pack), c.label);
        EXPECT_EQ(offer.question.empty(), *c.concern == '\0') << offer.question;
        EXPECT_NE(offer.question.find(c.concern), std::string::npos) << offer.question;
        // The patch may not write over what the pack was read from.
        for (const fs::path& file : offer.pack->files) {
            EXPECT_TRUE(RefusePackOutput(*offer.pack, file.string()));
        }
        EXPECT_FALSE(RefusePackOutput(*offer.pack, (dir / "out.z64").string()));
    }
}

}  // namespace
}  // namespace tflux::form
