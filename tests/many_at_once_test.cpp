// Many pipelines at once: cmdkit_poll alone drives them to their end, byte
// for byte; the handles an event loop watches; any signal; the caller's
// handles beyond the standard three.
#include "cmdrun.h"
#include "support/environment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#endif

namespace {

using testing_support::scoped_variable;
using testing_support::scratch_directory;
using clock_type = std::chrono::steady_clock;

constexpr unsigned pipes = CMDKIT_EVENT_OUTPUT | CMDKIT_EVENT_ERRORS;

class ManyAtOnce : public testing::Test {
  protected:
    ManyAtOnce() : path("PATH", testing_support::programs_folder().u8string()) {
        cmdkit_set_trace(nullptr, nullptr);
    }
    ~ManyAtOnce() override { cmdkit_set_trace(cmdkit_trace_to_stderr, nullptr); }

    // Starts `line` with the pipes asked for (`input` too when not null).
    cmdkit_process *start(const std::string &line, bool input, unsigned flags = 0) {
        cmdkit_pipeline pipeline = CMDKIT_PIPELINE_INIT;
        EXPECT_EQ(cmdkit_parse_pipeline(line.c_str(), &pipeline), 0) << line;
        cmdkit_start_options options = CMDKIT_START_OPTIONS_INIT;
        options.flags = flags | (input ? 0u : CMDKIT_START_NULL_INPUT);
        options.input.kind = input ? CMDKIT_STREAM_PIPE : CMDKIT_STREAM_DEFAULT;
        options.output.kind = CMDKIT_STREAM_PIPE;
        options.errors.kind = CMDKIT_STREAM_PIPE;
        cmdkit_process *process = nullptr;
        cmdkit_failure failure = CMDKIT_FAILURE_INIT;
        EXPECT_EQ(cmdkit_start(&pipeline, &options, &process, &failure), 0) << failure.message;
        cmdkit_clear_pipeline(&pipeline);
        return process;
    }

    scratch_directory scratch;
    scoped_variable path;
};

// One pipeline driven by the poll: what it is to be given and what it gave.
struct driven {
    cmdkit_process *process = nullptr;
    std::string input;
    size_t written = 0;
    std::string read[3]; // by side: output 1, errors 2
    cmdkit_exit exit{};
};

// Moves whatever the events say, with limits of 0, and drops each interest
// once met; a pipeline with none left is freed unless it is to be `kept`.
// Only cmdkit_poll waits.
void step(driven &one, cmdkit_poll_item &item, bool kept = false) {
    char buffer[65536];
    for (int side : {1, 2}) {
        const unsigned event = side == 1 ? CMDKIT_EVENT_OUTPUT : CMDKIT_EVENT_ERRORS;
        if ((item.events & event) == 0)
            continue;
        const ptrdiff_t got = (side == 1 ? cmdkit_read_output : cmdkit_read_errors)(
            one.process, buffer, sizeof buffer, 0);
        ASSERT_TRUE(got >= 0 || errno == ETIMEDOUT) << std::strerror(errno);
        one.read[side].append(buffer, static_cast<size_t>(std::max<ptrdiff_t>(got, 0)));
        item.interests &= got == 0 ? ~event : ~0u;
    }
    if ((item.events & CMDKIT_EVENT_INPUT) != 0) {
        const ptrdiff_t put = cmdkit_write_input(one.process, one.input.data() + one.written,
                                                 one.input.size() - one.written, 0);
        ASSERT_TRUE(put > 0 || errno == ETIMEDOUT || errno == EPIPE);
        one.written += static_cast<size_t>(std::max<ptrdiff_t>(put, 0));
        if (one.written == one.input.size() || (put < 0 && errno == EPIPE)) {
            cmdkit_close_input(one.process);
            item.interests &= ~CMDKIT_EVENT_INPUT;
        }
    }
    if ((item.events & CMDKIT_EVENT_ENDED) != 0) {
        EXPECT_EQ(cmdkit_wait(one.process, 0), 0) << "ENDED, but a look finds a command running";
        item.interests &= ~CMDKIT_EVENT_ENDED;
    }
    if (item.interests == 0 && !kept) {
        cmdkit_exit_status(one.process, 0, &one.exit);
        cmdkit_free_process(one.process);
        one.process = nullptr;
        item.process = nullptr;
    }
}

void drive(std::vector<driven> &all) {
    std::vector<cmdkit_poll_item> items;
    for (driven &one : all)
        items.push_back({one.process,
                         pipes | CMDKIT_EVENT_ENDED | (one.input.empty() ? 0u : CMDKIT_EVENT_INPUT),
                         0});
    for (size_t left = all.size(); left > 0;) {
        const int ready = cmdkit_poll(items.data(), items.size(), 60000);
        ASSERT_GT(ready, 0) << (ready == 0 ? "nothing for a minute" : std::strerror(errno));
        for (size_t i = 0; i < items.size(); ++i) {
            if (items[i].events == 0)
                continue;
            step(all[i], items[i]);
            left -= items[i].process == nullptr ? 1 : 0;
        }
    }
}

int thread_count() {
#ifdef _WIN32
    return 0;
#else
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Threads:", 0) == 0)
            return std::stoi(line.substr(8));
    }
    return -1;
#endif
}

