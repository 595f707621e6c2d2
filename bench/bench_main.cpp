// tflux-krn-bench: the patch as users run it, against the cost of copying the image durably and
// against applying the same change with xdelta3, on a generated image, in one interleaved run;
// then the instructions a few commands cost, counted by callgrind.
//
//   tflux-krn-bench --bin DIR --work DIR [--runs N] [--json FILE] [--xdelta3 PROGRAM] [--pack DIR]
//                   [--valgrind PROGRAM]

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/statfs.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "course/course.h"
#include "pack/load_payload.h"
#include "rom/checksum.h"
#include "rom/exit_status.h"
#include "rom/file.h"
#include "romtables/sample_image.h"

namespace fs = std::filesystem;

namespace {

// Ratios the patch is held to, against commands timed in the same run.
constexpr double kTargetOverFloor = 1.25;
// The patch given a container file also reads and checks it, and still comes close to cp.
constexpr double kTargetPayloadOverFloor = 1.15;
constexpr double kTargetOverXdelta = 0.35;
constexpr double kTargetPeakRssMiB = 8.0;
// Instructions per run under callgrind, start-up and exit included: unlike times, they hold
// still from one machine and one load to the next.
constexpr std::uint64_t kBudgetPayloadCheckIr = 60'000'000;
constexpr std::uint64_t kBudgetMapTrackIr = 150'000'000;

struct Options {
    fs::path bin;
    fs::path work;
    int runs = 31;
    fs::path json;
    std::string xdelta3 = "xdelta3";
    fs::path pack;  // a pack source folder, for the pack commands
    std::string valgrind = "valgrind";
};

struct Sample {
    double ms = 0;
    long maxRssKiB = 0;
};

[[noreturn]] void Die(const std::string& message) {
    std::cerr << "tflux-krn-bench: " << message << '\n';
    std::exit(1);
}

double NowMs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// Runs a program to its end, its output thrown away; the time is the parent's view of the
// whole process, start-up and exit included.
Sample Run(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    const double start = NowMs();
    const pid_t pid = ::fork();
    if (pid < 0) {
        Die(std::string("fork: ") + std::strerror(errno));
    }
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) {
            ::dup2(null, STDOUT_FILENO);
        }
        ::execvp(args[0], args.data());
        std::fprintf(stderr, "tflux-krn-bench: cannot run %s: %s\n", args[0], std::strerror(errno));
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            Die(std::string("wait4: ") + std::strerror(errno));
        }
    }
    const double elapsed = NowMs() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string line;
        for (const std::string& a : argv) {
            line += (line.empty() ? "" : " ") + a;
        }
        Die("command failed (status " + std::to_string(status) + "): " + line);
    }
    return {elapsed, usage.ru_maxrss};
}

// Compared a block at a time: the driver holds no image while it runs the commands, since a
// forked child starts out with the parent's resident pages and would be charged for them.
bool SameContents(const fs::path& a, const fs::path& b) {
    const tflux::File fa = tflux::File::Open(a, tflux::OpenMode::Read);
    const tflux::File fb = tflux::File::Open(b, tflux::OpenMode::Read);
    if (fa.Size() != fb.Size()) {
        return false;
    }
    std::vector<std::uint8_t> ba(1 << 16), bb(1 << 16);
    for (std::uint64_t offset = 0; offset < fa.Size(); offset += ba.size()) {
        const std::size_t na = fa.ReadSome(offset, ba);
        if (fb.ReadSome(offset, bb) != na || !std::equal(ba.begin(), ba.begin() + na, bb.begin())) {
            return false;
        }
    }
    return true;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The file system holding `path`, from the longest mount point that contains it.
std::string FileSystemOf(const fs::path& path) {
    const std::string target = fs::canonical(path).string();
    std::ifstream mounts("/proc/self/mounts");
    std::string device, point, type, rest, best = "unknown";
    std::size_t bestLength = 0;
    while (mounts >> device >> point >> type && std::getline(mounts, rest)) {
        const bool contains = target == point || point == "/" || target.rfind(point + "/", 0) == 0;
        if (contains && point.size() >= bestLength) {
            best = type;
            bestLength = point.size();
        }
    }
    return best;
}

std::string CpuModel() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) == 0) {
            const std::size_t colon = line.find(':');
            if (colon != std::string::npos) {
                return line.substr(line.find_first_not_of(' ', colon + 1));
            }
        }
    }
    return "unknown";
}

