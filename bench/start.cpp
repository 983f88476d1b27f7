// Starting and waiting for a trivial program, alone and as a pipeline of
// three: cmdkit, given the bare name and a PATH of one absolute entry,
// against the floor, which spawns the same absolute path with the same
// attributes (close-from, signal defaults and an empty mask) and waits.
#include "cmdrun.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

std::string folder;

std::string nop_path() {
    return folder + "/cmdkit_nop";
}

pid_t spawn_floor(const std::string &path, int input, int output) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_adddup2(&actions, input, 0);
    posix_spawn_file_actions_adddup2(&actions, output, 1);
    posix_spawn_file_actions_adddup2(&actions, 2, 2);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    sigset_t mask;
    sigemptyset(&mask);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &mask);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    char *argv[] = {const_cast<char *>("cmdkit_nop"), nullptr};
    pid_t pid = -1;
    posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return pid;
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
    for (auto _ : state)
        floor_pipeline(static_cast<int>(state.range(0)));
}

void BM_cmdkit_run(benchmark::State &state) {
    setenv("PATH", folder.c_str(), 1);
    cmdkit_set_trace(nullptr, nullptr);
    const char *line = state.range(0) == 1 ? "cmdkit_nop" : "cmdkit_nop | cmdkit_nop | cmdkit_nop";
    for (auto _ : state) {
        if (cmdkit_run(line, nullptr, -1, nullptr, nullptr) != 0)
            state.SkipWithError("cmdkit_run failed");
    }
}

BENCHMARK(BM_floor)->Arg(1)->Arg(3)->UseRealTime();
BENCHMARK(BM_cmdkit_run)->Arg(1)->Arg(3)->UseRealTime();

} // namespace

int main(int argc, char **argv) {
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    folder.assign(self, length > 0 ? static_cast<size_t>(length) : 0);
    folder.erase(folder.rfind('/'));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