// The lines "TAG SEED i" of one stream, in order; the indexes seen go into
// `seen`, each once.
bool lines_in_order(const std::string &text, char tag, const std::string &seed,
                    std::vector<int> &seen) {
    std::istringstream lines(text);
    int last = -1;
    for (std::string line; std::getline(lines, line);) {
        const std::string head = std::string(1, tag) + " " + seed + " ";
        if (line.rfind(head, 0) != 0)
            return false;
        const int index = std::stoi(line.substr(head.size()));
        if (index <= last || index >= static_cast<int>(seen.size()) || seen[index]++ != 0)
            return false;
        last = index;
    }
    return true;
}

// 200 pipelines at once, writing output and errors at random moments, one
// in four reading input too, all driven to their end by cmdkit_poll alone,
// byte for byte, with no thread of cmdkit's.  Meanwhile a start that finds
// no descriptor left fails with its stage, and harms none of them.
TEST_F(ManyAtOnce, TwoHundredPipelinesDrivenByPollAlone) {
    const int threads = thread_count();
    std::vector<driven> all(200);
    for (size_t i = 0; i < all.size(); ++i) {
        if (i % 4 == 0) {
            all[i].input.assign(1000 + i * 997 % 200000, '\0');
            for (size_t b = 0; b < all[i].input.size(); ++b)
                all[i].input[b] = static_cast<char>((b * 31 + i) % 251);
            all[i].process = start("argv_echo --child copy " + std::to_string(i), true);
        } else {
            all[i].process = start("argv_echo --child chatter 20 " + std::to_string(i), false);
        }
        ASSERT_NE(all[i].process, nullptr);
    }
    EXPECT_EQ(thread_count(), threads);
#if !defined(_WIN32)
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const rlimit none{3, limit.rlim_max};
    setrlimit(RLIMIT_NOFILE, &none);
    cmdkit_failure failure = CMDKIT_FAILURE_INIT;
    cmdkit_captured result = CMDKIT_CAPTURED_INIT;
    EXPECT_EQ(cmdkit_capture("argv_echo --child exit 0", nullptr, nullptr, 0, 0, 60000, &result,
                             &failure),
              -1);
    setrlimit(RLIMIT_NOFILE, &limit);
    EXPECT_EQ(failure.stage, CMDKIT_FAILED_SYSTEM);
    EXPECT_EQ(failure.error, EMFILE);
#endif
    drive(all);
    EXPECT_EQ(thread_count(), threads);
    for (size_t i = 0; i < all.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(all[i].exit.state, CMDKIT_EXIT_EXITED);
        if (i % 4 == 0) {
            EXPECT_TRUE(all[i].read[1] == all[i].input);
            EXPECT_EQ(all[i].read[2].size(), i);
            continue;
        }
        std::vector<int> seen(20);
        const std::string seed = std::to_string(i);
        EXPECT_TRUE(lines_in_order(all[i].read[1], 'o', seed, seen)) << all[i].read[1];
        EXPECT_TRUE(lines_in_order(all[i].read[2], 'e', seed, seen)) << all[i].read[2];
        EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), 20);
    }
}