void SyncFileSystem(const fs::path& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::syncfs(fd);
        ::close(fd);
    }
}

struct Command {
    std::string name;
    std::string shown;  // as printed in the table
    fs::path output;
    std::vector<std::vector<std::string>> steps;  // run one after another, timed together
    std::vector<double> ms;
    long maxRssKiB = 0;
};

// CRC over the checksummed range alone, beside a plain read of the same bytes from the cached
// file; each pass timed on its own, so that a preempted pass moves the median by one place.
nlohmann::json TimeChecksum(const fs::path& image, int passes) {
    tflux::File file = tflux::File::Open(image, tflux::OpenMode::Read);
    std::vector<std::uint8_t> head(tflux::kChecksumEnd);
    file.ReadAt(0, head);
    const tflux::CicVariant variant = tflux::DetectCic(head);
    std::vector<double> crcUs, readUs;
    volatile std::uint32_t sink = 0;  // keeps the passes from being optimised away
    for (int p = 0; p < passes; ++p) {
        double start = NowMs();
        const tflux::HeaderCrc crc = tflux::CalculateChecksum(head, variant);
        crcUs.push_back((NowMs() - start) * 1e3);
        sink = sink ^ crc.crc1 ^ crc.crc2;
        start = NowMs();
        file.ReadAt(0, head);
        readUs.push_back((NowMs() - start) * 1e3);
        sink = sink ^ head[tflux::kChecksumStart];
    }
    const double bytes = static_cast<double>(tflux::kChecksumEnd - tflux::kChecksumStart);
    const double crc = Median(crcUs), read = Median(readUs);
    return {{"range_bytes", tflux::kChecksumEnd - tflux::kChecksumStart},
            {"variant", tflux::CicName(variant)},
            {"passes", passes},
            {"checksum_us", crc},
            {"checksum_mb_s", bytes / crc},
            {"read_bytes", tflux::kChecksumEnd},
            {"read_us", read},
            {"read_mb_s", static_cast<double>(tflux::kChecksumEnd) / read}};
}

// The course validator in this process on the built-in pack's courses: each pass judges all of
// them (problems and figures, as payload list does); the median pass, per course, and the work
// the validator counts per course (road samples and runs of samples it looked at).
nlohmann::json TimeValidator(int passes) {
    const std::vector<tflux::PackEntry> tracks =
        tflux::ReadPackTracks(tflux::LoadPayload(std::nullopt).container);
    std::vector<double> us;
    std::size_t work = 0;
    std::size_t invalid = 0;
    for (int p = 0; p < passes; ++p) {
        work = 0;
        invalid = 0;
        const double start = NowMs();
        for (const tflux::PackEntry& t : tracks) {
            const tflux::CourseJudgement judged = tflux::JudgeCourse(t.course);
            work += judged.work;
            invalid += judged.problems.empty() ? 0 : 1;
        }
        us.push_back((NowMs() - start) * 1e3);
    }
    const double courses = static_cast<double>(tracks.size());
    return {{"courses", tracks.size()},
            {"passes", passes},
            {"invalid", invalid},
            {"per_course_us", Median(us) / courses},
            {"work_per_course", static_cast<double>(work) / courses}};
}

// Whether the file system can share the image's blocks with a copy: where it can, cp and the
// patch both clone instead of copying, and neither writes 16 MiB.
bool CanReflink(const fs::path& image, const fs::path& probe) {
    fs::remove(probe);
    const int from = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
    const int to = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    const bool shared = from >= 0 && to >= 0 && ::ioctl(to, FICLONE, from) == 0;
    if (from >= 0) {
        ::close(from);
    }
    if (to >= 0) {
        ::close(to);
    }
    fs::remove(probe);
    return shared;
}

