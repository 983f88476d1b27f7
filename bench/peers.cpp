// Parse throughput of cmdkit against peers that split the same lines into
// the same words: GLib's g_shell_parse_argv and LLVM's Windows command-line
// tokenizer.  The word lists are first checked against shlex's (written by
// shlex_bench.py); then each splitter's loop alone is timed, warmed up, as
// in interleaved rounds, as the median in nanoseconds per line.
//
//     cmdkit_peers plain|pipes CORPUS EXPECTED_WORDS
#include "cmdline.h"

#include <glib.h>
#include <llvm/Support/Allocator.h>
#include <llvm/Support/CommandLine.h>
#include <llvm/Support/StringSaver.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

using words = std::vector<std::string>;

std::vector<std::string> read_lines(const char *path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

words split_expected(const std::string &line) {
    words result;
    size_t start = 0;
    if (line.empty())
        return result;
    for (;;) {
        size_t stop = line.find('\x1f', start);
        result.push_back(line.substr(start, stop - start));
        if (stop == std::string::npos)
            return result;
        start = stop + 1;
    }
}

// The words in the order the line spells them: the corpus puts `<` after
// the first command and `>` at the end, where composition writes them.
words cmdkit_words(const std::string &line) {
    char *input = nullptr;
    char *output = nullptr;
    char ***list = parse_cmdline(line.c_str(), &input, &output, nullptr);
    words result;
    if (list == nullptr)
        return {"<refused>"};
    for (char ***command = list; *command != nullptr; ++command) {
        if (command != list)
            result.push_back("|");
        for (char **argument = *command; *argument != nullptr; ++argument)
            result.push_back(*argument);
        if (command == list && input != nullptr) {
            result.push_back("<");
            result.push_back(input);
        }
    }
    if (output != nullptr) {
        result.push_back(">");
        result.push_back(output);
    }
    free_pipeline(list);
    std::free(input);
    std::free(output);
    return result;
}

words glib_words(const std::string &line) {
    gchar **argv = nullptr;
    words result;
    if (g_shell_parse_argv(line.c_str(), nullptr, &argv, nullptr)) {
        for (gchar **argument = argv; *argument != nullptr; ++argument)
            result.push_back(*argument);
        g_strfreev(argv);
    }
    return result;
}

words llvm_words(const std::string &line) {
    llvm::BumpPtrAllocator arena;
    llvm::StringSaver saver(arena);
    llvm::SmallVector<const char *, 32> argv;
    llvm::cl::TokenizeWindowsCommandLine(line, saver, argv);
    return words(argv.begin(), argv.end());
}

// Each timed loop does the whole job a caller needs: split, then release.
void cmdkit_loop(const std::vector<std::string> &lines) {
    for (const std::string &line : lines) {
        char *input = nullptr;
        char *output = nullptr;
        char ***list = parse_cmdline(line.c_str(), &input, &output, nullptr);
        if (list != nullptr)
            free_pipeline(list);
        std::free(input);
        std::free(output);
    }
}

// The same with the traces silenced, as a program embedding the library
// would parse.
void cmdkit_quiet_loop(const std::vector<std::string> &lines) {
    cmdkit_trace_fn sink = nullptr;
    void *context = nullptr;
    cmdkit_get_trace(&sink, &context);
    cmdkit_set_trace(nullptr, nullptr);
    cmdkit_loop(lines);
    cmdkit_set_trace(sink, context);
}

void glib_loop(const std::vector<std::string> &lines) {
    for (const std::string &line : lines) {
        gchar **argv = nullptr;
        if (g_shell_parse_argv(line.c_str(), nullptr, &argv, nullptr))
            g_strfreev(argv);
    }
}

void llvm_loop(const std::vector<std::string> &lines) {
    llvm::BumpPtrAllocator arena;
    llvm::StringSaver saver(arena);
    llvm::SmallVector<const char *, 32> argv;
    for (const std::string &line : lines) {
        argv.clear();
        llvm::cl::TokenizeWindowsCommandLine(line, saver, argv);
        arena.Reset();
    }
}

using splitting_loop = void (*)(const std::vector<std::string> &);

double ns_per_line(splitting_loop loop, const std::vector<std::string> &lines) {
    auto start = std::chrono::steady_clock::now();
    loop(lines);
    auto elapsed = std::chrono::steady_clock::now() - start;
    return std::chrono::duration<double, std::nano>(elapsed).count() /
           static_cast<double>(lines.size());
}

// Runs the loops in turn, several rounds, so that a slow moment of the
// machine touches all of them alike; the first round only warms up.
std::vector<double> interleaved_medians(const std::vector<splitting_loop> &loops,
                                        const std::vector<std::string> &lines) {
    constexpr int rounds = 7;
    std::vector<std::vector<double>> times(loops.size());
    for (int round = 0; round < rounds; ++round) {
        for (size_t i = 0; i < loops.size(); ++i) {
            double time = ns_per_line(loops[i], lines);
            if (round > 0)
                times[i].push_back(time);
        }
    }
    std::vector<double> medians;
    for (std::vector<double> &runs : times) {
        std::sort(runs.begin(), runs.end());
        medians.push_back(runs[runs.size() / 2]);
    }
    return medians;
}

bool agrees(const char *name, const std::vector<std::string> &lines,
            const std::vector<std::string> &expected, words (*split)(const std::string &)) {
    for (size_t i = 0; i < lines.size(); ++i) {
        if (split(lines[i]) != split_expected(expected[i])) {
            std::fprintf(stdout, "mismatch %s line %zu: %s\n", name, i + 1, lines[i].c_str());
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 4)
        return 2;
    const bool plain = std::string(argv[1]) == "plain";
    std::vector<std::string> lines = read_lines(argv[2]);
    std::vector<std::string> expected = read_lines(argv[3]);
    if (lines.empty() || lines.size() != expected.size())
        return 2;

    // Traces go to the null device, through a buffer as the program does.
    if (std::freopen("/dev/null", "w", stderr) == nullptr)
        return 2;
    static char buffer[64 * 1024];
    std::setvbuf(stderr, buffer, _IOFBF, sizeof buffer);

    bool same = agrees("cmdkit", lines, expected, cmdkit_words);
    if (plain)
        same = same && agrees("glib", lines, expected, glib_words) &&
               agrees("llvm", lines, expected, llvm_words);
    if (!same)
        return 1;
    if (plain) {
        std::vector<double> medians =
            interleaved_medians({cmdkit_loop, cmdkit_quiet_loop, glib_loop, llvm_loop}, lines);
        std::printf("cmdkit %.1f\ncmdkit_quiet %.1f\nglib %.1f\nllvm %.1f\n", medians[0],
                    medians[1], medians[2], medians[3]);
    } else {
        std::printf("cmdkit %.1f\n", interleaved_medians({cmdkit_loop}, lines)[0]);
    }
    return 0;
}
