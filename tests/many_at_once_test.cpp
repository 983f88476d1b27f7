// Many pipelines at once: cmdkit_poll alone drives them to their end, byte
// for byte; the handles an event loop watches; any signal; the caller's
// handles beyond the standard three; many lines run as jobs.
#include "cmdkit.hpp"
#include "cmdrun.h"
#include "support/environment.h"
#include "support/results.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
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

namespace fs = std::filesystem;
using testing_support::fails_with;
constexpr unsigned pipes = CMDKIT_EVENT_OUTPUT | CMDKIT_EVENT_ERRORS;

// `act` in another thread after `delay_ms`; `join` waits for it.
struct beside {
    void (*act)(void *);
    void *context;
    unsigned delay_ms;
#ifdef _WIN32
    HANDLE thread = CreateThread(nullptr, 0, call, this, 0, nullptr);
    static DWORD WINAPI call(void *self) {
        auto *me = static_cast<beside *>(self);
        Sleep(me->delay_ms);
        me->act(me->context);
        return 0;
    }
    void join() {
        WaitForSingleObject(thread, INFINITE), CloseHandle(thread);
    }
#else
    std::thread thread{[this] { usleep(delay_ms * 1000), act(context); }};
    void join() {
        thread.join();
    }
#endif
};

class ManyAtOnce : public testing::Test {
  protected:
    // `line` with its output and errors (and its input when asked) pipes.
    static cmdkit_process *start(const std::string &line, bool input, unsigned flags = 0) {
        cmdkit_pipeline pipeline = CMDKIT_PIPELINE_INIT;
        EXPECT_EQ(cmdkit_parse_pipeline(line.c_str(), &pipeline), 0) << line;
        cmdkit_start_options options = CMDKIT_START_OPTIONS_INIT;
        options.flags = flags | (input ? 0u : CMDKIT_START_NULL_INPUT);
        options.input.kind = input ? CMDKIT_STREAM_PIPE : CMDKIT_STREAM_DEFAULT;
        options.output.kind = options.errors.kind = CMDKIT_STREAM_PIPE;
        cmdkit_process *process = nullptr;
        EXPECT_EQ(cmdkit_start(&pipeline, &options, &process, nullptr), 0) << line;
        cmdkit_clear_pipeline(&pipeline);
        return process;
    }

    testing_support::scratch_directory scratch;
    testing_support::scoped_variable path{"PATH", testing_support::programs_folder().u8string()};
};

// One pipeline driven by the poll: what it is given and what it gave.
struct driven {
    cmdkit_process *process = nullptr;
    std::string input;
    size_t written = 0;
    std::string read[3]; // by side: output 1, errors 2
};

// Moves what the events say with limits of 0, drops each interest once met,
// and frees a pipeline with none left unless it is `kept`: only the poll
// waits.
void step(driven &one, cmdkit_poll_item &item, bool kept = false) {
    char buffer[65536];
    for (int side : {1, 2}) {
        const unsigned event = side == 1 ? CMDKIT_EVENT_OUTPUT : CMDKIT_EVENT_ERRORS;
        const auto take = side == 1 ? cmdkit_read_output : cmdkit_read_errors;
        const ptrdiff_t got =
            (item.events & event) ? take(one.process, buffer, sizeof buffer, 0) : -1;
        one.read[side].append(buffer, static_cast<size_t>(std::max<ptrdiff_t>(got, 0)));
        item.interests &= got == 0 ? ~event : ~0u;
    }
    if ((item.events & CMDKIT_EVENT_INPUT) != 0) {
        const ptrdiff_t put = cmdkit_write_input(one.process, one.input.data() + one.written,
                                                 one.input.size() - one.written, 0);
        one.written += static_cast<size_t>(std::max<ptrdiff_t>(put, 0));
        if (one.written == one.input.size() || (put < 0 && errno == EPIPE))
            cmdkit_close_input(one.process), item.interests &= ~CMDKIT_EVENT_INPUT;
    }
    if ((item.events & CMDKIT_EVENT_ENDED) != 0) {
        EXPECT_EQ(cmdkit_wait(one.process, 0), 0) << "ENDED, yet a command runs";
        item.interests &= ~CMDKIT_EVENT_ENDED;
    }
    if (item.interests == 0 && !kept)
        cmdkit_free_process(one.process), item.process = nullptr;
}