void AddOptions(CLI::App& app, Options& options) {
    app.add_option("--bin", options.bin, "Folder holding tflux-krn-cli")->required();
    app.add_option("--work", options.work, "Folder for the image and the outputs (made if missing)")
        ->required();
    // Fewer runs leave too few samples for a median that holds still from one run to the next.
    app.add_option("--runs", options.runs, "Interleaved rounds")
        ->check(CLI::Range(15, std::numeric_limits<int>::max()).description("at least 15"))
        ->capture_default_str();
    app.add_option("--json", options.json, "Also write the results to this file as JSON");
    app.add_option("--xdelta3", options.xdelta3, "The xdelta3 program to compare with")
        ->capture_default_str();
    app.add_option("--pack", options.pack,
                   "Pack source folder: times payload check and payload build on it too");
    app.add_option("--valgrind", options.valgrind,
                   "The valgrind program that counts instructions (rows say so when missing)")
        ->capture_default_str();
}

std::string Fixed(double value, int digits) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", digits, value);
    return buffer;
}

// The files of one run, all in the work folder, and the program under test.
struct Setup {
    fs::path work;
    fs::path image;
    fs::path reference;
    fs::path delta;
    fs::path container;  // the built-in pack as a file, for patch --payload
    std::string cli;
};

// Untimed: the image, the patch's own output as the reference, a VCDIFF delta that turns the
// image into exactly that output, and the built-in container written out, which patches the
// image into the same output.
Setup Prepare(const Options& options) {
    fs::create_directories(options.work);
    Setup setup;
    setup.work = fs::canonical(options.work);
    setup.image = setup.work / "image.z64";
    setup.reference = setup.work / "reference.z64";
    setup.delta = setup.work / "image.vcdiff";
    setup.container = setup.work / "payload.dat";
    setup.cli = (fs::absolute(options.bin) / "tflux-krn-cli").string();
    tflux::WriteSampleImage(setup.image, {});
    tflux::WriteFileWhole(setup.container, tflux::LoadPayload(std::nullopt).container);
    fs::remove(setup.reference);
    Run({setup.cli, "patch", setup.image.string(), setup.reference.string()});
    Run({options.xdelta3, "-e", "-f", "-s", setup.image.string(), setup.reference.string(),
         setup.delta.string()});
    return setup;
}

// The patch, its floor, xdelta3 and the patch given a container file, in that order: the
// report reads them by position too.
std::vector<Command> ImageCommands(const Setup& setup, const Options& options) {
    std::vector<Command> commands = {
        {"patch", "tflux-krn-cli patch", setup.work / "out-patch.z64", {}, {}, 0},
        {"floor", "cp + sync (floor)", setup.work / "out-floor.z64", {}, {}, 0},
        {"xdelta3", "xdelta3 -d", setup.work / "out-xdelta3.z64", {}, {}, 0},
        {"patch_payload",
         "tflux-krn-cli patch --payload",
         setup.work / "out-patch-payload.z64",
         {},
         {},
         0},
    };
    const std::string image = setup.image.string();
    commands[0].steps = {{setup.cli, "patch", image, commands[0].output.string()}};
    commands[1].steps = {{"cp", image, commands[1].output.string()},
                         {"sync", commands[1].output.string()}};
    commands[2].steps = {
        {options.xdelta3, "-d", "-s", image, setup.delta.string(), commands[2].output.string()}};
    commands[3].steps = {{setup.cli, "patch", "--payload", setup.container.string(), image,
                          commands[3].output.string()}};
    return commands;
}

// The outputs are compared once before anything is timed.
void CheckOutputs(const std::vector<Command>& commands, const Setup& setup) {
    for (const Command& command : commands) {
        fs::remove(command.output);
        for (const auto& step : command.steps) {
            Run(step);
        }
    }
    if (!SameContents(commands[0].output, setup.reference) ||
        !SameContents(commands[2].output, setup.reference) ||
        !SameContents(commands[3].output, setup.reference)) {
        Die("the patch, xdelta3 and the patch with --payload do not produce the same output");
    }
    if (!SameContents(commands[1].output, setup.image)) {
        Die("cp did not reproduce the image");
    }
}

