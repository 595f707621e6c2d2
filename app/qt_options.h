#pragma once

// Qt takes options of its own from the command line a QApplication is given (-platform NAME,
// -style NAME, -reverse, ...; one dash or two, the value after the name or after '='). The
// programs with a window parse their own options from what is left, so that Qt's pass through
// to Qt and anything else is an unknown option, with or without a display to start Qt on.

#include <string>
#include <vector>

struct QtOptionSplit {
    std::vector<std::string> rest;  // without the program name, in order
    bool namesPlatform = false;     // -platform was given, which may need no display
};

QtOptionSplit SplitQtOptions(int argc, const char* const* argv);
