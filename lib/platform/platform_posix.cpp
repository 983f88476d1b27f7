#include "platform.h"

#include "cmdkit.h"
#include "xalloc_internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cmdkit::internal {

namespace {

// A backslash is the directory separator in the Windows paths we are given,
// so `.\tool.exe` and `C:\bin\tool.exe` become `./tool.exe` and
// `C:/bin/tool.exe`, relative to the current directory.
void spell_for_posix(const char *path, char *out, size_t size) {
    for (size_t i = 0; i < size; ++i)
        out[i] = path[i] == '\\' ? '/' : path[i];
}

} // namespace

bool platform_path_exists(const char *path) {
    // Most candidates fit on the stack; longer ones, which PATH entries of
    // any length can produce, get a heap copy for the moment of the test.
    char local[512];
    size_t size = std::strlen(path) + 1;
    char *spelled = size <= sizeof local ? local : static_cast<char *>(checked_malloc(size));
    spell_for_posix(path, spelled, size);
    bool exists = access(spelled, F_OK) == 0;
    if (spelled != local)
        std::free(spelled);
    return exists;
}

const bool platform_has_host_rules = true;

bool platform_is_executable_file(const char *path) {
    struct stat status {};
    return stat(path, &status) == 0 && S_ISREG(status.st_mode) && access(path, X_OK) == 0;
}

char *platform_strdup(const char *s) {
    return strdup(s);
}

char *platform_getenv(const char *name) {
    return checked_strdup(std::getenv(name));
}

const bool platform_input_drops_carriage_returns = false;

long platform_read_stdin(char *buffer, size_t size) {
    for (;;) {
        ssize_t count = read(STDIN_FILENO, buffer, size);
        if (count >= 0)
            return static_cast<long>(count);
        // A signal arriving while we wait is not a failure of the input, and
        // neither is a parent that left the input in non-blocking mode: we
        // wait for data as a blocking read would.
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd ready{STDIN_FILENO, POLLIN, 0};
            if (poll(&ready, 1, -1) < 0 && errno != EINTR)
                return -1;
        } else if (errno != EINTR) {
            return -1;
        }
    }
}

bool platform_is_terminal(int descriptor) {
    return isatty(descriptor) != 0;
}

void platform_show_utf8_on_console() {}

} // namespace cmdkit::internal
