#include "rom/command_line.h"

#ifdef _WIN32
#include <windows.h>

#include <shellapi.h>

#include "rom/text.h"
#endif

namespace tflux {

#ifdef _WIN32

std::vector<std::string> CommandLineArguments(int, char**) {
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> arguments;
    for (int i = 1; wide != nullptr && i < count; ++i) {
        arguments.push_back(Utf8FromWide(wide[i]));
    }
    LocalFree(wide);
    return arguments;
}

Utf8Console::Utf8Console() {
    const UINT own = GetConsoleOutputCP();  // 0 without a console
    if (own != 0 && own != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
        previous_ = own;
    }
}

Utf8Console::~Utf8Console() {
    if (previous_ != 0) {
        SetConsoleOutputCP(previous_);
    }
}

#else

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
    return argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>();
}

Utf8Console::Utf8Console() = default;
Utf8Console::~Utf8Console() = default;

#endif

}  // namespace tflux