// Interleaved: each round runs every command once, the order rotating round by round.
void TimeInterleaved(std::vector<Command>& commands, int runs, const fs::path& work) {
    for (int round = 0; round < runs; ++round) {
        for (std::size_t k = 0; k < commands.size(); ++k) {
            Command& command = commands[(static_cast<std::size_t>(round) + k) % commands.size()];
            // Untimed: the previous output goes and its removal reaches the disk, so every
            // run writes a whole new file from the same starting point.
            fs::remove(command.output);
            SyncFileSystem(work);
            double ms = 0;
            for (const auto& step : command.steps) {
                const Sample sample = Run(step);
                ms += sample.ms;
                command.maxRssKiB = std::max(command.maxRssKiB, sample.maxRssKiB);
            }
            command.ms.push_back(ms);
        }
    }
}

// The pack commands on the bundled pack: each run checks or compiles all 24 courses.
std::vector<Command> TimePackCommands(const Setup& setup, const Options& options) {
    if (options.pack.empty()) {
        return {};
    }
    const fs::path container = setup.work / "pack.dat";
    const fs::path maps = setup.work / "maps";
    std::vector<Command> commands = {
        {"payload_check",
         "tflux-krn-cli payload check",
         {},
         {{setup.cli, "payload", "check"}},
         {},
         0},
        {"payload_build",
         "tflux-krn-cli payload build",
         container,
         {{setup.cli, "payload", "build", fs::absolute(options.pack).string(), container.string()}},
         {},
         0},
        // The built-in pack's courses drawn: every map and the sheet, then one map alone.
        {"payload_map",
         "tflux-krn-cli payload map",
         {},
         {{setup.cli, "payload", "map", maps.string()}},
         {},
         0},
        {"payload_map_track",
         "tflux-krn-cli payload map --track 1",
         {},
         {{setup.cli, "payload", "map", "--track", "1", (setup.work / "map.png").string()}},
         {},
         0},
    };
    for (int round = 0; round < options.runs; ++round) {
        for (Command& command : commands) {
            fs::remove_all(maps);  // the maps go into a new folder each time, as they must
            const Sample sample = Run(command.steps[0]);
            command.ms.push_back(sample.ms);
            command.maxRssKiB = std::max(command.maxRssKiB, sample.maxRssKiB);
        }
    }
    fs::remove(container);
    fs::remove_all(maps);
    fs::remove(setup.work / "map.png");
    return commands;
}

// One command's figures as the JSON holds them; the image commands keep every run too.
nlohmann::json CommandRow(const Command& command, bool withRuns) {
    const auto [low, high] = std::minmax_element(command.ms.begin(), command.ms.end());
    nlohmann::json row = {
        {"name", command.name}, {"command", command.shown}, {"median_ms", Median(command.ms)},
        {"min_ms", *low},       {"max_ms", *high},          {"peak_rss_kib", command.maxRssKiB}};
    if (withRuns) {
        row["runs_ms"] = command.ms;
    }
    return row;
}

nlohmann::json CommandRows(const std::vector<Command>& commands, bool withRuns) {
    nlohmann::json rows = nlohmann::json::array();
    for (const Command& command : commands) {
        rows.push_back(CommandRow(command, withRuns));
    }
    return rows;
}

nlohmann::json MachineFacts(const Setup& setup) {
    utsname uts{};
    ::uname(&uts);
    return {{"cpu", CpuModel()},
            {"cores", ::sysconf(_SC_NPROCESSORS_ONLN)},
            {"kernel", std::string(uts.sysname) + " " + uts.release},
            {"file_system", FileSystemOf(setup.work)},
            {"reflink", CanReflink(setup.image, setup.work / "reflink-probe")},
            {"temporary_file_system", FileSystemOf(fs::temp_directory_path())}};
}

