// Starting and waiting for a trivial program, alone and as a pipeline of
// three: cmdkit, given the bare name and a PATH of one absolute entry,
// against the floor, which spawns the same absolute path with the same
// attributes (close-from, signal defaults and an empty mask) and waits.
// And capturing: a trivial program's output and errors per call, and the
// throughput of a program writing 256 MiB, each against the floor of the
// same work done by hand.  Every row reports wall time, the caller's own
// CPU time (Google Benchmark's CPU column: this thread's) and, as the
// counter `with_children`, the CPU time of the caller and of the programs
// it ran, which are the same in both columns.
#include "cmdrun.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

std::string folder;

std::string nop_path() {
    return folder + "/cmdkit_nop";
}

std::string produce_path() {
    return folder + "/cmdkit_produce";
}

pid_t spawn_floor(const std::string &path, int input, int output, int errors = 2,
                  const char *argument = nullptr) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_adddup2(&actions, input, 0);
    posix_spawn_file_actions_adddup2(&actions, output, 1);
    posix_spawn_file_actions_adddup2(&actions, errors, 2);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    sigaddset(&defaults, SIGTERM);
    sigset_t mask;
    sigemptyset(&mask);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &mask);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    char *argv[] = {const_cast<char *>(path.c_str()), const_cast<char *>(argument), nullptr};
    pid_t pid = -1;
    posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return pid;
}

// User and system time of this process and of its reaped children.
double cpu_seconds_with_children() {
    double total = 0;
    for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        rusage usage{};
        getrusage(who, &usage);
        for (const timeval &time : {usage.ru_utime, usage.ru_stime})
            total += static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) * 1e-6;
    }
    return total;
}

// Runs the timed loop of `state` over `body` and adds the with_children
// counter, in seconds per iteration.
template <typename Body> void measured(benchmark::State &state, Body body) {
    const double before = cpu_seconds_with_children();
    for (auto _ : state)
        body();
    state.counters["with_children"] = benchmark::Counter(cpu_seconds_with_children() - before,
                                                         benchmark::Counter::kAvgIterations);
}

void floor_pipeline(int commands) {
    const std::string path = nop_path();
    pid_t pids[3];
    int input = 0;
    for (int i = 0; i < commands; ++i) {
        int ends[2] = {-1, 1};
        if (i + 1 < commands && pipe2(ends, O_CLOEXEC) != 0)
            std::abort();
        pids[i] = spawn_floor(path, input, i + 1 < commands ? ends[1] : 1);
        if (input != 0)
            close(input);
        if (i + 1 < commands)
            close(ends[1]);
        input = ends[0];
    }
    for (int i = 0; i < commands; ++i)
        waitpid(pids[i], nullptr, 0);
}

void BM_floor(benchmark::State &state) {
    measured(state, [&] { floor_pipeline(static_cast<int>(state.range(0))); });
}

void BM_cmdkit_run(benchmark::State &state) {
    setenv("PATH", folder.c_str(), 1);
    cmdkit_set_trace(nullptr, nullptr);
    const char *line = state.range(0) == 1 ? "cmdkit_nop" : "cmdkit_nop | cmdkit_nop | cmdkit_nop";
    measured(state, [&] {
        if (cmdkit_run(line, nullptr, -1, nullptr, nullptr) != 0)
            state.SkipWithError("cmdkit_run failed");
    });
}

// Reads `from` to its end into a buffer that doubles as it fills, as a
// capture keeps what it reads.
size_t read_all(int from, char *&buffer, size_t &capacity) {
    size_t length = 0;
    for (;;) {
        if (capacity - length < 65536) {
            capacity = capacity < 65536 ? 131072 : capacity * 2;
            buffer = static_cast<char *>(std::realloc(buffer, capacity));
        }
        const ssize_t got = read(from, buffer + length, capacity - length);
        if (got <= 0)
            return length;
        length += static_cast<size_t>(got);
    }
}