void drive(std::vector<driven> &all) {
    std::vector<cmdkit_poll_item> items;
    for (driven &one : all)
        items.push_back({one.process,
                         pipes | CMDKIT_EVENT_ENDED | (one.input.empty() ? 0u : CMDKIT_EVENT_INPUT),
                         0});
    for (size_t left = all.size(); left > 0;) {
        ASSERT_GT(cmdkit_poll(items.data(), items.size(), 60000), 0) << "nothing for a minute";
        for (size_t i = 0; i < items.size(); ++i) {
            if (items[i].events != 0)
                step(all[i], items[i]), left -= items[i].process == nullptr ? 1 : 0;
        }
    }
}

// What `argv_echo --child produce` writes: 'a' + i % 26 in each 64 KiB.
std::string pattern(size_t count) {
    std::string text;
    for (size_t b = 0; b < count; ++b)
        text += static_cast<char>('a' + b % 65536 % 26);
    return text;
}

// What `line` writes on its output, or "(failed)".
std::string output_of(const std::string &line, const cmdkit_start_options *options,
                      cmdkit_failure *failure = nullptr) {
    cmdkit_captured result = CMDKIT_CAPTURED_INIT;
    const bool ran =
        cmdkit_capture(line.c_str(), options, nullptr, 0, 0, 60000, &result, failure) == 0;
    const std::string output = ran ? std::string(result.output, result.output_length) : "(failed)";
    cmdkit_clear_captured(&result);
    return output;
}

// The threads of this process, where /proc tells (0 elsewhere).
long thread_count() {
    std::error_code none;
    return std::distance(fs::directory_iterator("/proc/self/task", none), fs::directory_iterator());
}

