#include "streams.h"

#include <cstdio>
#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#define dup _dup
#define dup2 _dup2
#define close _close
#define open _open
const char null_device[] = "NUL";
#else
#include <unistd.h>
const char null_device[] = "/dev/null";
#endif

namespace testing_support {

discarded_stderr::discarded_stderr() {
    std::fflush(stderr);
    saved_ = dup(2);
    int null = open(null_device, O_WRONLY);
    dup2(null, 2);
    close(null);
#ifdef _WIN32
    // Text mode would cut every write into small translated pieces, which
    // turns hundreds of megabytes of trace into hundreds of thousands of
    // system calls; nobody reads the null device's line ends.
    _setmode(2, _O_BINARY);
#endif
    // Unbuffered, as standard error starts out, every trace line is several
    // writes; on Windows that costs minutes for what a buffer does at once.
    std::setvbuf(stderr, nullptr, _IOFBF, 1 << 16);
}

discarded_stderr::~discarded_stderr() {
    std::fflush(stderr);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
    dup2(saved_, 2);
    close(saved_);
#ifdef _WIN32
    _setmode(2, _O_TEXT);
#endif
}

} // namespace testing_support