// A pipeline of 100 commands ends for the poll and for a wait, which sleep
// no more than any other (the strace row runs this too).
TEST_F(ManyAtOnce, AHundredCommandsAreWaitedOnLikeOne) {
    std::string line = "argv_echo --child lines 3 x";
    for (int i = 1; i < 100; ++i)
        line += " | argv_echo --child copy";
    std::vector<driven> one(1);
    one[0].process = start(line, false);
    ASSERT_NE(one[0].process, nullptr);
    drive(one);
    EXPECT_EQ(one[0].read[1], "x 0\nx 1\nx 2\n");
    cmdkit_process *waited = start(line, false);
    char buffer[64];
    while (cmdkit_read_output(waited, buffer, sizeof buffer, 60000) > 0) {
    }
    EXPECT_EQ(cmdkit_wait(waited, 60000), 0);
    cmdkit_free_process(waited);
}

// ENDED comes from the commands' ends: a grandchild holding the pipes does
// not delay it; the group or the job then ends with the free.  A stop from
// another thread is reported by a poll waiting on it.
TEST_F(ManyAtOnce, EndedComesFromTheCommandsNotTheirPipes) {
    cmdkit_process *parent =
        start("argv_echo --child spawn-sleeper 0", false, CMDKIT_START_NEW_GROUP);
    cmdkit_poll_item item{parent, CMDKIT_EVENT_ENDED, 0};
    const auto begun = clock_type::now();
    EXPECT_EQ(cmdkit_poll(&item, 1, 60000), 1);
    EXPECT_LT(clock_type::now() - begun, std::chrono::seconds(10));
    EXPECT_EQ(item.events, CMDKIT_EVENT_ENDED);
    cmdkit_exit exit{};
    EXPECT_EQ(cmdkit_exit_status(parent, 0, &exit), 0);
    EXPECT_EQ(exit.state, CMDKIT_EXIT_EXITED) << "reaped by the poll";
    cmdkit_free_process(parent);

    cmdkit_process *sleepers[3];
    for (cmdkit_process *&sleeper : sleepers)
        sleeper = start("argv_echo --child sleep", false);
    cmdkit_poll_item items[3];
    for (int i = 0; i < 3; ++i)
        items[i] = {sleepers[i], CMDKIT_EVENT_ENDED, 0};
#ifdef _WIN32
    HANDLE stopper = CreateThread(
        nullptr, 0,
        [](void *process) -> DWORD {
            Sleep(200);
            return static_cast<DWORD>(cmdkit_stop(static_cast<cmdkit_process *>(process), 0));
        },
        sleepers[1], 0, nullptr);
#else
    std::thread stopper([&sleepers] {
        usleep(200000);
        cmdkit_stop(sleepers[1], 0);
    });
#endif
    EXPECT_EQ(cmdkit_poll(items, 3, 60000), 1);
    EXPECT_EQ(items[1].events, CMDKIT_EVENT_ENDED);
#ifdef _WIN32
    WaitForSingleObject(stopper, INFINITE);
    CloseHandle(stopper);
#else
    stopper.join();
#endif
    cmdkit_exit_status(sleepers[1], 0, &exit);
    EXPECT_EQ(exit.state, CMDKIT_EXIT_KILLED);
    for (cmdkit_process *sleeper : sleepers)
        cmdkit_free_process(sleeper);
}

// What an outside loop watches: the pipes and the commands, shrinking as
// each ends, none listed twice, each open until the free.  A loop may make
// a descriptor non-blocking (libuv does).  On Windows the system's own wait
// on the handles wakes for the output.
TEST_F(ManyAtOnce, PollablesShrinkAsPipesAndCommandsEnd) {
    cmdkit_process *process = start("argv_echo --child copy 2", true);
    cmdkit_pollable list[8];
    ASSERT_EQ(cmdkit_pollables(process, list, 8), 4);
    const std::vector<cmdkit_pollable> given(list, list + 4);
    unsigned events = 0;
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(events & list[i].events, 0u) << "listed twice";
        events |= list[i].events;
    }
    EXPECT_EQ(events, pipes | CMDKIT_EVENT_INPUT | CMDKIT_EVENT_ENDED);
    EXPECT_EQ(cmdkit_pollables(process, nullptr, 0), 4) << "counted without room";
