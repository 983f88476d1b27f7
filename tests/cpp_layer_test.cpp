// What the C++ layer adds to the C functions: ownership, conversions and
// the optional results.  The behaviour behind them is the C tests' business.
#include "cmdkit.hpp"
#include "support/environment.h"
#include "support/results.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <string_view>
#include <thread>

namespace {

using testing_support::fails_with;
using testing_support::scoped_variable;

#ifdef _WIN32
const std::string suffix = ".exe";
#else
const std::string suffix;
#endif

// The parse is quiet only for the test's output; the traces are the C
// function's and are not repeated here.
template <typename Call> auto quietly(Call call) {
    testing::internal::CaptureStderr();
    auto result = call();
    testing::internal::GetCapturedStderr();
    return result;
}

TEST(CppLayer, ParseGivesValuesAndOptionalTargets) {
    auto parsed = quietly([] { return cmdkit::parse("tool \"a b\" < in | sort"); });
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->commands, (std::vector<cmdkit::command>{{"tool", "a b"}, {"sort"}}));
    EXPECT_EQ(parsed->input, "in");
    EXPECT_EQ(parsed->output, std::nullopt);
}

// The failed parse leaves `a` behind as the output target; the layer must
// release it (the sanitizer leg reports a leak otherwise).
TEST(CppLayer, AFailedParseIsEmptyAndReleasesTheTargetLeftBehind) {
    EXPECT_EQ(quietly([] { return cmdkit::parse("foo > a | b"); }), std::nullopt);
}

TEST(CppLayer, TextStopsAtTheFirstNulAsTheCFunctionsSeeIt) {
    const std::string_view line("tool x\0 | rest", 14);
    auto parsed = quietly([&] { return cmdkit::parse(line); });
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->commands, (std::vector<cmdkit::command>{{"tool", "x"}}));
    EXPECT_EQ(cmdkit::compose(cmdkit::command{"a", std::string("b\0c", 3)}), "a b");
    // What is started must be what was checked: no part of a string runs.
    errno = 0;
    EXPECT_EQ(cmdkit::compose_for_windows({"p", std::string("report.txt\0.jpg", 15)}),
              std::nullopt);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(cmdkit::compose_for_batch({std::string("C:\\r.bat\0", 9)}), std::nullopt);
}

TEST(CppLayer, LookupResultsAreOptionalAsTheCResultsAreNullable) {
    testing_support::scratch_directory scratch;
    scoped_variable path("PATH", std::string(""));
    scoped_variable no_comspec("COMSPEC", std::nullopt);
    cmdkit::lookup_result missing = quietly([] { return cmdkit::look_for_cmd("missing x"); });
    EXPECT_TRUE(missing.well_formed);
    EXPECT_EQ(missing.app_name, std::nullopt);
    EXPECT_EQ(missing.new_cmd, std::nullopt);
    cmdkit::lookup_result malformed = quietly([] { return cmdkit::look_for_cmd("\"open"); });
    EXPECT_FALSE(malformed.well_formed);
}

TEST(CppLayer, ComposeTakesConstValues) {
    const cmdkit::pipeline commands{{{"foo", "a b"}, {"bar"}}, "in", std::nullopt};
    EXPECT_EQ(cmdkit::compose(commands), "foo \"a b\" < in | bar");
    EXPECT_EQ(cmdkit::compose(cmdkit::pipeline{}), std::nullopt);
    const cmdkit::command arguments{"prog", "a\"b"};
    EXPECT_EQ(cmdkit::compose_for_windows(arguments), "prog \"a\\\"b\"");
    errno = 0;
    EXPECT_EQ(cmdkit::compose_for_windows({"a\"b"}), std::nullopt);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(cmdkit::compose_for_batch({"C:\\r.bat", "a&b"}),
              "cmd.exe /e:ON /v:OFF /d /c \"\"C:\\r.bat\" \"a&b\"\"");
    EXPECT_EQ(cmdkit::compose_for_batch({"r.bat"}), std::nullopt);
}

