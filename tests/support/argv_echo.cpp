// The child of the real-start tests: writes the path of its own program
// file, then every entry of the argument vector its C runtime parsed from
// the command line (__argv), one escaped entry per line.
#include "escaped.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <io.h>
#include <string>
#include <windows.h>

int main() {
    // Binary mode, so the lines end as written whatever the runtime.
    _setmode(_fileno(stdout), _O_BINARY);
    char self[MAX_PATH * 4];
    DWORD length = GetModuleFileNameA(nullptr, self, sizeof self);
    std::string report = testing_support::escaped(std::string(self, length)) + "\n";
    // __argv ends with a null entry; __argc is not declared alike for every
    // runtime by the headers.
    for (char **argument = __argv; *argument != nullptr; ++argument)
        report += testing_support::escaped(*argument) + "\n";
    std::fwrite(report.data(), 1, report.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