#ifdef _WIN32
    HANDLE handles[4];
    for (int i = 0; i < 4; ++i)
        handles[i] = reinterpret_cast<HANDLE>(list[i].handle);
    EXPECT_LT(WaitForMultipleObjects(4, handles, FALSE, 60000), WAIT_OBJECT_0 + 4);
#else
    for (const cmdkit_pollable &handle : list)
        if (handle.events == CMDKIT_EVENT_OUTPUT)
            fcntl(static_cast<int>(handle.handle), F_SETFL, O_NONBLOCK);
#endif
    EXPECT_EQ(cmdkit_write_input(process, "xy", 2, 60000), 2);
    EXPECT_EQ(cmdkit_close_input(process), 0);
    std::vector<driven> one(1);
    one[0].process = process;
    cmdkit_poll_item item{process, pipes | CMDKIT_EVENT_ENDED, 0};
    while (item.interests != 0) {
        ASSERT_EQ(cmdkit_poll(&item, 1, 60000), 1);
        step(one[0], item, true);
    }
    EXPECT_EQ(one[0].read[1], "xy");
    EXPECT_EQ(cmdkit_wait(process, 60000), 0);
    EXPECT_EQ(cmdkit_pollables(process, list, 8), 0) << "nothing left to watch";
#ifndef _WIN32
    for (const cmdkit_pollable &handle : given) // the input's went with cmdkit_close_input
        EXPECT_EQ(fcntl(static_cast<int>(handle.handle), F_GETFD) >= 0,
                  handle.events != CMDKIT_EVENT_INPUT);
#endif
    cmdkit_free_process(process);
}

// The caller's handles beyond the standard three: on POSIX at 3, 4, 5 in
// the order given, here the reverse of their numbers; on Windows at their
// own values, told to the program.  Nothing else is inherited; one that is
// not open, or (Windows) not inheritable, is refused by its index.
TEST_F(ManyAtOnce, ExtraHandlesReachEveryCommandInTheirOrder) {
    std::vector<std::FILE *> files;
    std::vector<intptr_t> handles;
    std::string told;
    for (const char *text : {"first", "second", "third"}) {
        std::ofstream(text) << text;
        files.push_back(std::fopen(text, "rb"));
#ifdef _WIN32
        const intptr_t handle = _get_osfhandle(_fileno(files.back()));
        SetHandleInformation(reinterpret_cast<HANDLE>(handle), HANDLE_FLAG_INHERIT,
                             HANDLE_FLAG_INHERIT);
#else
        const intptr_t handle = fileno(files.back());
#endif
        handles.insert(handles.begin(), handle);
    }
    for (intptr_t handle : handles)
        told += " " + std::to_string(handle);
    cmdkit_start_options options = CMDKIT_START_OPTIONS_INIT;
    cmdkit_captured result = CMDKIT_CAPTURED_INIT;
    cmdkit_failure failure = CMDKIT_FAILURE_INIT;
    // What a command holds without them (Wine's own file handles among it).
    ASSERT_EQ(cmdkit_capture("argv_echo --child handles", &options, nullptr, 0, 0, 60000, &result,
                             &failure),
              0);
    const auto held = std::count(result.output, result.output + result.output_length, '\n');
    cmdkit_clear_captured(&result);
    options.extra_handles = handles.data();
    options.extra_count = handles.size();
    ASSERT_EQ(cmdkit_capture(("argv_echo --child extras 3" + told).c_str(), &options, nullptr, 0, 0,
                             60000, &result, &failure),
              0)
        << failure.message;
    EXPECT_STREQ(result.output, "third\nsecond\nfirst\n");
    cmdkit_clear_captured(&result);
    ASSERT_EQ(cmdkit_capture("argv_echo --child handles", &options, nullptr, 0, 0, 60000, &result,
                             &failure),
              0);
    EXPECT_EQ(std::count(result.output, result.output + result.output_length, '\n'), held + 3)
        << result.output;
    cmdkit_clear_captured(&result);
    handles.push_back(9999);
    options.extra_count = handles.size();
    EXPECT_EQ(cmdkit_run("argv_echo --child exit 0", &options, 60000, nullptr, &failure), -1);
    EXPECT_EQ(failure.stage, CMDKIT_FAILED_REQUEST);
    EXPECT_EQ(failure.error, EBADF);
    EXPECT_STREQ(failure.message, "Refused: extra_handles[3] is not open.");
#ifdef _WIN32
    handles.back() = handles.front();
    SetHandleInformation(reinterpret_cast<HANDLE>(handles.front()), HANDLE_FLAG_INHERIT, 0);
    EXPECT_EQ(cmdkit_run("argv_echo --child exit 0", &options, 60000, nullptr, &failure), -1);
    EXPECT_EQ(failure.error, EINVAL);
    EXPECT_STREQ(failure.message, "Refused: extra_handles[0] is not inheritable.");
#endif
    for (std::FILE *file : files)
        std::fclose(file);
}

