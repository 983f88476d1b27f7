#include "platform.h"

#include "cmdkit.h"
#include "wtf8.h"
#include "xalloc_internal.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <io.h>
#include <windows.h>

namespace cmdkit::internal {

namespace {

bool begins_with(const wchar_t *text, const wchar_t *prefix) {
    return std::wcsncmp(text, prefix, std::wcslen(prefix)) == 0;
}

// Paths up to this many units need no prefix: MAX_PATH less the NUL.
constexpr size_t longest_plain_path = MAX_PATH - 1;

bool is_slash(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// \\?\ and \\.\ (with either slash) and \??\ reach the system as written:
// verbatim, device and object-manager paths.
bool is_device_or_verbatim(const wchar_t *path) {
    if (is_slash(path[0]) && is_slash(path[1]) && (path[2] == L'?' || path[2] == L'.') &&
        is_slash(path[3]))
        return true;
    return begins_with(path, L"\\??\\");
}

// \\server\share, both parts present.
bool is_unc(const wchar_t *path) {
    if (!begins_with(path, L"\\\\") || path[2] == L'\0' || path[2] == L'\\')
        return false;
    const wchar_t *share = std::wcschr(path + 2, L'\\');
    return share != nullptr && share[1] != L'\0' && share[1] != L'\\';
}

bool has_drive(const wchar_t *path) {
    return ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
           path[1] == L':' && path[2] == L'\\';
}

} // namespace

system_path::~system_path() {
    std::free(heap_);
}

bool system_path::assign(const char *candidate) {
    const size_t length = std::strlen(candidate);
    // No WTF-8 text takes more units than bytes.
    if (length + 1 > sizeof local_ / sizeof local_[0]) {
        heap_ = static_cast<wchar_t *>(checked_malloc((length + 1) * sizeof(wchar_t)));
        units_ = heap_;
    }
    size_t count = 0;
    if (!wtf8_to_utf16(candidate, length, units_, count))
        return false;
    units_[count] = L'\0';
    return count <= longest_plain_path || make_extended();
}

// The \\?\ form is taken by the system exactly as written, without the
// clean-up of `.`, `..` and doubled backslashes that plain paths get, so
// the path is made absolute and clean first.  Forms that are already
// verbatim or name a device stay as they are, and so does a full path the
// system gives in such a form (a name ending in NUL becomes \\.\NUL).
bool system_path::make_extended() {
    if (is_device_or_verbatim(units_))
        return true;
    const DWORD size = GetFullPathNameW(units_, 0, nullptr, nullptr);
    if (size == 0)
        return false;
    // Room for the longest prefix, \\?\UNC\, in front of the full path.
    constexpr size_t room = 8;
    auto *extended = static_cast<wchar_t *>(checked_malloc((room + size) * sizeof(wchar_t)));
    wchar_t *full = extended + room;
    const DWORD written = GetFullPathNameW(units_, size, full, nullptr);
    if (written == 0 || written >= size) {
        std::free(extended);
        return false;
    }
    // \\server\share\x becomes \\?\UNC\server\share\x; C:\x becomes \\?\C:\x.
    wchar_t *start = full;
    if (!is_device_or_verbatim(full) && (is_unc(full) || has_drive(full))) {
        const wchar_t *prefix = is_unc(full) ? L"\\\\?\\UNC\\" : L"\\\\?\\";
        start = is_unc(full) ? full + 2 - std::wcslen(prefix) : full - std::wcslen(prefix);
        std::wmemcpy(start, prefix, std::wcslen(prefix));
    }
    std::free(heap_);
    heap_ = extended;
    units_ = start;
    return true;
}

bool platform_path_exists(const char *path) {
    system_path wide;
    return wide.assign(path) && GetFileAttributesW(wide.get()) != INVALID_FILE_ATTRIBUTES;
}

// Windows has its own rules, which the lookup follows already.
const bool platform_has_host_rules = false;

bool platform_is_executable_file(const char *) {
    return false;
}

char *platform_strdup(const char *s) {
    return _strdup(s);
}

// The C runtime's environment is a copy made at start-up in the ANSI code
// page, where characters it lacks become `?` or a look-alike ("best fit":
// a fullwidth letter becomes its ASCII twin).  The system's own wide
// environment is read instead, as it is now.
char *platform_getenv(const char *name) {
    // Names are the library's own ASCII constants.
    wchar_t wide_name[64];
    const size_t name_length = std::strlen(name);
    if (name_length >= sizeof wide_name / sizeof wide_name[0])
        return nullptr;
    for (size_t i = 0; i <= name_length; ++i)
        wide_name[i] = static_cast<unsigned char>(name[i]);

    wchar_t local[512];
    wchar_t *value = local;
    wchar_t *heap = nullptr;
    DWORD capacity = sizeof local / sizeof local[0];
    DWORD length = 0;
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        length = GetEnvironmentVariableW(wide_name, value, capacity);
        if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
            std::free(heap);
            return nullptr;
        }
        if (length < capacity)
            break;
        // Too small: `length` is the size needed, the NUL included.  The
        // value may grow again before the next call, hence the loop.
        std::free(heap);
        capacity = length;
        heap = static_cast<wchar_t *>(checked_malloc(capacity * sizeof(wchar_t)));
        value = heap;
    }
    auto *text = static_cast<char *>(checked_malloc(3 * static_cast<size_t>(length) + 1));
    text[utf16_to_wtf8(value, length, text)] = '\0';
    std::free(heap);
    return text;
}