// The floor of a capture's throughput: spawn with one pipe, a read loop
// into a growing buffer, wait.
void BM_capture_throughput_floor(benchmark::State &state) {
    const std::string size = std::to_string(state.range(0));
    measured(state, [&] {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0)
            std::abort();
        const pid_t pid = spawn_floor(produce_path(), 0, ends[1], 2, size.c_str());
        close(ends[1]);
        char *buffer = nullptr;
        size_t capacity = 0;
        benchmark::DoNotOptimize(read_all(ends[0], buffer, capacity));
        close(ends[0]);
        std::free(buffer);
        waitpid(pid, nullptr, 0);
    });
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// The floor of a trivial capture: spawn with two pipes, read both to the
// end as they come, wait.
void capture_call_floor() {
    int output[2];
    int errors[2];
    if (pipe2(output, O_CLOEXEC) != 0 || pipe2(errors, O_CLOEXEC) != 0)
        std::abort();
    const pid_t pid = spawn_floor(nop_path(), 0, output[1], errors[1]);
    close(output[1]);
    close(errors[1]);
    pollfd both[2] = {{output[0], POLLIN, 0}, {errors[0], POLLIN, 0}};
    char buffer[4096];
    for (int open = 2; open > 0;) {
        poll(both, 2, -1);
        for (pollfd &end : both) {
            if (end.fd >= 0 && end.revents != 0 && read(end.fd, buffer, sizeof buffer) <= 0) {
                end.fd = -1;
                --open;
            }
        }
    }
    close(output[0]);
    close(errors[0]);
    waitpid(pid, nullptr, 0);
}

void BM_capture_call_floor(benchmark::State &state) {
    measured(state, capture_call_floor);
}

void BM_cmdkit_capture(benchmark::State &state) {
    const std::string size = std::to_string(state.range(0));
    const std::string program = state.range(0) == 0 ? nop_path() : produce_path();
    char *argv[] = {const_cast<char *>(program.c_str()), const_cast<char *>(size.c_str()), nullptr};
    char **commands[] = {argv, nullptr};
    cmdkit_pipeline pipeline = CMDKIT_PIPELINE_INIT;
    pipeline.commands = commands;
    pipeline.count = 1;
    measured(state, [&] {
        cmdkit_captured result = CMDKIT_CAPTURED_INIT;
        if (cmdkit_capture_pipeline(&pipeline, nullptr, nullptr, 0, 0, -1, &result, nullptr) != 0)
            state.SkipWithError("cmdkit_capture_pipeline failed");
        benchmark::DoNotOptimize(result.output_length);
        cmdkit_clear_captured(&result);
    });
    if (state.range(0) != 0)
        state.SetBytesProcessed(state.iterations() * state.range(0));
}

// Environment changes by the hundred thousand, over a thousand names, on
// top of the caller's environment: whether they cost n log n or the square.
void BM_environment_changes(benchmark::State &state) {
    setenv("PATH", folder.c_str(), 1);
    cmdkit_set_trace(nullptr, nullptr);
    std::vector<std::string> changes;
    for (long i = 0; i < state.range(0); ++i)
        changes.push_back("CMDKIT_BENCH_" + std::to_string(i * 7919 % 1000) + "=" +
                          std::to_string(i));
    std::vector<const char *> list;
    for (const std::string &change : changes)
        list.push_back(change.c_str());
    list.push_back(nullptr);
    cmdkit_start_options options = CMDKIT_START_OPTIONS_INIT;
    options.environment_changes = list.data();
    measured(state, [&] {
        if (cmdkit_run("cmdkit_nop", &options, -1, nullptr, nullptr) != 0)
            state.SkipWithError("cmdkit_run failed");
    });
}

// 1,000 running programs (/bin/cat, each with its input and output a pipe)
// of which one has its output ready: cmdkit_poll over all of them against
// poll(2) over the same descriptors, each call finding that one.
struct many_running {
    std::vector<cmdkit_process *> processes;
    std::vector<cmdkit_poll_item> items;
    std::vector<pollfd> descriptors;

