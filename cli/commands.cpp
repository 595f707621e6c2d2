#include "cli/commands.h"

#include "cli/pack_commands.h"

#include <filesystem>
#include <future>
#include <nlohmann/json.hpp>
#include <ostream>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "app/patch.h"
#include "payload/builtin_payload.h"
#include "payload/container.h"
#include "rom/errors.h"
#include "rom/file.h"
#include "rom/identify.h"
#include "rom/text.h"

#ifndef _WIN32
#include <signal.h>
#endif
#ifdef __linux__
#include <sched.h>
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

    // The signal that arrived meanwhile and takes effect when this object goes; 0 for none.
    int Pending() const {
#ifndef _WIN32
        sigset_t pending;
        if (deferred_ && ::sigpending(&pending) == 0) {
            for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
                if (sigismember(&pending, signal) == 1) {
                    return signal;
                }
            }
        }
#endif
        return 0;
    }

  private:
#ifndef _WIN32
    sigset_t previous_{};
    bool deferred_ = false;
#endif
};

void ReportFailure(const std::string& cause, Streams io) {
    io.err << kMsgUnknown1 << '\n' << kMsgUnknown2 << '\n' << cause << '\n';
}

}  // namespace

int Presenting(Streams io, const std::function<int()>& body) {
    try {
        return body();
    } catch (const std::exception& e) {
        // An EngineError is one: its text is the whole cause as a person reads it.
        io.err << "tflux-krn-cli: " << e.what() << '\n';
        return ExitStatusOf(e);
    }
}

int Writing(const std::string& output, Streams io, const std::function<int()>& body) {
    const DeferredSignals defer;
    const int status = Presenting(io, body);
    if (const int signal = defer.Pending(); signal != 0) {
        io.err << "tflux-krn-cli: stopped by signal " << signal
               << (status == kExitOk ? ", once " + output + " was in place"
                                     : "; " + output + " is as it was")
               << std::endl;
    }
    return status;
}

std::optional<int> RefuseOutput(const std::string& output, OutputShape shape,
                                std::span<const fs::path> inputs, bool force, Streams io) {
    const std::optional<OutputRefusal> refusal = CheckOutput(output, shape, inputs, force);
    if (!refusal) {
        return std::nullopt;
    }
    io.err << kMsgInvalidOutput << '\n' << refusal->cause << '\n';
    if (refusal->gameImage) {
        io.err << "--force replaces it\n";
    }
    return kExitRefused;
}

namespace {

void PrintHashSet(const char* heading, const ImageHashes& hashes, Streams io) {
    io.out << heading << "\n  CRC32  " << hashes.crc32 << "\n  MD5    " << hashes.md5
           << "\n  SHA-1  " << hashes.sha1 << '\n';
}

// Z64 first: the lists of known dumps give the hashes of that form.
void PrintHashes(const ImageDigests& digests, ImageOrder order, Streams io) {
    PrintHashSet("Hashes of the image in Z64 order, as lists of dumps give them:", digests.z64, io);
    if (digests.stored) {
        const std::string heading =
            "Hashes of the file as stored (" + std::string(OrderLabel(order)) + "):";
        PrintHashSet(heading.c_str(), *digests.stored, io);
    }
}

nlohmann::json HashJson(const ImageHashes& hashes) {
    return {{"crc32", hashes.crc32}, {"md5", hashes.md5}, {"sha1", hashes.sha1}};
}

}  // namespace

namespace {

#ifdef __linux__
int CurrentCpu() {
    return ::sched_getcpu();
}

// Keeps the calling thread off `cpu` where another is free. The patch waits on the disk many
// times; woken, it finds its own CPU idle instead of sharing it with this thread, which cost
// the patch up to 2 of its 13 ms on a 2-core machine.
void KeepOffCpu(int cpu) {
    cpu_set_t allowed;
    if (cpu < 0 || cpu >= CPU_SETSIZE || ::sched_getaffinity(0, sizeof allowed, &allowed) != 0 ||
        !CPU_ISSET(cpu, &allowed) || CPU_COUNT(&allowed) < 2) {
        return;
    }
    CPU_CLR(cpu, &allowed);
    ::sched_setaffinity(0, sizeof allowed, &allowed);
}
#else
int CurrentCpu() {
    return -1;
}
void KeepOffCpu(int) {}
#endif

// A container file's course warnings, found on a second thread while the patch runs: the patch
// mostly waits on the disk, and judging 24 courses would otherwise double its time.
class CourseWarnings {
  public:
    void Start(std::span<const std::uint8_t> container) {
        try {
            pending_ = std::async(std::launch::async, [container, patchCpu = CurrentCpu()] {
                KeepOffCpu(patchCpu);
                return InvalidCourseWarnings(container);
            });
        } catch (const std::system_error&) {
            pending_ = std::async(std::launch::deferred, InvalidCourseWarnings, container);
        }
    }
    void Print(Streams io) {
        if (pending_.valid()) {
            for (const std::string& warning : pending_.get()) {
                io.err << "tflux-krn-cli: warning: " << warning << '\n';
            }
        }
    }

