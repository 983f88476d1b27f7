// The child of the real-start tests.  By default it writes the path of its
// own program file, then every entry of the argument vector its C runtime
// parsed, one escaped entry of UTF-8 (WTF-8) per line.  Called with
// `--child MODE ...` it plays a part in a pipeline instead:
//   produce N [E]   N bytes of a fixed pattern       copy [N]   input to output, after
//                   (and then E on errors)                      N pattern bytes on errors
//   lines N TAG     N lines "TAG i", one write each   sleep [MS] 60 s or MS ms, then exit 0
//   spawn-sleeper [S]  prints the pid of a sleeping child of its own, then
//                   sleeps S seconds (60)
//   handles         the identity of every file open but the standard three
//   exit CODE       ends with CODE (all 32 bits on Windows)
//   both TAG        a line "TAG" on standard output and one on standard error
//   errors TAG      a line "TAG" on standard error only
//   trap [USR1]     POSIX: on SIGTERM (or SIGUSR1) writes "term" and exits
//   ignore-term     with 3; ignores SIGTERM; both first write "ready",
//                   then sleep 60 s (on Windows that is all they do)
//   chatter N SEED  N lines at random moments (0-9 ms apart), each on
//                   standard output ("o SEED i") or errors ("e SEED i")
//   extras N ...    what each of N extra handles holds, one line each:
//                   POSIX descriptors 3.., Windows the handle values given
//   env             every environment entry, one per line
// Standard input and output are binary on Windows.
#include "escaped.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#ifdef _WIN32
#include "environment.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#ifdef CMDKIT_EXPAND_WILDCARDS
// mingw-w64's start-up code then expands wildcards in the arguments, as
// setargv.obj does in Microsoft's toolchain.
extern "C" {
int _dowildcard = -1;
}
#endif
#else
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

extern char **environ;
#endif

namespace {

void put(const std::string &text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void pause_milliseconds(unsigned long long milliseconds) {
#ifdef _WIN32
    Sleep(static_cast<DWORD>(milliseconds));
#else
    usleep(static_cast<useconds_t>(milliseconds * 1000));
#endif
}

std::string own_path() {
#ifdef _WIN32
    wchar_t self[MAX_PATH * 4];
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
    return testing_support::narrow({self, length});
#else
    std::vector<char> self(4096);
    const ssize_t length = readlink("/proc/self/exe", self.data(), self.size());
    return std::string(self.data(), length > 0 ? static_cast<size_t>(length) : 0);
#endif
}

unsigned long long spawn_sleeper() {
#ifdef _WIN32
    std::wstring line = L"\"" + testing_support::wide(own_path()) + L"\" --child sleep";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &started))
        return 0;
    return started.dwProcessId;
#else
    const std::string path = own_path();
    char *argv[] = {const_cast<char *>(path.c_str()), const_cast<char *>("--child"),
                    const_cast<char *>("sleep"), nullptr};
    pid_t pid = 0;
    return posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ) == 0 ? pid : 0;
#endif
}

// Volume and file index, or device and inode: what names a file whatever
// the handle or descriptor.
std::string open_files() {
    std::string report;
#ifdef _WIN32
    for (uintptr_t value = 4; value < 4 * 8192; value += 4) {
        HANDLE handle = reinterpret_cast<HANDLE>(value);
        DWORD flags = 0;
        BY_HANDLE_FILE_INFORMATION file{};
        if (handle == GetStdHandle(STD_INPUT_HANDLE) || handle == GetStdHandle(STD_OUTPUT_HANDLE) ||
            handle == GetStdHandle(STD_ERROR_HANDLE) || !GetHandleInformation(handle, &flags) ||
            GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &file))
            continue;
        report += std::to_string(file.dwVolumeSerialNumber) + " " +
                  std::to_string((static_cast<unsigned long long>(file.nFileIndexHigh) << 32) |
                                 file.nFileIndexLow) +
                  "\n";
    }
#else
    for (int descriptor = 3; descriptor < 4096; ++descriptor) {
        struct stat file {};
        if (fstat(descriptor, &file) == 0)
            report += std::to_string(file.st_dev) + " " + std::to_string(file.st_ino) + "\n";
    }
#endif
    return report;
}

// What extra handle `k` holds: POSIX descriptor 3 + k, or on Windows the
// handle whose value is argument 4 + k.
std::string read_extra(const std::vector<std::string> &args, size_t k) {
    char buffer[256];
#ifdef _WIN32
    HANDLE handle = reinterpret_cast<HANDLE>(
        static_cast<uintptr_t>(std::strtoull(args[4 + k].c_str(), nullptr, 0)));
    DWORD got = 0;
    if (!ReadFile(handle, buffer, sizeof buffer, &got, nullptr))
        return "(unreadable)";
    return std::string(buffer, got);
#else
    (void)args;
    const ssize_t got = read(static_cast<int>(3 + k), buffer, sizeof buffer);
    return got < 0 ? "(unreadable)" : std::string(buffer, static_cast<size_t>(got));
#endif
}