// Any signal: a trapped SIGUSR1 lets the program say so and end its way, an
// untrapped one ends it SIGNALED (never KILLED); 0 only checks, and a
// pipeline that has ended takes it too.  Windows has none to send.
TEST_F(ManyAtOnce, AnySignalReachesWhatRuns) {
    cmdkit_process *trap = start("argv_echo --child trap USR1", false);
    char ready[16] = {};
    ASSERT_GT(cmdkit_read_output(trap, ready, sizeof ready - 1, 60000), 0);
#ifdef _WIN32
    errno = 0;
    EXPECT_EQ(cmdkit_signal(trap, 10), -1);
    EXPECT_EQ(errno, ENOTSUP);
#else
    EXPECT_EQ(cmdkit_signal(trap, 0), 0);
    EXPECT_EQ(cmdkit_signal(trap, SIGUSR1), 0);
    EXPECT_EQ(cmdkit_wait(trap, 60000), 0);
    cmdkit_exit exit{};
    cmdkit_exit_status(trap, 0, &exit);
    EXPECT_EQ(exit.code, 3u) << "the handler's status";
    char said[16] = {};
    EXPECT_GT(cmdkit_read_output(trap, said, sizeof said - 1, 60000), 0);
    EXPECT_STREQ(said, "term\n");
    EXPECT_EQ(cmdkit_signal(trap, SIGUSR1), 0) << "every command has ended";
    cmdkit_process *sleeper = start("argv_echo --child sleep", false);
    EXPECT_EQ(cmdkit_signal(sleeper, SIGUSR2), 0);
    EXPECT_EQ(cmdkit_wait(sleeper, 60000), 0);
    cmdkit_exit_status(sleeper, 0, &exit);
    EXPECT_EQ(exit.state, CMDKIT_EXIT_SIGNALED);
    EXPECT_EQ(exit.code, static_cast<unsigned long>(SIGUSR2));
    cmdkit_free_process(sleeper);
    for (int number : {-1, 999}) {
        errno = 0;
        EXPECT_EQ(cmdkit_signal(trap, number), -1);
        EXPECT_EQ(errno, EINVAL);
    }
#endif
    EXPECT_EQ(cmdkit_signal(nullptr, 0), -1);
    cmdkit_free_process(trap);
}

// What a poll could never meet is refused before anything is waited on.
TEST_F(ManyAtOnce, PollsThatCouldNeverBeMetAreRefused) {
    cmdkit_process *piped = start("argv_echo --child copy", true);
    cmdkit_pipeline pipeline = CMDKIT_PIPELINE_INIT;
    ASSERT_EQ(cmdkit_parse_pipeline("argv_echo --child exit 0", &pipeline), 0);
    cmdkit_process *plain = nullptr;
    ASSERT_EQ(cmdkit_start(&pipeline, nullptr, &plain, nullptr), 0);
    cmdkit_clear_pipeline(&pipeline);
    const struct {
        cmdkit_process *process;
        unsigned interests;
        long timeout_ms;
    } rows[] = {
        {plain, CMDKIT_EVENT_OUTPUT, -1},
        {plain, CMDKIT_EVENT_INPUT, -1},
        {piped, 0x10u, -1},
        {piped, CMDKIT_EVENT_ENDED, -2},
    };
    for (const auto &row : rows) {
        cmdkit_poll_item item{row.process, row.interests, 99};
        errno = 0;
        EXPECT_EQ(cmdkit_poll(&item, 1, row.timeout_ms), -1);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(item.events, 0u);
    }
    cmdkit_close_input(piped);
    cmdkit_poll_item closed{piped, CMDKIT_EVENT_INPUT, 0};
    EXPECT_EQ(cmdkit_poll(&closed, 1, -1), -1) << "an input closed with cmdkit_close_input";
    EXPECT_EQ(cmdkit_poll(nullptr, 1, 0), -1);
    EXPECT_EQ(cmdkit_poll(nullptr, 0, -1), 0) << "nothing to wait for";
    cmdkit_poll_item skipped{nullptr, CMDKIT_EVENT_ENDED, 7};
    EXPECT_EQ(cmdkit_poll(&skipped, 1, 0), 0);
    EXPECT_EQ(skipped.events, 0u);
    EXPECT_EQ(cmdkit_pollables(nullptr, nullptr, 0), -1);
    cmdkit_free_process(piped);
    cmdkit_free_process(plain);
}

