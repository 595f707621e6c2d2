#include "support/test_util.h"

#include "payload/container.h"
#include "payload/modIEEE754.h"
#include "rom/errors.h"

#ifdef _WIN32
#include <windows.h>

#include <random>
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <regex>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace tflux::test {

namespace fs = std::filesystem;

ScratchDir::ScratchDir() {
#ifdef _WIN32
    std::random_device entropy;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path candidate =
            fs::temp_directory_path() / ("tflux-test-" + std::to_string(entropy()));
        if (fs::create_directory(candidate)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a scratch folder");
#else
    std::string pattern = (fs::temp_directory_path() / "tflux-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
#endif
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    // Tests may leave read-only folders behind; make them removable first.
    for (auto it = fs::recursive_directory_iterator(path_, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec)) {
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
        }
    }
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

std::vector<std::uint8_t> ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path.string());
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

std::set<std::string> DirectoryNames(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

bool IsPendingName(const std::string& name) {
    static const std::regex pattern(R"(\.tflux-krn-[0-9a-z]{8}\.tmp)");
    return std::regex_match(name, pattern);
}

fs::path SharedTestData() {
    fs::path dir = TFLUX_TESTDATA_DIR;
    std::error_code ec;
    return fs::is_directory(dir, ec) ? dir : fs::path();
}

fs::path BinPath(const std::string& name) {
    return fs::path(TFLUX_BIN_DIR) / name;
}

#ifndef _WIN32  // the suites that run programs are not built for Windows

namespace {

// Reads every open descriptor of the two (-1: none) to its end.
void DrainPipes(int outFd, int errFd, std::string& out, std::string& err) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    int open = (outFd >= 0 ? 1 : 0) + (errFd >= 0 ? 1 : 0);
    char buffer[4096];
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? out : err).append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open;
            }
        }
    }
}

void CloseDescriptor(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

// A pipe for a captured stream (the read end kept here), or /dev/null for a discarded one.
void RouteOutput(Output output, int target, posix_spawn_file_actions_t& actions, int& readEnd,
                 std::vector<int>& childEnds) {
    if (output == Output::Discard) {
        posix_spawn_file_actions_addopen(&actions, target, "/dev/null", O_WRONLY, 0);
        return;
    }
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe failed: ") + std::strerror(errno));
    }
    readEnd = ends[0];
    childEnds.push_back(ends[1]);
    posix_spawn_file_actions_adddup2(&actions, ends[1], target);
}

}  // namespace

Process::Process(const std::vector<std::string>& argv, const SpawnOptions& options) {
    if (argv.empty()) {
        throw std::invalid_argument("no program to start");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    std::vector<int> childEnds;
    try {
        RouteOutput(options.out, 1, actions, outFd_, childEnds);
        RouteOutput(options.err, 2, actions, errFd_, childEnds);
    } catch (...) {
        for (int& fd : childEnds)
            CloseDescriptor(fd);
        CloseDescriptor(outFd_);
        CloseDescriptor(errFd_);
        posix_spawn_file_actions_destroy(&actions);
        throw;
    }
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);

    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    // A variable given here replaces the inherited one: a program reads the first of a name.
    const auto overridden = [&options](std::string_view entry) {
        const std::string_view name = entry.substr(0, entry.find('=') + 1);
        return std::any_of(options.extraEnv.begin(), options.extraEnv.end(),
                           [name](const std::string& e) { return e.starts_with(name); });
    };
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e) {
        if (!overridden(*e)) {
            envStrings.emplace_back(*e);
        }
    }
    for (const auto& e : options.extraEnv)
        envStrings.push_back(e);
    std::vector<char*> env;
    for (auto& e : envStrings)
        env.push_back(e.data());
    env.push_back(nullptr);

    // Signals as a terminal delivers them, even when this test runs with them ignored.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        sigaddset(&defaults, signal);
    }
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);

    const int rc = posix_spawn(&pid_, args[0], &actions, &attributes, args.data(), env.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    for (int& fd : childEnds)
        CloseDescriptor(fd);
    if (rc != 0) {
        pid_ = -1;
        CloseDescriptor(outFd_);
        CloseDescriptor(errFd_);
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    }
}

Process::Process(Process&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      outFd_(std::exchange(other.outFd_, -1)),
      errFd_(std::exchange(other.errFd_, -1)) {}

Process::~Process() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    CloseDescriptor(outFd_);
    CloseDescriptor(errFd_);
}

void Process::Signal(int signal) const {
    if (pid_ <= 0 || kill(pid_, signal) != 0) {
        throw std::runtime_error("cannot signal the program");
    }
}

RunResult Process::Wait() {
    if (pid_ <= 0) {
        throw std::logic_error("the program was waited for already");
    }
    RunResult result;
    DrainPipes(outFd_, errFd_, result.out, result.err);
    CloseDescriptor(outFd_);
    CloseDescriptor(errFd_);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
        result.exitCode = 128 + result.signal;
    } else {
        result.exitCode = WEXITSTATUS(status);
    }
    return result;
}

RunResult RunProgram(const std::vector<std::string>& argv,
                     const std::vector<std::string>& extraEnv) {
    return Process(argv, {.extraEnv = extraEnv}).Wait();
}

#endif

