#pragma once

// The command line and the console in the engine's text, UTF-8, on every system. Windows hands
// a program its arguments in the ANSI code page, which cannot hold every file name, and shows
// console output in the console's own code page.

#include <string>
#include <vector>

namespace tflux {

// The arguments after the program's name: on Windows read wide from the system, elsewhere argv
// as it is.
std::vector<std::string> CommandLineArguments(int argc, char** argv);

// While it lives, the console the program writes to, if any, shows its UTF-8 as text; files and
// pipes get the same bytes.
class Utf8Console {
  public:
    Utf8Console();
    ~Utf8Console();
    Utf8Console(const Utf8Console&) = delete;
    Utf8Console& operator=(const Utf8Console&) = delete;

#ifdef _WIN32
  private:
    unsigned int previous_ = 0;  // the console's own output code page, to put back; 0 for none
#endif
};

}  // namespace tflux
