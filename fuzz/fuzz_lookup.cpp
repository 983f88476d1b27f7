// The lookup with PATH, COMSPEC and the line taken from the input, in a
// private directory holding a few programs.  The input is a byte (flags,
// then bit 5: PATH and COMSPEC as options, bits 6-7: the sink), PATH, NUL,
// COMSPEC, NUL, line; a missing field leaves that variable unset.
#include "cmdline.h"
#include "cmdline_internal.h"
#include "fuzz_line.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace cmdkit::internal;

namespace {

void check(bool holds) {
    if (!holds)
        std::abort();
}

void make_file(const char *name) {
    if (FILE *file = std::fopen(name, "w"))
        std::fclose(file);
}

char private_directory[] = "/tmp/cmdkit-fuzz-XXXXXX";

void remove_private_directory() {
    for (const char *file : {"tool.exe", "bin/x.cmd", "bin/tool.bat", "a b/run.bat"})
        std::remove(file);
    for (const char *folder : {"bin", "a b", "dir.com"})
        rmdir(folder);
    rmdir(private_directory);
}

void enter_private_directory() {
    check(mkdtemp(private_directory) != nullptr);
    check(chdir(private_directory) == 0);
    std::atexit(remove_private_directory);
    check(mkdir("bin", 0700) == 0 && mkdir("a b", 0700) == 0 && mkdir("dir.com", 0700) == 0);
    make_file("tool.exe");
    make_file("bin/x.cmd");
    make_file("bin/tool.bat");
    make_file("a b/run.bat");
}

void set_or_unset(const char *name, const std::string *value) {
    if (value != nullptr)
        setenv(name, value->c_str(), 1);
    else
        unsetenv(name);
}

bool starts_with(const char *text, const std::string &prefix) {
    return std::strncmp(text, prefix.c_str(), prefix.size()) == 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    enter_private_directory();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    const unsigned choices = data[0];
    use_trace_sink(choices >> 6);
    ++data;
    --size;
    std::string fields[3];
    int present = 0;
    const char *cursor = reinterpret_cast<const char *>(data);
    const char *end = cursor + size;
    while (present < 3 && cursor <= end) {
        const char *stop = present < 2 ? static_cast<const char *>(std::memchr(
                                             cursor, '\0', static_cast<size_t>(end - cursor)))
                                       : nullptr;
        if (stop == nullptr)
            stop = end;
        fields[present++].assign(cursor, stop);
        cursor = stop + 1;
    }
    const bool as_options = (choices & 0x20) != 0;
    set_or_unset("PATH", present >= 2 && !as_options ? &fields[0] : nullptr);
    set_or_unset("COMSPEC", present >= 3 && !as_options ? &fields[1] : nullptr);
    const std::string &line = fields[present - 1];
    cmdkit_lookup_options options = CMDKIT_LOOKUP_OPTIONS_INIT;
    options.flags = choices & 0x1F;
    if (as_options) {
        options.path = present >= 2 ? fields[0].c_str() : nullptr;
        options.comspec = present >= 3 ? fields[1].c_str() : nullptr;
    }

    char *app_name = nullptr;
    char *new_cmd = nullptr;
    int result = look_for_cmd_ex(line.c_str(), &options, &app_name, &new_cmd);
    if (result == 0) {
        check(app_name == nullptr && new_cmd == nullptr);
        return 0;
    }
    check(result == 1);
    if (present >= 3)
        check(new_cmd != nullptr);
    if (app_name != nullptr) {
        check(new_cmd != nullptr);
        std::string expected = holds_white_space(app_name) ? "\"" + std::string(app_name) + "\""
                                                           : std::string(app_name);
        check(starts_with(new_cmd, expected));
    }
    std::free(app_name);
    std::free(new_cmd);
    return 0;
}