// 200 pipelines at once, writing output and errors at random moments, one
// in four reading input too, all driven to their end by cmdkit_poll alone,
// byte for byte, with no thread of cmdkit's.  Meanwhile a start that finds
// no descriptor left fails with its stage, and harms none of them, and one
// that needs none but its pidfd has its end seen all the same.
TEST_F(ManyAtOnce, TwoHundredPipelinesDrivenByPollAlone) {
    const long threads = thread_count();
    std::vector<driven> all(200);
    for (size_t i = 0; i < all.size(); ++i) {
        const bool copy = i % 4 == 0; // else chatter
        for (size_t b = 0; copy && b < 1000 + i * 997 % 200000; ++b)
            all[i].input += static_cast<char>((b * 31 + i) % 251);
        const std::string mode = copy ? "copy " : "chatter 20 ";
        all[i].process = start("argv_echo --child " + mode + std::to_string(i), copy);
    }
    EXPECT_EQ(thread_count(), threads);
#if !defined(_WIN32)
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const rlimit none{3, limit.rlim_max};
    cmdkit_pipeline quick = CMDKIT_PIPELINE_INIT; // its pidfd finds no descriptor left
    cmdkit_parse_pipeline("argv_echo --child exit 0", &quick);
    cmdkit_process *stepped = nullptr;
    setrlimit(RLIMIT_NOFILE, &none);
    EXPECT_EQ(cmdkit_start(&quick, nullptr, &stepped, nullptr), 0);
    cmdkit_failure failure = CMDKIT_FAILURE_INIT;
    EXPECT_EQ(output_of("argv_echo", nullptr, &failure), "(failed)");
    setrlimit(RLIMIT_NOFILE, &limit);
    EXPECT_EQ(failure.stage * 1000 + failure.error, CMDKIT_FAILED_SYSTEM * 1000 + EMFILE);
    cmdkit_poll_item ended{stepped, CMDKIT_EVENT_ENDED, 0}; // looked for in steps
    EXPECT_EQ(cmdkit_poll(&ended, 1, 10000), 1);
    cmdkit_free_process(stepped), cmdkit_clear_pipeline(&quick);
#endif
    drive(all);
    EXPECT_EQ(thread_count(), threads);
    for (size_t i = 0; i < all.size(); ++i) {
        // The chatter's own sequence, from its seed: each line on its stream.
        const bool copy = i % 4 == 0;
        std::string said[3] = {"", copy ? all[i].input : "", pattern(copy ? i : 0)};
        for (unsigned line = 0, seed = static_cast<unsigned>(i); !copy && line < 20; ++line) {
            seed = seed * 1103515245u + 12345u;
            const int side = (seed >> 20 & 1) != 0 ? 2 : 1;
            said[side] +=
                (side == 1 ? "o " : "e ") + std::to_string(i) + " " + std::to_string(line) + "\n";
        }
        EXPECT_TRUE(all[i].read[1] == said[1] && all[i].read[2] == said[2]) << i;
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
    drive(one);
    EXPECT_EQ(one[0].read[1], "x 0\nx 1\nx 2\n");
    EXPECT_EQ(cmdkit_run((line + " > out").c_str(), nullptr, 60000, nullptr, nullptr), 0);
}

// ENDED comes from the commands' ends: a grandchild holding the pipes does
// not delay it, and the poll reaps.  A stop from another thread is
// reported by a poll waiting on it.  What a poll could never meet is
// refused before anything is waited on.
TEST_F(ManyAtOnce, EndedComesFromTheCommandsNotTheirPipes) {
    cmdkit_process *sleepers[3];
    for (cmdkit_process *&sleeper : sleepers)
        sleeper = start("argv_echo --child sleep", false);
    cmdkit_process *parent =
        start("argv_echo --child spawn-sleeper 0", true, CMDKIT_START_NEW_GROUP);
    cmdkit_poll_item items[4] = {{parent, CMDKIT_EVENT_ENDED, 0}};
    const auto begun = std::chrono::steady_clock::now();
    EXPECT_EQ(cmdkit_poll(items, 1, 60000), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(10));
    cmdkit_exit exit{};
    cmdkit_exit_status(parent, 0, &exit);
    EXPECT_EQ(exit.state, CMDKIT_EXIT_EXITED) << "reaped by the poll";
    for (int i = 0; i < 3; ++i)
        items[i] = {sleepers[i], CMDKIT_EVENT_ENDED, 0};
    beside stopper{[](void *process) { cmdkit_stop(static_cast<cmdkit_process *>(process), 0); },
                   sleepers[1], 200};
    EXPECT_EQ(cmdkit_poll(items, 3, 60000), 1);
    EXPECT_EQ(items[1].events, CMDKIT_EVENT_ENDED);
    stopper.join();
    const auto refused = [](cmdkit_poll_item item, long timeout_ms) {
        return fails_with(EINVAL, [&] { return cmdkit_poll(&item, 1, timeout_ms); }) &&
               !item.events;
    };
    cmdkit_close_input(parent);
    EXPECT_TRUE(refused({sleepers[0], CMDKIT_EVENT_INPUT, 99}, -1)); // never piped
    EXPECT_TRUE(refused({parent, CMDKIT_EVENT_INPUT, 99}, -1));      // closed
    EXPECT_TRUE(refused({parent, 0x10u, 99}, -1) && refused({parent, CMDKIT_EVENT_ENDED, 99}, -2));
    cmdkit_poll_item skipped{nullptr, CMDKIT_EVENT_ENDED, 7};
    EXPECT_EQ(cmdkit_poll(&skipped, 1, 0) + cmdkit_poll(nullptr, 0, -1), 0);
    EXPECT_EQ(skipped.events, 0u);
    EXPECT_EQ(cmdkit_poll(nullptr, 1, 0) + cmdkit_pollables(nullptr, nullptr, 0), -2);
    for (cmdkit_process *process : {sleepers[0], sleepers[1], sleepers[2], parent})
        cmdkit_free_process(process);
}

// What an outside loop watches: the pipes and the commands, shrinking as
// each ends, none listed twice, each open until the free.  A loop may make
// a descriptor non-blocking (libuv does).  On Windows the system's own wait
// on the handles wakes for the input.
TEST_F(ManyAtOnce, PollablesShrinkAsPipesAndCommandsEnd) {
    driven one;
    one.process = start("argv_echo --child copy 2", true);
    cmdkit_pollable list[8];
    ASSERT_EQ(cmdkit_pollables(one.process, list, 8), 4);
    EXPECT_EQ(cmdkit_pollables(one.process, nullptr, 0), 4) << "counted without room";
    const std::vector<cmdkit_pollable> given(list, list + 4);
    unsigned events = 0;
    for (const cmdkit_pollable &handle : given) {
        EXPECT_EQ(events & handle.events, 0u) << "listed twice";
        events |= handle.events;
#ifdef _WIN32
        EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(handle.handle), 0) == WAIT_OBJECT_0,
                  handle.events == CMDKIT_EVENT_INPUT);
#else
        if (handle.events == CMDKIT_EVENT_OUTPUT)
            fcntl(static_cast<int>(handle.handle), F_SETFL, O_NONBLOCK);
#endif
    }
    EXPECT_EQ(events, pipes | CMDKIT_EVENT_INPUT | CMDKIT_EVENT_ENDED);
    EXPECT_EQ(cmdkit_write_input(one.process, "xy", 2, 60000), 2);
    EXPECT_EQ(cmdkit_close_input(one.process), 0);
    cmdkit_poll_item item{one.process, pipes | CMDKIT_EVENT_ENDED, 0};
    while (item.interests != 0) {
        ASSERT_EQ(cmdkit_poll(&item, 1, 60000), 1);
        step(one, item, true);
    }
    EXPECT_EQ(one.read[1], "xy");
    EXPECT_EQ(cmdkit_pollables(one.process, list, 8), 0) << "nothing left to watch";