std::vector<std::uint8_t> MakeTrackRecord(const std::string& name, const std::string& subtitle,
                                          std::uint8_t attr, const std::vector<RecordParam>& params,
                                          std::uint32_t seed) {
    std::vector<std::uint8_t> record(2109, 0);
    std::copy_n(name.begin(), std::min<std::size_t>(name.size(), 20), record.begin());
    std::copy_n(subtitle.begin(), std::min<std::size_t>(subtitle.size(), 24), record.begin() + 20);
    record[44] = attr;
    for (std::size_t k = 0; k < params.size() && k < 6; ++k) {
        const std::size_t slot = 45 + 8 * k;
        record[slot + 1] = params[k].code;
        SingleToBytes(params[k].value, true, std::span<std::uint8_t, 4>(&record[slot + 4], 4));
    }
    std::uint32_t x = seed * 747796405u + 1;
    for (std::size_t i = 93; i < record.size(); ++i) {
        x = x * 1664525u + 1013904223u;
        record[i] = static_cast<std::uint8_t>(x >> 24);
    }
    return record;
}

void WriteContainer(const fs::path& path, const std::vector<std::uint8_t>& updater,
                    const std::vector<std::vector<std::uint8_t>>& records) {
    ScratchDir source;
    WriteBytes(source / "0.dat", updater);
    for (std::size_t i = 0; i < records.size(); ++i) {
        WriteBytes(source / (std::to_string(i + 1) + ".dat"), records[i]);
    }
    PackPayload(source.path(), path);
}

FaultHook& FaultHook::FailAt(int n) {
    failAt_ = n;
    conditioned_ = true;
    return *this;
}

FaultHook& FaultHook::Persistently() {
    persistent_ = true;
    return *this;
}

FaultHook& FaultHook::FailOps(std::initializer_list<IoOp> ops) {
    kinds_.insert(kinds_.end(), ops.begin(), ops.end());
    conditioned_ = true;
    return *this;
}

FaultHook& FaultHook::FailUnder(const fs::path& dir) {
    folders_.push_back(dir.lexically_normal());
    conditioned_ = true;
    return *this;
}

FaultHook& FaultHook::FailIf(PathTest test) {
    tests_.push_back(std::move(test));
    conditioned_ = true;
    return *this;
}

FaultHook& FaultHook::WithErrno(int error) {
    errno_ = error;
    return *this;
}

FaultHook& FaultHook::OnEveryOp(Action action) {
    actions_.push_back(std::move(action));
    return *this;
}

bool FaultHook::IsCandidate(IoOp op, const fs::path& path) const {
    if (!kinds_.empty() && std::find(kinds_.begin(), kinds_.end(), op) == kinds_.end()) {
        return false;
    }
    if (!folders_.empty()) {
        // The folder itself or anything in it, by whole components: /a/bc is not under /a/b.
        const fs::path normal = path.lexically_normal();
        const bool under = std::any_of(folders_.begin(), folders_.end(), [&](const fs::path& dir) {
            const auto end =
                std::mismatch(dir.begin(), dir.end(), normal.begin(), normal.end()).first;
            return end == dir.end() || (std::next(end) == dir.end() && end->empty());
        });
        if (!under) {
            return false;
        }
    }
    return std::all_of(tests_.begin(), tests_.end(),
                       [&](const PathTest& test) { return test(path); });
}

void FaultHook::Before(IoOp op, const fs::path& path) {
    const std::lock_guard lock(*mutex_);
    ops_.push_back({op, path});
    for (const Action& action : actions_) {
        action(op, path);
    }
    if (!conditioned_ || !IsCandidate(op, path)) {
        return;
    }
    ++candidates_;
    if (failAt_ > 0 && (candidates_ < failAt_ || (candidates_ > failAt_ && !persistent_))) {
        return;
    }
    const bool writes = op == IoOp::Write || op == IoOp::Copy || op == IoOp::Create;
    const int error = errno_ != 0 ? errno_ : writes ? ENOSPC : EIO;
    EngineError failure = SystemError(IoOpName(op), path, error);
    if (failures_++ == 0) {
        cause_ = failure.what();
        failed_ = std::string(IoOpName(op)) + " " + path.string();
    }
    throw failure;
}

std::vector<fs::path> FaultHook::PathsOf(std::initializer_list<IoOp> ops) const {
    std::vector<fs::path> paths;
    for (const SeenOp& seen : ops_) {
        if (std::find(ops.begin(), ops.end(), seen.op) != ops.end()) {
            paths.push_back(seen.path);
        }
    }
    return paths;
}

#ifdef _WIN32

// GetTempPathW reads TMP first.
TempDirOverride::TempDirOverride(const fs::path& dir) {
    std::wstring old(32768, L'\0');
    const DWORD n = GetEnvironmentVariableW(L"TMP", old.data(), static_cast<DWORD>(old.size()));
    if (n > 0 && n < old.size()) {
        previous_ = fs::path(old.substr(0, n)).string();
        hadPrevious_ = true;
    }
    fs::create_directories(dir);
    SetEnvironmentVariableW(L"TMP", dir.wstring().c_str());
}

TempDirOverride::~TempDirOverride() {
    SetEnvironmentVariableW(L"TMP", hadPrevious_ ? fs::path(previous_).wstring().c_str() : nullptr);
}

#else

TempDirOverride::TempDirOverride(const fs::path& dir) {
    if (const char* old = std::getenv("TMPDIR")) {
        previous_ = old;
        hadPrevious_ = true;
    }
    fs::create_directories(dir);
    setenv("TMPDIR", dir.c_str(), 1);
}

TempDirOverride::~TempDirOverride() {
    if (hadPrevious_) {
        setenv("TMPDIR", previous_.c_str(), 1);
    } else {
        unsetenv("TMPDIR");
    }
}

#endif

}  // namespace tflux::test