// Many lines as jobs: what each job's `done` saw, by index.
struct reported {
    std::vector<size_t> order;
    std::vector<int> outcomes, stages;
    std::vector<std::string> outputs, errors;
    std::vector<cmdkit_exit> exits;
    size_t cancel_after = static_cast<size_t>(-1);
};

int note_job(void *context, size_t index, int outcome, const cmdkit_captured *result,
             const cmdkit_failure *failure) {
    auto &seen = *static_cast<reported *>(context);
    seen.order.push_back(index);
    seen.outcomes[index] = outcome;
    seen.stages[index] = failure != nullptr ? failure->stage : 0;
    if (result != nullptr) {
        seen.outputs[index].assign(result->output, result->output_length);
        seen.errors[index].assign(result->errors, result->errors_length);
        seen.exits[index] = result->status;
    }
    return seen.order.size() >= seen.cancel_after ? 1 : 0;
}

int run_all(const std::vector<std::string> &lines, reported &seen,
            cmdkit_run_all_options options = CMDKIT_RUN_ALL_OPTIONS_INIT) {
    std::vector<const char *> list;
    for (const std::string &line : lines)
        list.push_back(line.c_str());
    seen.order.clear();
    seen.outcomes.assign(lines.size(), 99);
    seen.stages.assign(lines.size(), 99);
    seen.outputs.assign(lines.size(), "");
    seen.errors.assign(lines.size(), "");
    seen.exits.assign(lines.size(), cmdkit_exit{});
    options.done = note_job;
    options.context = &seen;
    cmdkit_failure failure = CMDKIT_FAILURE_INIT;
    const int result = cmdkit_run_all(list.data(), list.size(), &options, &failure);
    std::vector<size_t> indexes = seen.order;
    std::sort(indexes.begin(), indexes.end());
    for (size_t i = 0; i < indexes.size(); ++i)
        EXPECT_EQ(indexes[i], i) << "every index reported once";
    EXPECT_EQ(indexes.size(), result < 0 ? 0 : lines.size());
    return result;
}

// 300 jobs, at 8 and at 100 at once (in the given order then), each
// writing output and errors of up to 1 MiB: each job's own whole and
// exact, none mixed with another's.
TEST_F(ManyAtOnce, RunAllGivesEachJobsOutputWhole) {
    std::vector<std::string> lines;
    std::vector<size_t> sizes;
    for (size_t i = 0; i < 300; ++i) {
        sizes.push_back(i % 25 == 0 ? i * 7919 % (1 << 20) : i * 37 % 4000);
        lines.push_back("argv_echo --child produce " + std::to_string(sizes[i]) + " " +
                        std::to_string(sizes[i] / 3));
    }
    for (const unsigned jobs : {8u, 100u}) {
        SCOPED_TRACE(jobs);
        reported seen;
        cmdkit_run_all_options options = CMDKIT_RUN_ALL_OPTIONS_INIT;
        options.jobs = jobs;
        options.flags = jobs == 100 ? CMDKIT_ALL_KEEP_ORDER : 0u;
        EXPECT_EQ(run_all(lines, seen, options), 0);
        for (size_t i = 0; i < lines.size(); ++i) {
            EXPECT_EQ(seen.outputs[i].size(), sizes[i]) << i;
            EXPECT_EQ(seen.errors[i].size(), sizes[i] / 3) << i;
            for (size_t b = 0; b < seen.outputs[i].size(); b += 997)
                ASSERT_EQ(seen.outputs[i][b], 'a' + static_cast<char>(b % 65536 % 26)) << i;
        }
        if (jobs == 100) {
            EXPECT_TRUE(std::is_sorted(seen.order.begin(), seen.order.end()));
        }
    }
}