    explicit many_running(int count) {
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
        const char *cat[] = {"/bin/cat", nullptr};
        char **commands[] = {const_cast<char **>(cat), nullptr};
        cmdkit_pipeline pipeline = CMDKIT_PIPELINE_INIT;
        pipeline.commands = commands;
        pipeline.count = 1;
        cmdkit_start_options options = CMDKIT_START_OPTIONS_INIT;
        options.input.kind = CMDKIT_STREAM_PIPE;
        options.output.kind = CMDKIT_STREAM_PIPE;
        for (int i = 0; i < count; ++i) {
            cmdkit_process *process = nullptr;
            if (cmdkit_start(&pipeline, &options, &process, nullptr) != 0)
                std::abort();
            processes.push_back(process);
            items.push_back({process, CMDKIT_EVENT_OUTPUT, 0});
            cmdkit_pollable list[4];
            const int handles = cmdkit_pollables(process, list, 4);
            for (int k = 0; k < handles; ++k) {
                if (list[k].events == CMDKIT_EVENT_OUTPUT)
                    descriptors.push_back({static_cast<int>(list[k].handle), POLLIN, 0});
            }
        }
        // The first one echoes a byte, which stays unread: it is ready.
        if (cmdkit_write_input(processes[0], "x", 1, -1) != 1 ||
            cmdkit_poll(items.data(), items.size(), -1) != 1)
            std::abort();
    }
    ~many_running() {
        for (cmdkit_process *process : processes)
            cmdkit_free_process(process);
    }
};

void BM_poll_one_of_many(benchmark::State &state) {
    many_running running(static_cast<int>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(cmdkit_poll(running.items.data(), running.items.size(), -1));
}

void BM_poll_floor(benchmark::State &state) {
    many_running running(static_cast<int>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(poll(running.descriptors.data(), running.descriptors.size(), -1));
}

BENCHMARK(BM_floor)->Arg(1)->Arg(3)->UseRealTime();
BENCHMARK(BM_cmdkit_run)->Arg(1)->Arg(3)->UseRealTime();
BENCHMARK(BM_capture_call_floor)->UseRealTime();
BENCHMARK(BM_cmdkit_capture)->Arg(0)->UseRealTime();
BENCHMARK(BM_capture_throughput_floor)->Arg(256 << 20)->UseRealTime();
BENCHMARK(BM_cmdkit_capture)->Arg(256 << 20)->UseRealTime();
BENCHMARK(BM_environment_changes)->Arg(100000)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_poll_one_of_many)->Arg(1000)->UseRealTime();
BENCHMARK(BM_poll_floor)->Arg(1000)->UseRealTime();

// `--calls MODE N` runs N iterations of one row outside the benchmark
// library, so that strace can count the system calls of each: floor, run,
// capture-floor or capture.
int count_calls(const std::string &mode, int iterations) {
    setenv("PATH", folder.c_str(), 1);
    cmdkit_set_trace(nullptr, nullptr);
    const std::string nop = nop_path();
    char *by_path[] = {const_cast<char *>(nop.c_str()), nullptr};
    char **commands[] = {by_path, nullptr};
    cmdkit_pipeline pipeline = CMDKIT_PIPELINE_INIT;
    pipeline.commands = commands;
    pipeline.count = 1;
    for (int i = 0; i < iterations; ++i) {
        if (mode == "floor") {
            floor_pipeline(1);
        } else if (mode == "run") {
            cmdkit_run("cmdkit_nop", nullptr, -1, nullptr, nullptr);
        } else if (mode == "capture-floor") {
            capture_call_floor();
        } else if (mode == "capture") {
            cmdkit_captured result = CMDKIT_CAPTURED_INIT;
            cmdkit_capture_pipeline(&pipeline, nullptr, nullptr, 0, 0, -1, &result, nullptr);
            cmdkit_clear_captured(&result);
        } else {
            return 2;
        }
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    folder.assign(self, length > 0 ? static_cast<size_t>(length) : 0);
    folder.erase(folder.rfind('/'));
    if (argc == 4 && std::strcmp(argv[1], "--calls") == 0)
        return count_calls(argv[2], std::atoi(argv[3]));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