// The patch against the other image commands, as their medians stand.
struct Ratios {
    double overFloor = 0;
    double overXdelta = 0;
    // What any patch that flushes its 16 MiB could reach against xdelta3, which does not.
    double floorOverXdelta = 0;
    double patchRssMiB = 0;
    double payloadOverFloor = 0;

    bool MeetTargets() const {
        return overFloor <= kTargetOverFloor && overXdelta <= kTargetOverXdelta &&
               patchRssMiB <= kTargetPeakRssMiB && payloadOverFloor <= kTargetPayloadOverFloor;
    }
};

Ratios RatiosOf(const std::vector<Command>& commands) {
    const double patch = Median(commands[0].ms);
    const double floor = Median(commands[1].ms);
    const double xdelta = Median(commands[2].ms);
    return {patch / floor, patch / xdelta, floor / xdelta,
            static_cast<double>(commands[0].maxRssKiB) / 1024.0, Median(commands[3].ms) / floor};
}

// One command's instructions as callgrind counts them; a figure kept for reference has no
// budget, and none is counted without valgrind.
struct Count {
    std::string name;
    std::string shown;
    std::vector<std::string> args;  // after the program's path
    std::optional<std::uint64_t> budget;
    std::optional<std::uint64_t> instructions;
};

// Whether `program` would start: a path to an executable, or a name found on PATH.
bool Runnable(const std::string& program) {
    if (program.find('/') != std::string::npos) {
        return ::access(program.c_str(), X_OK) == 0;
    }
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        if (::access((fs::path(dir.empty() ? "." : dir) / program).c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
}

// Callgrind counts one event, instructions; its out file gives the whole run's in one line.
std::uint64_t TotalInstructions(const fs::path& out) {
    std::ifstream in(out);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("summary:", 0) == 0 || line.rfind("totals:", 0) == 0) {
            return std::stoull(line.substr(line.find(':') + 1));
        }
    }
    Die("no instruction total in " + out.string());
}

// Each command once under callgrind, after everything timed, on the built-in pack.
std::vector<Count> CountInstructions(const Setup& setup, const Options& options) {
    const fs::path map = setup.work / "count-map.png";
    std::vector<Count> counts = {
        {"payload_check",
         "tflux-krn-cli payload check",
         {"payload", "check"},
         kBudgetPayloadCheckIr,
         {}},
        {"payload_map_track",
         "tflux-krn-cli payload map --track 1",
         {"payload", "map", "--track", "1", map.string()},
         kBudgetMapTrackIr,
         {}},
        {"version", "tflux-krn-cli --version (start-up)", {"--version"}, std::nullopt, {}},
    };
    if (!Runnable(options.valgrind)) {
        return counts;
    }
    const fs::path out = setup.work / "callgrind.out";
    for (Count& count : counts) {
        std::vector<std::string> argv = {options.valgrind, "-q", "--tool=callgrind",
                                         "--callgrind-out-file=" + out.string(), setup.cli};
        argv.insert(argv.end(), count.args.begin(), count.args.end());
        fs::remove(out);
        fs::remove(map);
        Run(argv);
        count.instructions = TotalInstructions(out);
    }
    fs::remove(out);
    fs::remove(map);
    return counts;
}

// Whether every counted command is within its budget; none when nothing was counted.
std::optional<bool> MeetBudgets(const std::vector<Count>& counts) {
    std::optional<bool> met;
    for (const Count& count : counts) {
        if (count.instructions && count.budget) {
            met = met.value_or(true) && *count.instructions <= *count.budget;
        }
    }
    return met;
}

nlohmann::json CountRows(const std::vector<Count>& counts) {
    nlohmann::json rows = nlohmann::json::array();
    for (const Count& count : counts) {
        const bool judged = count.instructions && count.budget;
        rows.push_back(
            {{"name", count.name},
             {"command", count.shown},
             {"instructions", count.instructions ? nlohmann::json(*count.instructions) : nullptr},
             {"budget", count.budget ? nlohmann::json(*count.budget) : nullptr},
             {"meets_budget",
              judged ? nlohmann::json(*count.instructions <= *count.budget) : nullptr}});
    }
    return rows;
}