// Jobs that do not parse or are not found are their own outcome; the first
// failure with STOP_ON_FAILURE stops the rest (each reported: stopped, or
// never started); a `done` that says no, and a cancel from another thread
// or (POSIX) a signal handler, stop the run the same way; each job has its
// own limit and bound; a run that cannot be is refused before any job.
TEST_F(ManyAtOnce, RunAllStopsOnAFailureOrACancel) {
    reported seen;
    EXPECT_EQ(
        run_all({"argv_echo --child exit 0", "argv_echo |", "missing", "argv_echo --child exit 4"},
                seen),
        1);
    EXPECT_EQ(seen.stages, (std::vector<int>{0, CMDKIT_FAILED_PARSE, CMDKIT_FAILED_FIND, 0}));
    EXPECT_EQ(seen.exits[3].code, 4u);
    std::vector<std::string> sleepers(12, "argv_echo --child sleep");
    sleepers[2] = "argv_echo --child exit 3";
    cmdkit_run_all_options options = CMDKIT_RUN_ALL_OPTIONS_INIT;
    options.jobs = 4;
    options.flags = CMDKIT_ALL_STOP_ON_FAILURE;
    EXPECT_EQ(run_all(sleepers, seen, options), 1);
    EXPECT_EQ(seen.exits[2].code, 3u);
    for (size_t i : {0, 1, 3})
        EXPECT_EQ(seen.outcomes[i], 1) << "stopped by the run";
    for (size_t i = 4; i < sleepers.size(); ++i)
        EXPECT_EQ(seen.stages[i], CMDKIT_FAILED_NOT_STARTED);
    seen.cancel_after = 1;
    options.flags = 0;
    sleepers[2] = "argv_echo --child exit 0";
    EXPECT_EQ(run_all(sleepers, seen, options), 1);
    EXPECT_EQ(std::count(seen.stages.begin(), seen.stages.end(), CMDKIT_FAILED_NOT_STARTED), 8);
    seen.cancel_after = static_cast<size_t>(-1);
#ifdef _WIN32
    HANDLE cancel = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    options.cancel_handle = reinterpret_cast<intptr_t>(cancel);
    HANDLE canceller = CreateThread(
        nullptr, 0,
        [](void *event) -> DWORD {
            Sleep(300);
            return SetEvent(static_cast<HANDLE>(event));
        },
        cancel, 0, nullptr);
#else
    static int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    options.cancel_handle = ends[0];
    struct sigaction handler {
    }, previous{};
    handler.sa_handler = [](int) { (void)!write(ends[1], "x", 1); };
    sigaction(SIGALRM, &handler, &previous);
    alarm(1);
#endif
    const auto begun = clock_type::now();
    EXPECT_EQ(run_all(sleepers, seen, options), 1);
    EXPECT_LT(clock_type::now() - begun, std::chrono::seconds(20));
    EXPECT_EQ(std::count(seen.outcomes.begin(), seen.outcomes.end(), 1), 4);
#ifdef _WIN32
    WaitForSingleObject(canceller, INFINITE);
    CloseHandle(canceller);
    CloseHandle(cancel);
#else
    sigaction(SIGALRM, &previous, nullptr);
    close(ends[0]);
    close(ends[1]);
#endif
    options = CMDKIT_RUN_ALL_OPTIONS_INIT;
    options.job_timeout_ms = 300;
    options.max_output = 10;
    EXPECT_EQ(run_all({"argv_echo --child sleep", "argv_echo --child produce 1000"}, seen, options),
              1);
    EXPECT_EQ(seen.outcomes, (std::vector<int>{1, 1}));
    EXPECT_EQ(seen.outputs[1], "abcdefghij") << "the bound";
    options.job_timeout_ms = 0;
    EXPECT_EQ(run_all({"argv_echo"}, seen, options), -1) << "refused, no job reported";
}

} // namespace