// The guard installs a callable, or silence, in which nothing at all is
// written, and restores what came before; unknown lookup flags throw.
TEST(CppLayer, ScopedTraceCapturesOrSilencesAndRestores) {
    std::string captured;
    {
        cmdkit::scoped_trace capture([&](std::string_view text) { captured += text; });
        {
            cmdkit::scoped_trace quiet(nullptr);
            testing::internal::CaptureStderr();
            EXPECT_EQ(cmdkit::parse("foo > a | (b"), std::nullopt);
            EXPECT_FALSE(cmdkit::look_for_cmd("missing").app_name.has_value());
            EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        }
        cmdkit::look_for_cmd("\"x");
    }
    EXPECT_EQ(captured, "Look_for_cmd: malformed command (\" not terminated)\n");
    cmdkit_trace_fn sink = nullptr;
    cmdkit_get_trace(&sink, nullptr);
    EXPECT_EQ(sink, &cmdkit_trace_to_stderr);
    int marker = 0;
    void *context = nullptr;
    cmdkit_set_trace(cmdkit_trace_to_stderr, &marker);
    cmdkit_get_trace(nullptr, &context);
    cmdkit_set_trace(cmdkit_trace_to_stderr, nullptr);
    EXPECT_EQ(context, &marker);
    EXPECT_THROW(cmdkit::look_for_cmd("x", {0x8000u, {}, {}}), std::invalid_argument);
}

// The start, run and capture forms over the test child; a process going out
// of scope, or moved from, leaves nothing running.
TEST(CppLayer, StartRunAndCaptureWithoutALine) {
    using namespace std::chrono_literals;
    testing_support::scratch_directory scratch;
    scoped_variable path("PATH", testing_support::programs_folder().u8string());
    cmdkit::scoped_trace quiet(nullptr);
    const cmdkit::command child = {"argv_echo", "--child"};
    auto with = [&](std::vector<std::string> more) {
        cmdkit::command arguments = child;
        arguments.insert(arguments.end(), more.begin(), more.end());
        return arguments;
    };
    EXPECT_EQ(cmdkit::run(with({"exit", "3"}))->code, 3u);
    EXPECT_EQ(cmdkit::run_line("argv_echo --child lines 1 x > out")->code, 0u);
    EXPECT_EQ(cmdkit::run(cmdkit::start_spec{{with({"lines", "1", "y"})}, {}, "out", true})->code,
              0u);
    EXPECT_EQ(cmdkit::capture_line("argv_echo --child copy < out")->output, "x 0\ny 0\n");
    EXPECT_EQ(
        cmdkit::capture(cmdkit::start_spec{{with({"lines", "2", "a b"}), with({"copy"})}})->output,
        "a b 0\na b 1\n");
    EXPECT_EQ(cmdkit::capture(cmdkit::start_spec{{with({"exit", "1"}), with({"exit", "0"})}})
                  ->status.code,
              0u);
    // In a group of its own the kill reaches the sleeping grandchild too.
    cmdkit::start_options contained;
    contained.flags = CMDKIT_START_NEW_GROUP;
    const std::optional<cmdkit::captured> limited =
        cmdkit::capture(with({"spawn-sleeper"}), contained, 300ms);
    ASSERT_TRUE(limited.has_value());
    EXPECT_EQ(limited->status.state, CMDKIT_EXIT_KILLED);
    EXPECT_FALSE(limited->output.empty());
    EXPECT_THROW(cmdkit::capture(with({"exit", "0"}), {}, 0ms), std::invalid_argument);
    cmdkit_failure failure = CMDKIT_FAILURE_INIT;
    EXPECT_EQ(cmdkit::start_line("missing", {}, &failure), std::nullopt);
    EXPECT_EQ(failure.stage, CMDKIT_FAILED_FIND);
    EXPECT_THROW(cmdkit::run(with({std::string("a\0b", 3)}), {}, {}, &failure),
                 std::invalid_argument);
    EXPECT_EQ(failure.stage, CMDKIT_FAILED_REQUEST);
    EXPECT_THROW(cmdkit::run_line("argv_echo", {}, 0ms), std::invalid_argument);
    EXPECT_THROW(cmdkit::start(child, {0x8000u, {}, {}, {}}), std::invalid_argument);
    cmdkit::start_options nul_in_path;
    nul_in_path.lookup = cmdkit::lookup_options{0, std::string("bin\0x", 5), {}};
    EXPECT_THROW(cmdkit::start(child, nul_in_path), std::invalid_argument);
    // The caller's lookup flags hold: a program planted in the current
    // directory is not found.
    std::filesystem::copy_file(testing_support::programs_folder() / ("argv_echo" + suffix),
                               scratch.path() / "planted.exe");
    cmdkit::start_options careful;
    careful.lookup = cmdkit::lookup_options{CMDKIT_LOOKUP_NO_CURRENT_DIRECTORY, {}, {}};
    EXPECT_EQ(cmdkit::start({"planted", "--child", "exit", "0"}, careful, &failure), std::nullopt);
    EXPECT_EQ(failure.stage, CMDKIT_FAILED_FIND);

    std::optional<cmdkit::process> sleeper = cmdkit::start(with({"sleep"}));
    ASSERT_TRUE(sleeper.has_value());
    cmdkit::process moved = std::move(*sleeper);
    EXPECT_EQ(sleeper->wait(), cmdkit::wait_result::failed);
    EXPECT_FALSE(sleeper->kill());
    EXPECT_EQ(sleeper->read_all_output(), std::nullopt);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(moved.wait(10ms), cmdkit::wait_result::timed_out);
    EXPECT_EQ(moved.wait(0ms), cmdkit::wait_result::timed_out) << "0 is a look";
    const auto begun = std::chrono::steady_clock::now();
    { cmdkit::process gone = std::move(moved); }
    EXPECT_LT(std::chrono::steady_clock::now() - begun, 20s);
    // A stop, and the grace a capture's limit gives (POSIX asks first).
    std::optional<cmdkit::process> stopped = cmdkit::start(with({"sleep"}));
    EXPECT_EQ(stopped->stop(0ms), cmdkit::stop_result::killed);
    EXPECT_EQ(cmdkit::process().stop(0ms), cmdkit::stop_result::failed);
#ifndef _WIN32
    cmdkit::start_options gentle;
    gentle.grace = 10s;
    const std::optional<cmdkit::captured> trapped = cmdkit::capture(with({"trap"}), gentle, 500ms);
    EXPECT_EQ(trapped->output, "ready\nterm\n");
    EXPECT_EQ(trapped->status.code, 3u);
    // Assigned over, the old pipeline is killed, not left to write later.
    std::optional<cmdkit::process> late =
        cmdkit::start({"/bin/sh", "-c", "/bin/sleep 0.3; echo late > late.txt"});
    ASSERT_TRUE(late.has_value());
    *late = cmdkit::process();
    std::this_thread::sleep_for(800ms);
    EXPECT_FALSE(std::filesystem::exists(scratch.path() / "late.txt"));
#endif
}

