#include "platform.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <io.h>

bool platform_path_exists(const char *path) {
    return _access(path, 0) == 0;
}

int platform_stricmp(const char *a, const char *b) {
    return _stricmp(a, b);
}

char *platform_strdup(const char *s) {
    return _strdup(s);
}

const char *platform_getenv(const char *name) {
    // The CRT's advice is _dupenv_s, which would allocate on every lookup;
    // the pointer is read at once and never kept, so getenv is safe here.
#ifdef _MSC_VER
#pragma warning(suppress : 4996)
#endif
    return std::getenv(name);
}

const bool platform_input_drops_carriage_returns = true;

long platform_read_stdin(char *buffer, size_t size) {
    // _read counts in unsigned int; larger requests are simply served in part.
    unsigned int request = size > INT_MAX ? INT_MAX : static_cast<unsigned int>(size);
    return _read(0, buffer, request);
}

bool platform_is_terminal(int descriptor) {
    return _isatty(descriptor) != 0;
}
