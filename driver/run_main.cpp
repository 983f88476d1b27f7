// cmdkit-run: runs one line, `a | b < in > out`, or each line of a file as
// a job, with no command interpreter in between.
#include "run_request.h"

#include "cmdkit.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

int run_main(const std::vector<std::string> &args) {
    runner::request wanted;
    const int refused = runner::read_arguments(args, wanted);
    if (refused != 0)
        return refused < 0 ? 0 : refused;
    return wanted.file != nullptr ? runner::run_many(wanted) : runner::run_one(wanted);
}

} // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t **argv) {
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) {
        char *text = cmdkit_from_utf16(argv[i]);
        args.emplace_back(text != nullptr ? text : "");
        std::free(text);
    }
    return run_main(args);
}
#else
int main(int argc, char **argv) {
    return run_main(std::vector<std::string>(argv, argv + argc));
}
#endif
