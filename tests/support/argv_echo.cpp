// The child of the real-start tests: writes the path of its own program
// file, then every entry of the argument vector its C runtime parsed from
// the wide command line, one escaped entry of UTF-8 (WTF-8) per line.
#include "escaped.h"
#include "wtf8.h"

#include <cstdio>
#include <cwchar>
#include <fcntl.h>
#include <io.h>
#include <string>
#include <windows.h>

namespace {

std::string utf8(const wchar_t *text, size_t length) {
    std::string bytes(3 * length, '\0');
    bytes.resize(cmdkit::internal::utf16_to_wtf8(text, length, bytes.data()));
    return bytes;
}

} // namespace

int wmain(int argc, wchar_t **argv) {
    // Binary mode, so the lines end as written whatever the runtime.
    _setmode(_fileno(stdout), _O_BINARY);
    wchar_t self[MAX_PATH * 4];
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
    std::string report = testing_support::escaped(utf8(self, length)) + "\n";
    for (int i = 0; i < argc; ++i)
        report += testing_support::escaped(utf8(argv[i], std::wcslen(argv[i]))) + "\n";
    std::fwrite(report.data(), 1, report.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