#ifndef _WIN32
    for (const cmdkit_pollable &handle : given) // the input's went with cmdkit_close_input
        EXPECT_EQ(fcntl(static_cast<int>(handle.handle), F_GETFD) >= 0,
                  handle.events != CMDKIT_EVENT_INPUT);
#endif
    cmdkit_free_process(one.process);
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
        handles.insert(handles.begin(), _get_osfhandle(_fileno(files.back())));
        SetHandleInformation(reinterpret_cast<HANDLE>(handles[0]), HANDLE_FLAG_INHERIT,
                             HANDLE_FLAG_INHERIT);
#else
        handles.insert(handles.begin(), fileno(files.back()));
#endif
        told = " " + std::to_string(handles[0]) + told;
    }
    cmdkit_start_options options = CMDKIT_START_OPTIONS_INIT;
    options.extra_handles = handles.data();
    options.extra_count = 3;
    EXPECT_EQ(output_of("argv_echo --child extras 3" + told, &options), "third\nsecond\nfirst\n");
    const auto open_with = [&options](size_t extras) { // files open in the program
        options.extra_count = extras;
        const std::string text = output_of("argv_echo --child handles", &options);
        return std::count(text.begin(), text.end(), '\n');
    };
    EXPECT_EQ(open_with(3) - open_with(0), 3) << "the three, nothing more";
    handles.push_back(9999);
    options.extra_handles = handles.data();
    options.extra_count = 4;
    cmdkit_failure failure = CMDKIT_FAILURE_INIT;
    EXPECT_EQ(output_of("argv_echo", &options, &failure), "(failed)");
    EXPECT_EQ(failure.stage * 1000 + failure.error, CMDKIT_FAILED_REQUEST * 1000 + EBADF);
    EXPECT_STREQ(failure.message, "Refused: extra_handles[3] is not open.");
#ifdef _WIN32
    handles.back() = handles.front();
    SetHandleInformation(reinterpret_cast<HANDLE>(handles.front()), HANDLE_FLAG_INHERIT, 0);
    EXPECT_EQ(output_of("argv_echo", &options, &failure), "(failed)");
    EXPECT_STREQ(failure.message, "Refused: extra_handles[0] is not inheritable.");