// Everything measured, as --json writes it.
struct Results {
    nlohmann::json machine;
    nlohmann::json rows;
    nlohmann::json packRows;
    nlohmann::json checksum;
    nlohmann::json validator;
    Ratios ratios;
    std::vector<Count> counts;
};

nlohmann::json Document(const Results& results, const Setup& setup, int runs) {
    const Ratios& r = results.ratios;
    const std::optional<bool> budgets = MeetBudgets(results.counts);
    return {{"image_bytes", fs::file_size(setup.image)},
            {"delta_bytes", fs::file_size(setup.delta)},
            {"runs", runs},
            {"machine", results.machine},
            {"commands", results.rows},
            {"ratios",
             {{"patch_over_floor", r.overFloor},
              {"patch_over_xdelta3", r.overXdelta},
              {"floor_over_xdelta3", r.floorOverXdelta},
              {"patch_payload_over_floor", r.payloadOverFloor},
              {"target_patch_over_floor", kTargetOverFloor},
              {"target_patch_over_xdelta3", kTargetOverXdelta},
              {"target_patch_payload_over_floor", kTargetPayloadOverFloor}}},
            {"patch_peak_rss_mib", r.patchRssMiB},
            {"target_patch_peak_rss_mib", kTargetPeakRssMiB},
            {"meets_targets", r.MeetTargets()},
            {"checksum", results.checksum},
            {"validator", results.validator},
            {"pack_commands", results.packRows},
            {"instructions", CountRows(results.counts)},
            {"meets_budgets", budgets ? nlohmann::json(*budgets) : nullptr}};
}

// A table row of a command's figures, from its JSON row.
void CommandLine(std::ostream& table, const nlohmann::json& row) {
    table << "| " << row["command"].get<std::string>() << " | "
          << Fixed(row["median_ms"].get<double>(), 1) << " | "
          << Fixed(row["min_ms"].get<double>(), 1) << " | " << Fixed(row["max_ms"].get<double>(), 1)
          << " | " << Fixed(static_cast<double>(row["peak_rss_kib"].get<long>()) / 1024.0, 1)
          << " |\n";
}

void ImageTable(std::ostream& table, const Results& results, int runs) {
    const nlohmann::json& machine = results.machine;
    table << "16 MiB image, " << runs << " interleaved runs each, medians; "
          << machine["cpu"].get<std::string>() << ", " << machine["cores"] << " cores, "
          << machine["kernel"].get<std::string>() << ", "
          << machine["file_system"].get<std::string>()
          << (machine["reflink"].get<bool>() ? " (copies share blocks)" : " (no reflink)")
          << "\n\n";
    table << "| command | median ms | min ms | max ms | peak RSS MiB |\n";
    table << "|---|---:|---:|---:|---:|\n";
    for (const auto& row : results.rows) {
        CommandLine(table, row);
    }
    const Ratios& r = results.ratios;
    table << "\n| ratio | measured | target |\n|---|---:|---:|\n";
    table << "| patch / floor | " << Fixed(r.overFloor, 2) << " | <= " << Fixed(kTargetOverFloor, 2)
          << " |\n";
    table << "| patch / xdelta3 | " << Fixed(r.overXdelta, 2)
          << " | <= " << Fixed(kTargetOverXdelta, 2) << " |\n";
    table << "| floor / xdelta3 (for reference) | " << Fixed(r.floorOverXdelta, 2) << " | |\n";
    table << "| patch peak RSS (MiB) | " << Fixed(r.patchRssMiB, 1)
          << " | <= " << Fixed(kTargetPeakRssMiB, 1) << " |\n";
    table << "| patch --payload / floor | " << Fixed(r.payloadOverFloor, 2)
          << " | <= " << Fixed(kTargetPayloadOverFloor, 2) << " |\n";
}

// An empty cell is left blank, as in the other tables.
std::string TableRow(const std::vector<std::string>& cells) {
    std::string row = "|";
    for (const std::string& cell : cells) {
        row += cell.empty() ? " |" : " " + cell + " |";
    }
    return row + "\n";
}