const bool platform_input_drops_carriage_returns = true;

namespace {

HANDLE console_handle(HANDLE handle) {
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode)
               ? handle
               : nullptr;
}

// A console read in the ANSI calls under code page 65001 gives NUL for
// every character outside ASCII, so a console is read in UTF-16 and the
// text handed on as WTF-8, with what text mode does to a file: a carriage
// return before a line feed dropped, Ctrl-Z ending the input.
struct console_reader {
    // The last unit of a read whose partner has not arrived: the first half
    // of a surrogate pair, or a carriage return that may precede a line feed.
    wchar_t held_back = 0;
    bool ended = false;

    // `buffer` holds `size` bytes, at least six.
    long read(HANDLE console, char *buffer, size_t size) {
        wchar_t units[4096];
        const size_t wanted = std::min<size_t>(size / 3, sizeof units / sizeof units[0]);
        for (;;) {
            if (ended)
                return 0;
            size_t count = 0;
            if (held_back != 0) {
                units[count++] = held_back;
                held_back = 0;
            }
            DWORD read = 0;
            if (!ReadConsoleW(console, units + count, static_cast<DWORD>(wanted - count), &read,
                              nullptr)) {
                errno = EIO;
                return -1;
            }
            count += read;
            ended = read == 0;
            size_t kept = keep(units, count, !ended);
            if (kept != 0)
                return static_cast<long>(utf16_to_wtf8(units, kept, buffer));
        }
    }

    // Compacts the units as text mode would and returns how many remain.
    size_t keep(wchar_t *units, size_t count, bool more_to_come) {
        size_t kept = 0;
        for (size_t i = 0; i < count; ++i) {
            const wchar_t unit = units[i];
            if (unit == 0x1A) {
                ended = true;
                break;
            }
            const bool last = i + 1 == count;
            if (last && more_to_come && (unit == L'\r' || is_high_surrogate(unit))) {
                held_back = unit;
                break;
            }
            if (unit == L'\r' && !last && units[i + 1] == L'\n')
                continue;
            units[kept++] = unit;
        }
        return kept;
    }
};

console_reader console_input;

} // namespace

long platform_read_stdin(char *buffer, size_t size) {
    if (HANDLE console = console_handle(reinterpret_cast<HANDLE>(_get_osfhandle(0))))
        return console_input.read(console, buffer, size);
    // _read counts in unsigned int; larger requests are simply served in part.
    unsigned int request = size > INT_MAX ? INT_MAX : static_cast<unsigned int>(size);
    return _read(0, buffer, request);
}

bool platform_is_terminal(int descriptor) {
    return _isatty(descriptor) != 0;
}

namespace {

UINT original_output_code_page = 0;

void restore_output_code_page() {
    if (original_output_code_page != 0)
        SetConsoleOutputCP(original_output_code_page);
}

BOOL WINAPI restore_on_interrupt(DWORD) {
    restore_output_code_page();
    return FALSE; // the default handler then ends the process
}

} // namespace

void platform_show_utf8_on_console() {
    if (console_handle(GetStdHandle(STD_OUTPUT_HANDLE)) == nullptr &&
        console_handle(GetStdHandle(STD_ERROR_HANDLE)) == nullptr)
        return;
    const UINT current = GetConsoleOutputCP();
    if (current == 0 || current == CP_UTF8 || !SetConsoleOutputCP(CP_UTF8))
        return;
    original_output_code_page = current;
    std::atexit(restore_output_code_page);
    SetConsoleCtrlHandler(restore_on_interrupt, TRUE);
}

} // namespace cmdkit::internal
