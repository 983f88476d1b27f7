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
}

discarded_stderr::~discarded_stderr() {
    std::fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
}

} // namespace testing_support