// `count` bytes of the pattern the tests check: 'a' + i % 26 in each
// block of 64 KiB.
bool produce(unsigned long long count, std::FILE *to) {
    std::string block(65536, '\0');
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>('a' + i % 26);
    for (unsigned long long left = count; left > 0;) {
        const size_t piece = static_cast<size_t>(std::min<unsigned long long>(left, block.size()));
        if (std::fwrite(block.data(), 1, piece, to) != piece)
            return false;
        left -= piece;
    }
    return true;
}

int play(const std::vector<std::string> &args) {
    const std::string &mode = args[2];
    const unsigned long long number =
        args.size() > 3 ? std::strtoull(args[3].c_str(), nullptr, 0) : 0;
    if (mode == "produce") {
        if (!produce(number, stdout) || std::fflush(stdout) != 0 ||
            (args.size() > 4 && !produce(std::strtoull(args[4].c_str(), nullptr, 0), stderr)))
            return 1;
    } else if (mode == "copy") {
        if (!produce(number, stderr) || std::fflush(stderr) != 0)
            return 1;
        char buffer[65536];
        for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, stdin)) > 0;)
            std::fwrite(buffer, 1, got, stdout);
    } else if (mode == "lines") {
        for (unsigned long long i = 0; i < number; ++i)
            put(args[4] + " " + std::to_string(i) + "\n");
    } else if (mode == "sleep") {
        pause_milliseconds(args.size() > 3 ? number : 60000);
    } else if (mode == "spawn-sleeper") {
        put(std::to_string(spawn_sleeper()) + "\n");
        pause_milliseconds(args.size() > 3 ? number * 1000 : 60000);
    } else if (mode == "handles") {
        put(open_files());
    } else if (mode == "trap" || mode == "ignore-term") {
#ifndef _WIN32
        if (mode == "trap")
            signal(args.size() > 3 && args[3] == "USR1" ? SIGUSR1 : SIGTERM, [](int) {
                static const char said[] = "term\n";
                _exit(write(1, said, sizeof said - 1) == sizeof said - 1 ? 3 : 4);
            });
        else
            signal(SIGTERM, SIG_IGN);
#endif
        put("ready\n");
        pause_milliseconds(60000);
    } else if (mode == "chatter") {
        unsigned seed = static_cast<unsigned>(std::strtoul(args[4].c_str(), nullptr, 0));
        for (unsigned long long i = 0; i < number; ++i) {
            seed = seed * 1103515245u + 12345u;
            pause_milliseconds(seed >> 16 & 7);
            std::FILE *to = (seed >> 20 & 1) != 0 ? stderr : stdout;
            std::fprintf(to, "%s %s %u\n", to == stderr ? "e" : "o", args[4].c_str(),
                         static_cast<unsigned>(i));
            std::fflush(to);
        }
    } else if (mode == "extras") {
        for (unsigned long long k = 0; k < number; ++k)
            put(read_extra(args, static_cast<size_t>(k)) + "\n");
    } else if (mode == "both" || mode == "errors") {
        if (mode == "both")
            put(args[3] + "\n");
        std::fputs((args[3] + "\n").c_str(), stderr);
    } else if (mode == "exit") {
#ifdef _WIN32
        ExitProcess(static_cast<UINT>(number));
#else
        return static_cast<int>(number);
#endif
    } else if (mode == "env") {
#ifdef _WIN32
        wchar_t *block = GetEnvironmentStringsW();
        for (const wchar_t *entry = block; *entry != L'\0'; entry += std::wcslen(entry) + 1)
            put(testing_support::narrow(entry) + "\n");
        FreeEnvironmentStringsW(block);
#else
        for (char **entry = environ; *entry != nullptr; ++entry)
            put(std::string(*entry) + "\n");
#endif
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}

int report(const std::vector<std::string> &args) {
    std::string text = testing_support::escaped(own_path()) + "\n";
    for (const std::string &argument : args)
        text += testing_support::escaped(argument) + "\n";
    put(text);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

int run(const std::vector<std::string> &args) {
    return args.size() > 2 && args[1] == "--child" ? play(args) : report(args);
}

} // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t **argv) {
    // Binary mode, so the lines end as written whatever the runtime.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i)
        args.push_back(testing_support::narrow(argv[i]));
    return run(args);
}
#else
int main(int argc, char **argv) {
    return run(std::vector<std::string>(argv, argv + argc));
}
#endif