// Captures take their input and bound from the options and give the errors
// apart; starts and runs refuse what only captures take; a started process
// is written and read through its pipes; every report carries its message.
TEST(CppLayer, CapturesFeedInputAndKeepErrorsApart) {
    using namespace std::chrono_literals;
    testing_support::scratch_directory scratch;
    scoped_variable path("PATH", testing_support::programs_folder().u8string());
    cmdkit::scoped_trace quiet(nullptr);
    const cmdkit::command copy = {"argv_echo", "--child", "copy", "2"};
    cmdkit::start_options fed;
    fed.input = std::string("a\0b", 3);
    fed.environment_changes = {"CMDKIT_X=1"};
    const std::optional<cmdkit::captured> copied = cmdkit::capture(copy, fed, 60s);
    ASSERT_TRUE(copied.has_value());
    EXPECT_EQ(copied->output, std::string("a\0b", 3));
    EXPECT_EQ(copied->errors, "ab");
    EXPECT_NE(cmdkit::capture_line("argv_echo --child env", fed, 60s)->output.find("CMDKIT_X=1"),
              std::string::npos);
    cmdkit::start_options bounded;
    bounded.max_output = 4;
    const std::optional<cmdkit::captured> cut =
        cmdkit::capture({"argv_echo", "--child", "produce", "1000"}, bounded, 60s);
    EXPECT_EQ(cut->output, "abcd");
    EXPECT_TRUE(cut->truncated);
    EXPECT_FALSE(cut->timed_out);
    EXPECT_THROW(cmdkit::start(copy, fed), std::invalid_argument);
    EXPECT_THROW(cmdkit::run(copy, bounded), std::invalid_argument);
    cmdkit_failure failure = CMDKIT_FAILURE_INIT;
    EXPECT_EQ(cmdkit::capture_line("missing", {}, 60s, &failure), std::nullopt);
    EXPECT_STREQ(failure.message, "Command 1 (missing): not found.");
    EXPECT_EQ(cmdkit::start_line("a |", {}, &failure), std::nullopt);
    EXPECT_EQ(failure.stage, CMDKIT_FAILED_PARSE);
    EXPECT_STREQ(failure.message, "No command name seen.");
    EXPECT_THROW(cmdkit::start(copy, {0x8000u, {}, {}, {}}, &failure), std::invalid_argument);
    EXPECT_EQ(std::string(failure.message).rfind("Refused: ", 0), 0u) << failure.message;

    cmdkit::start_options piped;
    piped.input_stream.kind = piped.output_stream.kind = piped.errors_stream.kind =
        CMDKIT_STREAM_PIPE;
    std::optional<cmdkit::process> talking = cmdkit::start(copy, piped);
    ASSERT_TRUE(talking.has_value());
    // The largest limit is no limit, and no deadline overflows.
    constexpr auto longest = std::chrono::milliseconds::max();
    EXPECT_EQ(talking->write_input("xyz", longest), 3u);
    EXPECT_TRUE(talking->close_input());
    EXPECT_EQ(talking->read_all_errors(longest), "ab");
    EXPECT_EQ(talking->read_all_output(longest), "xyz");
    EXPECT_EQ(talking->write_input("more"), 0u);
    EXPECT_EQ(talking->wait(longest), cmdkit::wait_result::ended);
    cmdkit::start_options graced;
    graced.grace = longest;
    EXPECT_EQ(cmdkit::capture(copy, graced, longest)->errors, "ab");
    graced.grace = -1ms; // refused in C's words
    EXPECT_THROW(cmdkit::capture(copy, graced, 60s, &failure), std::invalid_argument);
    EXPECT_STREQ(failure.message, "Refused: a negative grace.");
}

