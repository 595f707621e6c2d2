#include "cli/commands.h"

#include <charconv>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <ostream>
#include <vector>

#include "app/patch.h"
#include "payload/container.h"
#include "payload/track_record.h"
#include "rom/errors.h"
#include "rom/identify.h"

#ifndef _WIN32
#include <signal.h>
#endif

namespace tflux::cli {

namespace {

namespace fs = std::filesystem;

// Ctrl-C, a hang-up or a plain kill take effect once the patch has finished, or failed and
// tidied up, so that they never leave its unfinished file behind.
class DeferredSignals {
  public:
    DeferredSignals() {
#ifndef _WIN32
        sigset_t stop;
        sigemptyset(&stop);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
            sigaddset(&stop, signal);
        }
        deferred_ = ::sigprocmask(SIG_BLOCK, &stop, &previous_) == 0;
#endif
    }
    ~DeferredSignals() {
#ifndef _WIN32
        if (deferred_) {
            ::sigprocmask(SIG_SETMASK, &previous_, nullptr);
        }
#endif
    }
    DeferredSignals(const DeferredSignals&) = delete;
    DeferredSignals& operator=(const DeferredSignals&) = delete;

  private:
#ifndef _WIN32
    sigset_t previous_{};
    bool deferred_ = false;
#endif
};

// Larger than any container this program could carry; refuses /dev/zero-like inputs quickly.
constexpr std::size_t kMaxPayloadFile = 64u << 20;

// Texts from images and records are single-byte characters; terminals and JSON want UTF-8.
std::string Latin1ToUtf8(const std::string& bytes) {
    std::string text;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x80) {
            text += c;
        } else {
            text += static_cast<char>(0xC0 | (b >> 6));
            text += static_cast<char>(0x80 | (b & 0x3F));
        }
    }
    return text;
}

std::string FormatValue(float value) {
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::vector<std::uint8_t> LoadPayload(const std::optional<std::string>& payloadFile) {
    if (!payloadFile) {
        const auto builtIn = BuiltInPayload();
        return {builtIn.begin(), builtIn.end()};
    }
    const std::string bytes = ReadWholeFile(*payloadFile, kMaxPayloadFile);
    return {bytes.begin(), bytes.end()};
}

void ReportFailure(const std::string& cause, Streams io) {
    io.err << kMsgUnknown1 << '\n' << kMsgUnknown2 << '\n' << cause << '\n';
}

}  // namespace

int Patch(const std::string& input, const std::optional<std::string>& output,
          const std::optional<std::string>& payloadFile, bool force, Streams io) {
    PatchRequest request;
    request.inputPath = input;
    request.outputPath = output.value_or(DeriveOutputPath(input));
    request.replaceGameImage = force;
    try {
        if (payloadFile) {
            request.payload = LoadPayload(payloadFile);
        }
    } catch (const std::exception& e) {
        ReportFailure(e.what(), io);
        return kExitFailed;
    }
    RomState state;
    PatchResult result;
    {
        const DeferredSignals defer;
        result = PatchRom(state, request);
    }
    switch (result.outcome) {
        case PatchOutcome::Success:
            io.out << result.message << '\n';
            return kExitOk;
        case PatchOutcome::Refused:
            io.err << result.message << '\n' << result.cause << '\n';
            if (result.outputIsGameImage) {
                io.err << "--force replaces it\n";
            }
            return kExitRefused;
        case PatchOutcome::Failed:
            break;
    }
    ReportFailure(result.cause, io);
    return kExitFailed;
}

int Identify(const std::string& input, bool json, Streams io) {
    RomState state;
    const InputStatus status = CheckInput(state, input);
    if (json) {
        nlohmann::json doc = {{"path", input},
                              {"accepted", status.accepted},
                              {"status", status.text},
                              {"code", status.readable ? nlohmann::json(status.code) : nullptr}};
        if (!status.accepted) {
            doc["cause"] = status.cause;
        }
        if (status.accepted) {
            doc["region"] = state.RegionCode;
            doc["regionName"] = RegionName(state.RegionCode);
            doc["byteOrder"] = state.IsByteSwapped ? "V64" : "Z64";
        }
        io.out << doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    } else {
        io.out << status.text << '\n';
        if (!status.cause.empty()) {
            io.out << status.cause << '\n';
        }
    }
    return status.accepted ? kExitOk : kExitRefused;
}

int PayloadList(const std::optional<std::string>& payloadFile, bool json, Streams io) {
    try {
        const std::vector<std::uint8_t> payload = LoadPayload(payloadFile);
        const auto entries = LocatePayloadEntries(payload, payload.size());
        RomState state;
        nlohmann::json doc = nlohmann::json::array();
        for (int entry = 1; entry < kPayloadEntries; ++entry) {
            const PayloadEntry& e = entries[static_cast<std::size_t>(entry)];
            const std::string name = PayloadEntryName(entry);  // "N.dat" is track N
            const int track = std::stoi(name);
            LoadDat(state, std::span(payload).subspan(e.offset, e.length), track);
        }
        for (int track = 1; track <= kTrackCount; ++track) {
            const auto i = static_cast<std::size_t>(track - 1);
            const TrackParamSet& params = state.TrackParams[i];
            nlohmann::json list = nlohmann::json::array();
            for (std::size_t k = 0; k < params.Count; ++k) {
                list.push_back({{"code", params.Codes[k]}, {"value", params.Values[k]}});
            }
            if (json) {
                doc.push_back({{"track", track},
                               {"name", Latin1ToUtf8(state.TrackNames[i])},
                               {"subtitle", Latin1ToUtf8(state.TrackSubtitles[i])},
                               {"attribute", state.TrackAttrs[i]},
                               {"params", list}});
                continue;
            }
            io.out << track << "\t" << Latin1ToUtf8(state.TrackNames[i]) << "\t"
                   << Latin1ToUtf8(state.TrackSubtitles[i]) << "\tattr=0x" << std::hex
                   << static_cast<int>(state.TrackAttrs[i]) << std::dec << "\tparams=";
            for (std::size_t k = 0; k < params.Count; ++k) {
                io.out << (k == 0 ? "" : ",") << static_cast<int>(params.Codes[k]) << ":"
                       << FormatValue(params.Values[k]);
            }
            io.out << '\n';
        }
        if (json) {
            io.out << doc.dump(2) << '\n';
        }
        return kExitOk;
    } catch (const std::exception& e) {
        io.err << "tflux-krn-cli: " << e.what() << '\n';
        return kExitFailed;
    }
}

int PayloadUnpack(const std::optional<std::string>& payloadFile, const std::string& dir,
                  Streams io) {
    try {
        const std::vector<std::uint8_t> payload = LoadPayload(payloadFile);
        std::error_code ec;
        if (!fs::is_directory(dir, ec)) {
            io.err << "tflux-krn-cli: " << dir << " is not a folder\n";
            return kExitFailed;
        }
        ExtractPayload(dir, payload);
        io.out << "Unpacked " << kPayloadEntries << " files into " << dir << '\n';
        return kExitOk;
    } catch (const std::exception& e) {
        io.err << "tflux-krn-cli: " << e.what() << '\n';
        return kExitFailed;
    }
}

int PayloadPack(const std::string& sourceDir, const std::string& output, Streams io) {
    try {
        PackPayload(sourceDir, output);
        io.out << "Packed " << kPayloadEntries << " files into " << output << '\n';
        return kExitOk;
    } catch (const std::exception& e) {
        io.err << "tflux-krn-cli: " << e.what() << '\n';
        return kExitFailed;
    }
}

}  // namespace tflux::cli