  private:
    std::future<std::vector<std::string>> pending_;
};

// Puts the --payload's container in `request` (its bytes kept in `chosen`); the exit status when
// the pack or the output is refused, or a failure stops the command before the patch.
std::optional<int> ChoosePayload(const std::optional<std::string>& payloadFile,
                                 PatchRequest& request, std::vector<std::uint8_t>& chosen,
                                 CourseWarnings& warnings, Streams io) {
    if (!payloadFile) {
        return std::nullopt;
    }
    try {
        LoadedPayload loaded = LoadPayloadFrom(payloadFile, io);
        // The patch reads the payload before it writes, but the user's pack would be lost.
        if (const auto refused =
                RefuseOutput(request.outputPath, OutputShape::File, loaded.files, true, io)) {
            return *refused;
        }
        chosen = std::move(loaded.container);
        request.container = chosen;
        // A pack source's courses were checked as it was read.
        if (loaded.kind == PayloadKind::Container) {
            warnings.Start(chosen);
        }
    } catch (const std::exception& e) {
        // A pack that is refused is the user's to mend; only a failure is "unknown".
        if (ExitStatusOf(e) == kExitRefused) {
            io.err << "tflux-krn-cli: " << e.what() << '\n';
            return kExitRefused;
        }
        ReportFailure(e.what(), io);
        return kExitFailed;
    }
    return std::nullopt;
}

}  // namespace

int Patch(const std::string& input, const std::optional<std::string>& output,
          const std::optional<std::string>& payloadFile, bool force, bool hashes, Streams io) {
    // From here on a stop request waits for a word: before the patch begins nothing is
    // written, during it the patch finishes or is undone.
    const DeferredSignals defer;
    PatchRequest request;
    request.hashes = hashes;
    request.inputPath = input;
    request.outputPath = output.value_or(DeriveOutputPath(input));
    request.replaceGameImage = force;
    std::vector<std::uint8_t> chosen;  // a --payload file's bytes, alive for the whole patch
    request.container = BuiltInPayload();
    CourseWarnings warnings;  // after `chosen`: it reads those bytes until it is done
    if (const std::optional<int> stopped =
            ChoosePayload(payloadFile, request, chosen, warnings, io)) {
        return *stopped;
    }
    if (const int signal = defer.Pending(); signal != 0) {
        io.err << "tflux-krn-cli: stopped by signal " << signal
               << " before the patch began; nothing was written" << std::endl;
        return kExitFailed;
    }
    RomState state;
    PatchResult result;
    {
        result = PatchRom(state, request);
        warnings.Print(io);
        if (const int signal = defer.Pending(); signal != 0) {
            io.err << "tflux-krn-cli: stopped by signal " << signal << ", "
                   << (result.outcome == PatchOutcome::Success
                           ? "once the patched image was in place"
                           : "once the patch was undone; the output is as it was")
                   << std::endl;
        }
    }
    switch (result.outcome) {
        case PatchOutcome::Success:
            io.out << result.message << '\n';
            if (result.hashes) {
                PrintHashes(*result.hashes, state.Order(), io);
            }
            if (!result.warning.empty()) {
                io.err << "tflux-krn-cli: warning: " << result.warning << '\n';
            }
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
    // Hashing reads the whole image: a read that fails then is a failure, not a refusal.
    return Presenting(io, [&] {
        RomState state;
        const InputStatus status = CheckInput(state, input);
        std::optional<ImageDigests> digests;
        if (status.accepted) {
            // The file identified, not whatever has taken its name since.
            digests = HashImageFile(PathFromText(input), state.Order(), nullptr, &state.RomStamp);
        }
        if (json) {
            nlohmann::json doc = {
                {"path", input},
                {"accepted", status.accepted},
                {"status", status.text},
                {"code", status.readable ? nlohmann::json(status.code) : nullptr}};
            if (!status.accepted) {
                doc["cause"] = status.cause;
            }
            if (status.accepted) {
                doc["region"] = state.RegionCode;
                doc["regionName"] = RegionName(state.RegionCode);
                doc["byteOrder"] = OrderLabel(state.Order());
                doc["order"] = OrderName(state.Order());
            }
            if (digests) {
                doc["hashes"] = {{"z64", HashJson(digests->z64)}};
                if (digests->stored) {
                    doc["hashes"]["stored"] = HashJson(*digests->stored);
                }
            }
            io.out << doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
        } else {
            io.out << status.text << '\n';
            if (!status.cause.empty()) {
                io.out << status.cause << '\n';
            }
            if (digests) {
                PrintHashes(*digests, state.Order(), io);
            }
        }
        return status.accepted ? kExitOk : kExitRefused;
    });
}

int PayloadUnpack(const std::optional<std::string>& payloadFile, const std::string& dir,
                  Streams io) {
    return Writing(dir, io, [&] {
        if (const auto refused = RefuseOutput(dir, OutputShape::Folder, {}, false, io)) {
            return *refused;
        }
        const std::vector<std::uint8_t> payload = LoadPayload(payloadFile, io);
        WriteFolderWhole(PathFromText(dir),
                         [&](const fs::path& folder) { ExtractPayload(folder, payload); });
        io.out << "Unpacked " << kPayloadEntries << " files into " << dir << '\n';
        return kExitOk;
    });
}

int PayloadPack(const std::string& sourceDir, const std::string& output, bool force, Streams io) {
    return Writing(output, io, [&] {
        const std::vector<fs::path> files = PackPayloadFiles(PathFromText(sourceDir));
        if (const auto refused = RefuseOutput(output, OutputShape::File, files, force, io)) {
            return *refused;
        }
        PackPayload(files, PathFromText(output));
        io.out << "Packed " << kPayloadEntries << " files into " << output << '\n';
        return kExitOk;
    });
}

}  // namespace tflux::cli