void CountTable(std::ostream& table, const std::vector<Count>& counts) {
    table << "\n| instructions, one run under callgrind | millions | budget | met |\n";
    table << "|---|---:|---:|---|\n";
    const auto millions = [](std::uint64_t n) { return Fixed(static_cast<double>(n) / 1e6, 2); };
    for (const Count& count : counts) {
        const bool judged = count.instructions && count.budget;
        table << TableRow(
            {count.shown,
             count.instructions ? millions(*count.instructions) : "not counted, no valgrind",
             count.budget ? "<= " + millions(*count.budget) : "",
             judged ? (*count.instructions <= *count.budget ? "yes" : "no") : ""});
    }
}

void ChecksumAndPackTables(std::ostream& table, const Results& results) {
    const nlohmann::json& checksum = results.checksum;
    table << "\n| 1 MiB checksum range | us | MB/s |\n|---|---:|---:|\n";
    table << "| CalculateChecksum | " << Fixed(checksum["checksum_us"].get<double>(), 1) << " | "
          << Fixed(checksum["checksum_mb_s"].get<double>(), 0) << " |\n";
    table << "| read of the same bytes | " << Fixed(checksum["read_us"].get<double>(), 1) << " | "
          << Fixed(checksum["read_mb_s"].get<double>(), 0) << " |\n";
    const nlohmann::json& validator = results.validator;
    table << "\n| course validator (" << validator["courses"]
          << " built-in courses) | us per course"
          << " | work per course |\n|---|---:|---:|\n";
    table << "| JudgeCourse | " << Fixed(validator["per_course_us"].get<double>(), 1) << " | "
          << Fixed(validator["work_per_course"].get<double>(), 0) << " |\n";
    if (!results.packRows.empty()) {
        table << "\n| pack command (24 courses) | median ms | min ms | max ms | peak RSS MiB |\n";
        table << "|---|---:|---:|---:|---:|\n";
        for (const auto& row : results.packRows) {
            CommandLine(table, row);
        }
    }
}

void Report(const Results& results, int runs) {
    std::ostringstream table;
    ImageTable(table, results, runs);
    ChecksumAndPackTables(table, results);
    CountTable(table, results.counts);
    std::cout << table.str();
    std::cout << (results.ratios.MeetTargets() ? "All targets met.\n" : "Some targets missed.\n");
    const std::optional<bool> budgets = MeetBudgets(results.counts);
    std::cout << (!budgets   ? "Instruction budgets not counted: valgrind not found.\n"
                  : *budgets ? "All instruction budgets met.\n"
                             : "Some instruction budgets missed.\n");
}

void WriteJson(const fs::path& path, const nlohmann::json& doc) {
    std::ofstream out(path);
    out << doc.dump(2) << '\n';
    if (!out) {
        Die("cannot write " + path.string());
    }
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Times tflux-krn-cli patch against a durable copy of the image and against "
        "xdelta3, on a generated image, and counts the instructions a few commands cost.",
        "tflux-krn-bench"};
    Options options;
    AddOptions(app, options);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return tflux::ParseErrorExit(app, e);
    }
    const Setup setup = Prepare(options);
    std::vector<Command> commands = ImageCommands(setup, options);
    CheckOutputs(commands, setup);
    TimeInterleaved(commands, options.runs, setup.work);
    if (!SameContents(commands[0].output, setup.reference) ||
        !SameContents(commands[3].output, setup.reference)) {
        Die("the patch's last output differs from the reference");
    }
    Results results;
    results.checksum = TimeChecksum(setup.image, 201);
    results.packRows = CommandRows(TimePackCommands(setup, options), false);
    results.validator = TimeValidator(31);
    results.counts = CountInstructions(setup, options);
    results.rows = CommandRows(commands, true);
    results.ratios = RatiosOf(commands);
    results.machine = MachineFacts(setup);

    Report(results, options.runs);
    if (!options.json.empty()) {
        WriteJson(options.json, Document(results, setup, options.runs));
    }
    for (const Command& command : commands) {
        fs::remove(command.output);
    }
    fs::remove(setup.container);
    return 0;
}