#endif
    for (std::FILE *file : files)
        std::fclose(file);
}

// Any signal: a trapped SIGUSR1 lets the program end its own way, an
// untrapped one ends it SIGNALED (never KILLED); 0 only checks, and a
// pipeline that has ended takes it too.  Windows has none to send.
TEST_F(ManyAtOnce, AnySignalReachesWhatRuns) {
    cmdkit_process *trap = start("argv_echo --child trap USR1", false);
    char said[32] = {};
    ASSERT_GT(cmdkit_read_output(trap, said, sizeof said - 1, 60000), 0);
#ifdef _WIN32
    EXPECT_TRUE(fails_with(ENOTSUP, [&] { return cmdkit_signal(trap, 10); }));
#else
    cmdkit_process *sleeper = start("argv_echo --child sleep", false);
    EXPECT_EQ(
        cmdkit_signal(trap, 0) + cmdkit_signal(trap, SIGUSR1) + cmdkit_signal(sleeper, SIGUSR2), 0);
    EXPECT_EQ(cmdkit_wait(trap, 60000) + cmdkit_wait(sleeper, 60000), 0);
    cmdkit_exit exits[2] = {};
    cmdkit_exit_status(trap, 0, &exits[0]), cmdkit_exit_status(sleeper, 0, &exits[1]);
    EXPECT_EQ(exits[0].code * 1000 + exits[1].state * 100 + exits[1].code,
              3000u + CMDKIT_EXIT_SIGNALED * 100 + SIGUSR2);
    EXPECT_EQ(cmdkit_read_output(trap, said, sizeof said - 1, 60000), 5);
    EXPECT_EQ(std::string(said, 5), "term\n") << "the handler's own word";
    EXPECT_EQ(cmdkit_signal(trap, SIGUSR1), 0) << "every command has ended";
    for (const int number : {-1, 999})
        EXPECT_TRUE(fails_with(EINVAL, [&] { return cmdkit_signal(trap, number); }));
    cmdkit_free_process(sleeper);
#endif
    EXPECT_EQ(cmdkit_signal(nullptr, 0), -1);
    cmdkit_free_process(trap);
}

// Many lines as jobs, through the C++ layer's thin run_all: what each
// job's `done` saw, by index (99: never reported), and the run's result.
struct jobs_seen {
    int result = 99;
    std::vector<size_t> order;
    std::vector<int> outcomes, stages;
    std::vector<cmdkit::captured> results;
};

// Every index is reported once; `done` asks to stop at report `stop_at`,
// or throws there when `throws` (the run's result is then -99).
jobs_seen run_jobs(const std::vector<std::string> &lines, const cmdkit::run_all_options &options,
                   size_t stop_at = 0, bool throws = false) {
    jobs_seen seen;
    seen.outcomes = seen.stages = std::vector<int>(lines.size(), 99);
    seen.results.resize(lines.size());
    const auto done = [&](size_t index, int outcome, const cmdkit::captured *result,
                          const cmdkit_failure *failure) {
        seen.order.push_back(index);
        seen.outcomes[index] = outcome;
        seen.stages[index] = failure != nullptr ? failure->stage : 0;
        seen.results[index] = result != nullptr ? *result : cmdkit::captured{};
        if (throws && seen.order.size() == stop_at)
            throw std::bad_alloc();
        return seen.order.size() != stop_at;
    };
    try {
        seen.result = cmdkit::run_all(lines, options, done);
    } catch (const std::bad_alloc &) {
        seen.result = -99; // thrown again once every job was reported
    }
    std::vector<size_t> indexes = seen.order;
    std::sort(indexes.begin(), indexes.end());
    EXPECT_TRUE(indexes.size() == lines.size() &&
                std::adjacent_find(indexes.begin(), indexes.end()) == indexes.end());
    return seen;
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
        cmdkit::run_all_options options;
        options.jobs = jobs;
        options.flags = jobs == 100 ? CMDKIT_ALL_KEEP_ORDER : 0u;
        const jobs_seen seen = run_jobs(lines, options);
        EXPECT_EQ(seen.result, 0);
        for (size_t i = 0; i < lines.size(); ++i)
            EXPECT_TRUE(seen.results[i].output == pattern(sizes[i]) &&
                        seen.results[i].errors == pattern(sizes[i] / 3))
                << i << ": outcome " << seen.outcomes[i] << ", stage " << seen.stages[i];
        EXPECT_TRUE(jobs != 100 || std::is_sorted(seen.order.begin(), seen.order.end()));
    }
}

