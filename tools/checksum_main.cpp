// tflux-krn-checksum: recomputes or checks the header checksums of a cartridge image.
// Exit status: 0 done (with -v: the checksums match); 1 not done: with -v the checksums differ,
// or the image could not be read, was not an image or could not be written; 2 usage error.

#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <iostream>
#include <optional>
#include <string>

#include "rom/checksum.h"
#include "rom/errors.h"
#include "rom/exit_status.h"
#include "rom/file.h"
#include "rom/text.h"

namespace {

// One status for every way the image fails: a script checking an image wants a yes or a no,
// and the message on standard error says which it was.
constexpr int kExitImageFailed = 1;
constexpr const char* kProgram = "tflux-krn-checksum";

std::optional<tflux::ImageOrder> ParseOrder(const std::string& name) {
    for (const tflux::ImageOrder order : tflux::kImageOrders) {
        if (name == tflux::OrderName(order)) {
            return order;
        }
    }
    return std::nullopt;
}

void PrintWords(const char* label, const tflux::HeaderCrc& crc) {
    std::printf("%s CRC1 0x%08X CRC2 0x%08X\n", label, static_cast<unsigned>(crc.crc1),
                static_cast<unsigned>(crc.crc2));
}

void PrintHeading(const std::string& path, const tflux::ChecksumReport& report) {
    std::printf("%s: CIC %s, %s\n", path.c_str(), tflux::CicName(report.variant).c_str(),
                std::string(tflux::OrderName(report.order)).c_str());
}

// What the command line asks for; exactly one of the two paths is given.
struct Request {
    std::string updatePath;
    std::string verifyPath;
    std::string orderName;
    std::string cicName;
    CLI::Option* update = nullptr;
    CLI::Option* verify = nullptr;
};

void AddOptions(CLI::App& app, Request& r) {
    r.update = app.add_option("-u,--update", r.updatePath,
                              "Recompute the checksums and write them into the image in place")
                   ->option_text("PATH");
    r.verify =
        app.add_option("-v,--verify", r.verifyPath,
                       "Compare the stored checksums with computed ones (exit 1 when they differ)")
            ->option_text("PATH");
    r.update->excludes(r.verify);
    app.add_option("--order", r.orderName, "Byte order of the image instead of detecting it")
        ->option_text("z64|v64|n64")
        ->check(CLI::IsMember({"z64", "v64", "n64"}));
    app.add_option("--cic", r.cicName,
                   "Checksum variant instead of detecting it from the boot code")
        ->option_text("NAME")
        ->check(CLI::Validator(
            [](std::string& name) {
                return tflux::ParseCic(name) ? std::string()
                                             : "unknown variant " + name +
                                                   " (6101, 6102, 6103, 6105, 6106 or 7101..7106)";
            },
            "NAME"));
}

int Update(const std::string& path, std::optional<tflux::ImageOrder> order,
           std::optional<tflux::CicVariant> variant) {
    tflux::File image = tflux::File::Open(tflux::PathFromText(path), tflux::OpenMode::ReadWrite);
    const tflux::ChecksumReport report = tflux::UpdateChecksum(image, order, variant);
    // Rewritten by someone else between the reading and the writing, the image would carry
    // words computed over what it no longer holds: the words must fit what is there now.
    if (const tflux::ChecksumReport now =
            tflux::VerifyChecksum(image, report.order, report.variant);
        now.stored != now.computed) {
        throw tflux::EngineError("cannot update the checksum of " + path +
                                 ": the input changed while it was read");
    }
    // Close reports a deferred write error that the writes themselves did not.
    image.Close();
    PrintHeading(path, report);
    PrintWords("written", report.stored);
    return 0;
}

int Verify(const std::string& path, std::optional<tflux::ImageOrder> order,
           std::optional<tflux::CicVariant> variant) {
    tflux::File image = tflux::File::Open(tflux::PathFromText(path), tflux::OpenMode::Read);
    const tflux::ChecksumReport report = tflux::VerifyChecksum(image, order, variant);
    PrintHeading(path, report);
    PrintWords("stored  ", report.stored);
    PrintWords("computed", report.computed);
    const bool match = report.stored == report.computed;
    std::printf("%s\n", match ? "checksums match" : "checksums differ");
    return match ? 0 : kExitImageFailed;
}

int Run(const Request& r) {
    const bool updating = r.update->count() > 0;
    const std::string& path = updating ? r.updatePath : r.verifyPath;
    const std::optional<tflux::ImageOrder> order =
        r.orderName.empty() ? std::nullopt : ParseOrder(r.orderName);
    const std::optional<tflux::CicVariant> variant =
        r.cicName.empty() ? std::nullopt : tflux::ParseCic(r.cicName);
    try {
        return updating ? Update(path, order, variant) : Verify(path, order, variant);
    } catch (const tflux::EngineError& e) {
        std::cerr << kProgram << ": " << e.what() << "\n";
    } catch (const std::exception& e) {
        std::cerr << kProgram << ": " << path << ": " << e.what() << "\n";
    }
    return kExitImageFailed;
}

}  // namespace

int main(int argc, char** argv) {
    const tflux::Utf8Console console;
    CLI::App app{"Recomputes or checks the header checksums (CRC1, CRC2) of a cartridge image.",
                 kProgram};
    // A path that starts with a slash, which Windows takes too, is a path, not an option.
    app.allow_windows_style_options(false);
    app.set_version_flag("--version", std::string(kProgram) + " " + TFLUX_VERSION);
    app.footer(
        "Exit status: 0 done (the checksums match), 1 the image failed (its checksums differ,\n"
        "or it could not be read or written), 2 usage error.");
    Request request;
    AddOptions(app, request);
    try {
        tflux::ParseCommandLine(app, argc, argv);
        if (request.update->count() + request.verify->count() != 1) {
            throw CLI::RequiredError("one of -u PATH or -v PATH");
        }
    } catch (const CLI::ParseError& e) {
        return tflux::ParseErrorExit(app, e);
    }
    return Run(request);
}