// Lines as they come: one split across reads, a carriage return kept, a
// last one without a line feed; what was read past a line, or of a line too
// long, comes first in the next read of that pipe; the errors have their
// own.  From a vector in one call too, with the exit in words.
TEST(CppLayer, LinesComeAsTheyArriveAndNothingIsLost) {
    using namespace std::chrono_literals;
    scoped_variable path("PATH", testing_support::programs_folder().u8string());
    cmdkit::scoped_trace quiet(nullptr);
    cmdkit::start_options piped;
    piped.input_stream.kind = piped.output_stream.kind = piped.errors_stream.kind =
        CMDKIT_STREAM_PIPE;
    std::optional<cmdkit::process> copy =
        cmdkit::start({"argv_echo", "--child", "copy", "3"}, piped);
    ASSERT_TRUE(copy.has_value());
    std::string line;
    EXPECT_EQ(copy->write_input("ab", 60s), 2u);
    for (const auto limit : {300ms, 0ms}) // nothing whole yet
        EXPECT_TRUE(
            fails_with(ETIMEDOUT, [&] { return copy->read_output_line(line, limit) ? 0 : -1; }));
    EXPECT_EQ(copy->write_input("c\r\nd\nlonger\ntail", 60s), 16u);
    EXPECT_TRUE(copy->close_input());
    EXPECT_TRUE(copy->read_output_line(line, 60s) && line == "abc\r") << line;
    EXPECT_TRUE(copy->read_output_line(line, 60s) && line == "d") << line;
    cmdkit::process moved = std::move(*copy); // with what was read past the line
    *copy = std::move(moved);
    EXPECT_FALSE(copy->read_output_line(line, 60s, 5));
    EXPECT_EQ(errno, EMSGSIZE);
    EXPECT_EQ(copy->read_all_output(60s), "longer\ntail");
    EXPECT_FALSE(copy->read_output_line(line, 60s));
    EXPECT_TRUE(copy->read_errors_line(line, 60s) && line == "abc") << "without a line feed";
    EXPECT_FALSE(copy->read_errors_line(line, 60s));
    EXPECT_EQ(errno, 0) << "the end";
    EXPECT_EQ(copy->wait(60s), cmdkit::wait_result::ended);

    cmdkit::start_options fed;
    fed.input = "x\ny\n";
    const std::optional<cmdkit::captured> both =
        cmdkit::capture_argv({"argv_echo", "--child", "copy", "2"}, fed, 60s);
    EXPECT_TRUE(both && both->output == "x\ny\n" && both->errors == "ab" &&
                cmdkit::to_string(both->status) == "exited with 0");
    EXPECT_EQ(cmdkit::to_string(*cmdkit::run_argv({"argv_echo", "--child", "exit", "4"})),
              "exited with 4");
    EXPECT_THROW(cmdkit::run_argv({}), std::invalid_argument);

    // Many at once: the poll over C's items, the handles for a loop, a
    // signal where there are signals.
    std::optional<cmdkit::process> sleeper = cmdkit::start({"argv_echo", "--child", "sleep"});
    std::optional<cmdkit::process> quick = cmdkit::start({"argv_echo", "--child", "exit", "0"});
    std::vector<cmdkit_poll_item> items = {{sleeper->get(), CMDKIT_EVENT_ENDED, 0},
                                           {quick->get(), CMDKIT_EVENT_ENDED, 0}};
    EXPECT_EQ(cmdkit::poll(items, 60s), 1);
    EXPECT_EQ(items[1].events, CMDKIT_EVENT_ENDED);
    EXPECT_EQ(sleeper->pollables().size() * 10 + quick->pollables().size(), 10u) << "the ENDED";
#ifndef _WIN32
    EXPECT_TRUE(sleeper->signal(SIGTERM) && sleeper->wait(60s) == cmdkit::wait_result::ended &&
                sleeper->status(0)->state == CMDKIT_EXIT_SIGNALED);
#else
    EXPECT_FALSE(sleeper->signal(15));
#endif
}

} // namespace