cmdkit::canceller *to_cancel = nullptr; // by a signal handler

// Jobs that do not parse or are not found are their own outcome; the first
// failure with STOP_ON_FAILURE stops the rest (each reported: stopped, or
// never started); a `done` that says no or throws, and a cancel from
// another thread or (POSIX) a signal handler, stop the run the same way;
// each job has its own limit and bound; a run that cannot be is refused
// before any job.
TEST_F(ManyAtOnce, RunAllStopsOnAFailureOrACancel) {
    jobs_seen seen =
        run_jobs({"argv_echo", "argv_echo |", "missing", "argv_echo --child exit 4"}, {});
    EXPECT_EQ(seen.result, 1);
    EXPECT_EQ(seen.stages, (std::vector<int>{0, CMDKIT_FAILED_PARSE, CMDKIT_FAILED_FIND, 0}));
    EXPECT_EQ(seen.results[3].status.code, 4u);
    std::vector<std::string> sleepers(12, "argv_echo --child sleep");
    sleepers[2] = "argv_echo --child exit 3";
    cmdkit::run_all_options options;
    options.jobs = 4;
    options.flags = CMDKIT_ALL_STOP_ON_FAILURE;
    const std::vector<int> stopped = {1, 1, 0, 1, -1, -1, -1, -1, -1, -1, -1, -1};
    seen = run_jobs(sleepers, options);
    EXPECT_EQ(seen.outcomes, stopped);
    EXPECT_EQ(std::count(seen.stages.begin(), seen.stages.end(), CMDKIT_FAILED_NOT_STARTED), 8);
    options.flags = 0;
    sleepers[2] = "argv_echo";
    EXPECT_EQ(run_jobs(sleepers, options, 1).outcomes, stopped) << "cancelled by done";
    EXPECT_EQ(run_jobs(sleepers, options, 1, true).result, -99) << "thrown by done";
    sleepers[2] = "argv_echo --child sleep";
#ifndef _WIN32
    struct sigaction handler {
    }, previous{};
    handler.sa_handler = [](int) { to_cancel->cancel(); };
    sigaction(SIGALRM, &handler, &previous);
#endif
    for (const bool from_handler : {false, true}) {
#ifdef _WIN32
        if (from_handler)
            break;
#else
        alarm(from_handler ? 1 : 0);
#endif
        cmdkit::canceller cancel;
        options.cancel = to_cancel = &cancel;
        beside thread{[](void *by) {
                          if (by != nullptr)
                              static_cast<cmdkit::canceller *>(by)->cancel();
                      },
                      from_handler ? nullptr : &cancel, 300};
        seen = run_jobs(sleepers, options);
        EXPECT_EQ(seen.result * 100 + std::count(seen.outcomes.begin(), seen.outcomes.end(), 1),
                  104);
        thread.join();
    }
#ifndef _WIN32
    sigaction(SIGALRM, &previous, nullptr);
#endif
    options = cmdkit::run_all_options{};
    options.job_timeout = std::chrono::seconds(3); // long enough for the other to start
    options.max_output = 10;
    seen = run_jobs({"argv_echo --child sleep", "argv_echo --child produce 1000"}, options);
    EXPECT_EQ(seen.outcomes, (std::vector<int>{1, 1}));
    EXPECT_TRUE(seen.results[1].output == "abcdefghij" && seen.results[1].truncated) << "the bound";
    options.job_timeout = std::chrono::milliseconds(0);
    EXPECT_THROW(run_jobs({"argv_echo"}, options), std::invalid_argument) << "refused";
}

} // namespace
