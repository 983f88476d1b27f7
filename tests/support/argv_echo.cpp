// The child of the real-start tests: writes the path of its own program
// file, then every entry of the argument vector its C runtime parsed from
// the wide command line, one escaped entry of UTF-8 (WTF-8) per line.
#include "environment.h"
#include "escaped.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <string>
#include <windows.h>

#ifdef CMDKIT_EXPAND_WILDCARDS
// mingw-w64's start-up code then expands wildcards in the arguments, as
// setargv.obj does in Microsoft's toolchain.
extern "C" {
int _dowildcard = -1;
}
#endif

int wmain(int argc, wchar_t **argv) {
    // Binary mode, so the lines end as written whatever the runtime.
    _setmode(_fileno(stdout), _O_BINARY);
    wchar_t self[MAX_PATH * 4];
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
    std::string report = testing_support::escaped(testing_support::narrow({self, length})) + "\n";
    for (int i = 0; i < argc; ++i)
        report += testing_support::escaped(testing_support::narrow(argv[i])) + "\n";
    std::fwrite(report.data(), 1, report.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
