// Micro-benchmarks of the library's operations.  Each names the decision it
// informs; inputs are built outside the timed loops.  Traces go to the null
// device through a buffer, as they do in the program when not on a terminal.
#include "cmdline.h"
#include "cmdline_internal.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace cmdkit::internal;

namespace {

const char typical_line[] =
    "\"C:\\Program Files\\Tool\\tool.exe\" -o out.txt --verbose \"C:\\My Files\\in put.c\" x y";

void silence_traces() {
    static char buffer[64 * 1024];
    if (std::freopen("/dev/null", "w", stderr) != nullptr)
        std::setvbuf(stderr, buffer, _IOFBF, sizeof buffer);
}

std::string line_of_arguments(int count) {
    std::string line = "tool";
    for (int i = 0; i < count; ++i)
        line += " arg" + std::to_string(i);
    return line;
}

// The tokenizer alone: the floor under any parse.
void BM_next_token(benchmark::State &state) {
    for (auto _ : state) {
        const char *cursor = typical_line;
        const char *start = nullptr;
        const char *end = nullptr;
        int tokens = 0;
        while (next_token(cursor, &start, &end) != TOKEN_END) {
            cursor = end;
            ++tokens;
        }
        benchmark::DoNotOptimize(tokens);
    }
}
BENCHMARK(BM_next_token);

void BM_unquote_word(benchmark::State &state) {
    const char word[] = "\"C:\\Program Files\\Tool\\tool.exe\"";
    char destination[sizeof word];
    for (auto _ : state)
        benchmark::DoNotOptimize(unquote_word(destination, word, word + sizeof word - 1));
}
BENCHMARK(BM_unquote_word);

// A whole parse of a realistic line, traced (argument 1) or with tracing
// silenced, as a program embedding the library would run it (0): what the
// trace costs.
void BM_parse_cmdline(benchmark::State &state) {
    cmdkit_trace_fn sink = nullptr;
    void *context = nullptr;
    cmdkit_get_trace(&sink, &context);
    if (state.range(0) == 0)
        cmdkit_set_trace(nullptr, nullptr);
    for (auto _ : state) {
        char ***list = parse_cmdline(typical_line, nullptr, nullptr, nullptr);
        free_pipeline(list);
    }
    cmdkit_set_trace(sink, context);
}
BENCHMARK(BM_parse_cmdline)->Arg(1)->Arg(0);

// Argument vectors grow one entry at a time and the trace repeats the rest
// of the line at every token: how fast does the cost grow with arguments?
void BM_parse_cmdline_arguments(benchmark::State &state) {
    const std::string line = line_of_arguments(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        char ***list = parse_cmdline(line.c_str(), nullptr, nullptr, nullptr);
        free_pipeline(list);
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_parse_cmdline_arguments)->Arg(10)->Arg(100)->Arg(1000)->Complexity();

// Arguments for the composers: every fourth holds a space, so it is quoted.
class argument_vector {
  public:
    explicit argument_vector(int count, const char *program = "tool") {
        storage_.push_back(program);
        for (int i = 1; i < count; ++i)
            storage_.push_back(i % 4 == 0 ? "with space" : "arg" + std::to_string(i));
        for (std::string &argument : storage_)
            pointers_.push_back(argument.data());
        pointers_.push_back(nullptr);
    }
    char **get() { return pointers_.data(); }

  private:
    std::vector<std::string> storage_;
    std::vector<char *> pointers_;
};

// Every composition measures, allocates once and writes: linear, and the
// plain one should cost no more than the Windows quoting.
void BM_argv_to_cmdline(benchmark::State &state) {
    argument_vector argv(static_cast<int>(state.range(0)));
    for (auto _ : state)
        std::free(argv_to_cmdline(argv.get()));
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_argv_to_cmdline)->Arg(10)->Arg(100)->Arg(1000)->Complexity();

void BM_argv_to_windows_cmdline(benchmark::State &state) {
    argument_vector argv(static_cast<int>(state.range(0)));
    for (auto _ : state)
        std::free(argv_to_windows_cmdline(argv.get()));
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_argv_to_windows_cmdline)->Arg(10)->Arg(100)->Arg(1000)->Complexity();

// The batch quoting, whose arguments are mostly quoted: within the
// interpreter's 8,191 characters, so up to 500 arguments.
void BM_argv_to_batch_cmdline(benchmark::State &state) {
    argument_vector argv(static_cast<int>(state.range(0)), "C:\\tools\\run.bat");
    for (auto _ : state)
        std::free(argv_to_batch_cmdline(argv.get()));
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_argv_to_batch_cmdline)->Arg(10)->Arg(100)->Arg(500)->Complexity();

void BM_pipeline_to_cmdline(benchmark::State &state) {
    char *input = nullptr;
    char *output = nullptr;
    char ***list =
        parse_cmdline("foo a \"b c\" < in | bar -x | baz > \"out file\"", &input, &output, nullptr);
    for (auto _ : state)
        std::free(pipeline_to_cmdline(list, input, output));
    free_pipeline(list);
    std::free(input);
    std::free(output);
}
BENCHMARK(BM_pipeline_to_cmdline);

// The lookup over PATHs of 1, 10 and 100 directories, the program in the
// last one: its cost is the existence tests, four per directory.
class lookup_tree {
  public:
    explicit lookup_tree(int directories) {
        root_ = std::filesystem::temp_directory_path() /
                ("cmdkit-bench-" + std::to_string(directories));
        std::filesystem::create_directories(root_);
        std::string path;
        for (int i = 0; i < directories; ++i) {
            std::filesystem::create_directories(root_ / ("d" + std::to_string(i)));
            path += (i == 0 ? "" : ";") + (root_ / ("d" + std::to_string(i))).string();
        }
        std::ofstream(root_ / ("d" + std::to_string(directories - 1)) / "tool.cmd").flush();
        setenv("PATH", path.c_str(), 1);
        setenv("COMSPEC", "C:\\cmd.exe", 1);
    }
    ~lookup_tree() { std::filesystem::remove_all(root_); }

  private:
    std::filesystem::path root_;
};

// The second argument as for BM_parse_cmdline: traced (1) or silenced (0).
void BM_look_for_cmd(benchmark::State &state) {
    const char *saved = std::getenv("PATH");
    std::string old_path = saved != nullptr ? saved : "";
    cmdkit_trace_fn sink = nullptr;
    void *context = nullptr;
    cmdkit_get_trace(&sink, &context);
    if (state.range(1) == 0)
        cmdkit_set_trace(nullptr, nullptr);
    {
        lookup_tree tree(static_cast<int>(state.range(0)));
        for (auto _ : state) {
            char *app_name = nullptr;
            char *new_cmd = nullptr;
            look_for_cmd("tool a b", &app_name, &new_cmd);
            std::free(app_name);
            std::free(new_cmd);
        }
    }
    cmdkit_set_trace(sink, context);
    setenv("PATH", old_path.c_str(), 1);
}
BENCHMARK(BM_look_for_cmd)->ArgsProduct({{1, 10, 100}, {1, 0}});

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    silence_traces();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
