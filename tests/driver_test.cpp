#include "cmdkit.hpp"
#include "support/environment.h"
#include "support/names.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using testing_support::environment_changes;
using testing_support::process_result;
using testing_support::run_program;
using testing_support::scratch_directory;

std::string demo_program;
std::string run_program_path;
std::string preload_library;

#ifdef _WIN32
constexpr bool windows = true;
#else
constexpr bool windows = false;
#endif

bool ends_with(const std::string &text, const std::string &tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The demonstration's standard output, byte for byte.
const char demonstration_output[] = R"demo(foo a b
cmd[0] = foo a b 
input = <stdin>
output = <stdout>
errput = <stderr>
foo < a > b
cmd[0] = foo 
input = a
output = b
errput = <stderr>
filter 1 | filter 2
cmd[0] = filter 1 
cmd[1] = filter 2 
input = <stdin>
output = <stdout>
errput = <stderr>
foo > a < b
cmd[0] = foo 
input = b
output = a
errput = <stderr>
foo | a b
cmd[0] = foo 
cmd[1] = a b 
input = <stdin>
output = <stdout>
errput = <stderr>
foo a | b
cmd[0] = foo a 
cmd[1] = b 
input = <stdin>
output = <stdout>
errput = <stderr>
foo | a > b
cmd[0] = foo 
cmd[1] = a 
input = <stdin>
output = b
errput = <stderr>
foo < a | b
cmd[0] = foo 
cmd[1] = b 
input = a
output = <stdout>
errput = <stderr>
foo < a | b
cmd[0] = foo 
cmd[1] = b 
input = a
output = <stdout>
errput = <stderr>
foo < a | b b1 b2 | c > d
cmd[0] = foo 
cmd[1] = b b1 b2 
cmd[2] = c 
input = a
output = d
errput = <stderr>
foo > a | b < c
"C:\Program Files\WinEdt\WinEdt.exe" -F "[Open('%f');SelLine(%l,8)]"
cmd[0] = C:\Program Files\WinEdt\WinEdt.exe -F [Open(%f);SelLine(%l,8)] 
input = <stdin>
output = <stdout>
errput = <stderr>
)demo";

// Its standard error: the parser's traces and the one refusal, whose
// message has no line feed, so the next trace continues on its line.
const char demonstration_trace[] = R"demo(line = foo a b
token = foo a b
token = a b
token = b
token = 
line = foo < a > b
token = foo < a > b
token = < a > b
token = > b
token = 
line = filter 1 | filter 2
token = filter 1 | filter 2
token = 1 | filter 2
token = | filter 2
token = filter 2
token = 2
token = 
line = foo > a < b
token = foo > a < b
token = > a < b
token = < b
token = 
line = foo | a b
token = foo | a b
token = | a b
token = a b
token = b
token = 
line = foo a | b
token = foo a | b
token = a | b
token = | b
token = b
token = 
line = foo | a > b
token = foo | a > b
token = | a > b
token = a > b
token = > b
token = 
line = foo < a | b
token = foo < a | b
token = < a | b
token = | b
token = b
token = 
line = foo < a | b
token = foo < a | b
token = < a | b
token = | b
token = b
token = 
line = foo < a | b b1 b2 | c > d
token = foo < a | b b1 b2 | c > d
token = < a | b b1 b2 | c > d
token = | b b1 b2 | c > d
token = b b1 b2 | c > d
token = b1 b2 | c > d
token = b2 | c > d
token = | c > d
token = c > d
token = > d
token = 
line = foo > a | b < c
token = foo > a | b < c
token = > a | b < c
token = | b < c
Ambiguous output redirect.line = "C:\Program Files\WinEdt\WinEdt.exe" -F "[Open('%f');SelLine(%l,8)]"
token = "C:\Program Files\WinEdt\WinEdt.exe" -F "[Open('%f');SelLine(%l,8)]"
token = -F "[Open('%f');SelLine(%l,8)]"
token = "[Open('%f');SelLine(%l,8)]"
token = 
)demo";

#ifdef _WIN32
// Standard output and standard error are text streams on Windows: each line
// feed goes out as a carriage return and a line feed.
std::string as_written(const std::string &text) {
    std::string lines;
    for (char c : text) {
        if (c == '\n')
            lines += '\r';
        lines += c;
    }
    return lines;
}
#else
std::string as_written(const std::string &text) {
    return text;
}
#endif

process_result run_demo(const std::string &input, const environment_changes &changes = {},
                        const std::string &directory = "",
                        const testing_support::child_streams &streams = {}) {
    return run_program(demo_program, input, changes, directory, streams);
}

TEST(Demonstration, RunsInFullOnEmptyInputAndExitsWithZero) {
    process_result run = run_demo("");
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.out, as_written(demonstration_output));
    EXPECT_EQ(run.err, as_written(demonstration_trace));
}

// Output after the demonstration: the lookup loop's own lines.
std::string lookup_part(const std::string &out) {
    return out.substr(as_written(demonstration_output).size());
}

// A folder with `bin/tool.exe` and `here.bat`, searched through PATH=bin.
class LookupLoop : public testing::Test {
  protected:
    LookupLoop() {
        scratch.add_file("bin/tool.exe");
        scratch.add_file("bin/ツール.exe");
        scratch.add_file("here.bat");
    }

    process_result run_in_folder(const std::string &input) {
        return run_demo(input, {{"PATH", "bin"}, {"COMSPEC", "C:\\cmd.exe"}},
                        scratch.path().string());
    }

    scratch_directory scratch;
};

TEST_F(LookupLoop, PrintsOneResultPerLine) {
    process_result run = run_in_folder("tool arg\nhere now\nmissing x\n\"abc\n");
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(lookup_part(run.out), as_written("app: bin\\tool.exe, cmd: bin\\tool.exe arg\n"
                                               "app: .\\here.bat, cmd: .\\here.bat now\n"
                                               "App not found, cmd: C:\\cmd.exe /c missing x\n"
                                               "App not found, cmd: (null)\n"));
    EXPECT_NE(run.err.find(as_written("look for command: trying bin\\tool.exe\n")),
              std::string::npos);
    EXPECT_NE(run.err.find(as_written("Look_for_cmd: malformed command (\" not terminated)\n")),
              std::string::npos);
}

struct line_case {
    const char *why;
    std::string input;
    std::string lines;        // the lookup part of standard output, before text mode
    std::string errors_end{}; // how standard error ends, when it matters
};

std::string missing(const std::string &line) {
    return "App not found, cmd: C:\\cmd.exe /c " + line + "\n";
}

// The reader reads 64 KiB blocks into a line that starts with room for 255
// characters and its NUL.
constexpr size_t reader_block = 64 * 1024;
const std::string prefix = "missing ";
const std::string fills_the_first_room = prefix + std::string(255 - prefix.size(), 'r');
const std::string one_past_the_first_room = fills_the_first_room + "s";
const std::string ends_at_the_block = prefix + std::string(reader_block - 1 - prefix.size(), 'b');

class LineEnds : public LookupLoop, public testing::WithParamInterface<line_case> {};

TEST_P(LineEnds, ReachTheLookupExactlyAsWritten) {
    const line_case &c = GetParam();
    process_result run = run_in_folder(c.input);
    EXPECT_EQ(run.exit_code, 0) << c.why;
    EXPECT_EQ(lookup_part(run.out), as_written(c.lines)) << c.why;
    EXPECT_TRUE(ends_with(run.err, as_written(c.errors_end))) << c.why;
}

// Windows' text-mode input removes the carriage return before each line
// feed itself, so every row holds on both legs.
INSTANTIATE_TEST_SUITE_P(
    Cases, LineEnds,
    testing::Values(
        line_case{"only the CR right before the LF is dropped", "tool a\r\nmissing b\r\r\n",
                  "app: bin\\tool.exe, cmd: bin\\tool.exe a\n" + missing("missing b\r")},
        line_case{"a CR at the end of the input stays", "missing a\r", missing("missing a\r")},
        line_case{"a CR alone inside the line stays", "missing a\rb\n", missing("missing a\rb")},
        line_case{"CR and LF split across two reads", ends_at_the_block + "\r\nmissing c\n",
                  missing(ends_at_the_block) + missing("missing c")},
        line_case{"a line that fills the first room", fills_the_first_room + "\n",
                  missing(fills_the_first_room)},
        line_case{"a line one past it", one_past_the_first_room + "\nmissing d",
                  missing(one_past_the_first_room) + missing("missing d")},
        line_case{"a Japanese name", "ツール 引数\n",
                  "app: bin\\ツール.exe, cmd: bin\\ツール.exe 引数\n",
                  "trying bin\\ツール.exe\nlook for command: new_cmd = bin\\ツール.exe 引数, "
                  "app_name = bin\\ツール.exe\n"},
        line_case{"Latin-1 and an emoji", "café 😀\n", missing("café 😀")}),
    testing_support::name_from_why<line_case>);

TEST_F(LookupLoop, LastLineWithoutLineFeedIsProcessed) {
    process_result run = run_in_folder("missing a\ntool z");
    EXPECT_EQ(lookup_part(run.out), as_written("App not found, cmd: C:\\cmd.exe /c missing a\n"
                                               "app: bin\\tool.exe, cmd: bin\\tool.exe z\n"));
}

TEST_F(LookupLoop, EmptyLinesAreLookedUpToo) {
    process_result run = run_in_folder("\n\n");
    EXPECT_EQ(lookup_part(run.out), as_written("App not found, cmd: C:\\cmd.exe /c \n"
                                               "App not found, cmd: C:\\cmd.exe /c \n"));
}

// With the system's own PATH and COMSPEC, real programs are found the way a
// Windows user would expect, letter case and all.
TEST(RealWindows, FindsSystemProgramsAndFallsBackToTheSystemInterpreter) {
#ifndef _WIN32
    GTEST_SKIP() << "needs a Windows system directory; runs on the Windows leg";
#endif
    process_result run = run_demo("notepad readme.txt\nNOTEPAD.EXE\ndir /b\n");
    std::string lines = lookup_part(run.out);
    EXPECT_NE(lines.find(as_written("app: C:\\windows\\system32\\notepad.exe, "
                                    "cmd: C:\\windows\\system32\\notepad.exe readme.txt\n")),
              std::string::npos)
        << lines;
    EXPECT_NE(lines.find(as_written("app: C:\\windows\\system32\\NOTEPAD.EXE, cmd: "
                                    "C:\\windows\\system32\\NOTEPAD.EXE\n")),
              std::string::npos)
        << lines;
    EXPECT_NE(lines.find(as_written("cmd.exe /c dir /b\n")), std::string::npos) << lines;
}

// Lines past any buffer size, bytes of every value and an embedded NUL all
// reach the lookup whole; the driver never loses or splits a line.
TEST_F(LookupLoop, OneMebibyteLineArrivesWhole) {
    const std::string argument(1024 * 1024, 'm');
    process_result run = run_in_folder("tool " + argument + "\n");
    EXPECT_EQ(lookup_part(run.out),
              as_written("app: bin\\tool.exe, cmd: bin\\tool.exe " + argument + "\n"));
}

TEST_F(LookupLoop, EmbeddedNulEndsTheLineForTheLibraryOnly) {
    process_result run = run_in_folder(std::string("missing\0ignored\ntool b\n", 22));
    EXPECT_EQ(lookup_part(run.out), as_written("App not found, cmd: C:\\cmd.exe /c missing\n"
                                               "app: bin\\tool.exe, cmd: bin\\tool.exe b\n"));
}

// Every byte but the line feed, the carriage return (dropped before a line
// feed) and, on Windows, Ctrl-Z, which a text-mode stream reads as the end.
TEST_F(LookupLoop, EveryByteValueIsHandedOnToTheInterpreter) {
    std::string bytes;
    for (int value = 1; value <= 0xFF; ++value) {
        if (value != '\n' && value != '\r' && (value != 0x1A || !windows))
            bytes += static_cast<char>(value);
    }
    process_result run = run_in_folder("missing " + bytes + "\n");
    EXPECT_EQ(lookup_part(run.out),
              as_written("App not found, cmd: C:\\cmd.exe /c missing " + bytes + "\n"));
}

// Standard input is read in text mode on Windows, where Ctrl-Z ends it; on
// POSIX hosts it is an ordinary byte.
TEST_F(LookupLoop, CtrlZEndsTheInputOnlyOnWindows) {
    process_result run = run_in_folder("missing a\n\x1A\nmissing b\n");
    if constexpr (windows)
        EXPECT_EQ(lookup_part(run.out),
                  as_written("App not found, cmd: C:\\cmd.exe /c missing a\n"));
    else
        EXPECT_EQ(lookup_part(run.out), "App not found, cmd: C:\\cmd.exe /c missing a\n"
                                        "App not found, cmd: C:\\cmd.exe /c \x1A\n"
                                        "App not found, cmd: C:\\cmd.exe /c missing b\n");
}

// A call that fails inside the running program: an allocation ends it with
// status 1 and the allocator's line, a read with status 2 and the system's
// reason, and neither loses the results printed before.
class AllocationFailure : public LookupLoop {
  protected:
    process_result run_failing(const char *variable, const std::string &size,
                               const std::string &input,
                               const testing_support::child_streams &streams = {}) {
        return run_demo(input,
                        {{"PATH", "bin"},
                         {"COMSPEC", "C:\\cmd.exe"},
                         {"LD_PRELOAD", preload_library},
                         {variable, size}},
                        scratch.path().string(), streams);
    }

    void SetUp() override {
#ifdef _WIN32
        GTEST_SKIP() << "needs a preloadable C library; the Windows leg covers the "
                        "allocators' failure path in the unit tests";
#else
        if (!std::ifstream(preload_library))
            GTEST_SKIP() << "fault_injection.so is built only without sanitizers";
#endif
    }
};

// Both streams in one file: the last answer must come before the message.
TEST_F(AllocationFailure, ReadFailureAfterTheFirstBlockEndsTheRunWithTwo) {
    testing_support::child_streams together;
    together.errors_to_output = true;
    process_result run = run_failing("CMDKIT_FAIL_READ", "2", "missing a\ntool b", together);
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_NE(run.out.find("app: bin\\tool.exe, cmd: bin\\tool.exe b\n"), std::string::npos);
    EXPECT_TRUE(ends_with(run.out, "app_name = bin\\tool.exe\n"
                                   "cmdkit-demo: cannot read standard input: Input/output error\n"))
        << run.out;
}

TEST_F(AllocationFailure, MallocFailureEndsTheRunAfterEarlierResults) {
    // The command name is copied into a block of its length plus one.
    process_result run =
        run_failing("CMDKIT_FAIL_MALLOC", "100", "missing a\n" + std::string(99, 'n') + " b\n");
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(lookup_part(run.out), "App not found, cmd: C:\\cmd.exe /c missing a\n");
    EXPECT_TRUE(ends_with(run.err, "\nmalloc(100) failed in cmdkit at line 36\n")) << run.err;
}

TEST_F(AllocationFailure, ReallocFailureEndsTheRunAfterEarlierResults) {
    // The second line outgrows the reader's first 256 bytes.
    process_result run = run_failing("CMDKIT_FAIL_REALLOC", "512",
                                     "missing a\nmissing " + std::string(300, 'r') + "\n");
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(lookup_part(run.out), "App not found, cmd: C:\\cmd.exe /c missing a\n");
    EXPECT_TRUE(ends_with(run.err, "\nrealloc(512) failed in cmdkit at line 46\n")) << run.err;
}

TEST_F(AllocationFailure, StrdupFailureEndsTheRunAfterEarlierResults) {
    // The found path `bin\tool.exe` is copied with its NUL: 13 bytes.
    process_result run = run_failing("CMDKIT_FAIL_STRDUP", "13", "missing a\ntool b\n");
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(lookup_part(run.out), "App not found, cmd: C:\\cmd.exe /c missing a\n");
    const std::string tail = run.err.substr(run.err.rfind("\nstrdup(") + 1);
    EXPECT_TRUE(tail.size() > 40 && ends_with(tail, ") failed in cmdkit at line 26\n") &&
                tail.find_first_not_of("0123456789abcdef", 7) == tail.find(')'))
        << tail;
}

// A stream that cannot be read or written ends the run with status 2, never
// 0: a script checking the status must not take lost results for success.
// The run stops where it first flushes, before it reads any input.  The
// message names the stream and the system's reason; where standard error
// is the stream that fails, only the status can tell.
struct stream_case {
    const char *why;
    testing_support::child_streams streams;
    bool posix_only;
    std::string message;      // the end of standard error
    bool output_kept = false; // the demonstration written before stays written
};

class StreamFailure : public LookupLoop, public testing::WithParamInterface<stream_case> {};

TEST_P(StreamFailure, EndsTheRunWithStatusTwo) {
    const stream_case &c = GetParam();
    if (c.posix_only && windows)
        GTEST_SKIP() << "needs a device of the POSIX leg";
    testing_support::child_streams streams = c.streams;
    if (streams.input_path == "{folder}")
        streams.input_path = scratch.path().string();
    process_result run =
        run_demo("missing a\nmissing b\n", {{"PATH", "bin"}, {"COMSPEC", "C:\\cmd.exe"}},
                 scratch.path().string(), streams);
    EXPECT_EQ(run.exit_code, 2) << c.why;
    if (!c.streams.unwritable_errors) {
        // The reason is the C runtime's own text, which Wine words its own way.
        const std::string expected =
            windows ? c.message.substr(0, c.message.find(": ", 13) + 2) : c.message;
        EXPECT_NE(run.err.rfind(as_written(expected)), std::string::npos) << c.why << run.err;
        EXPECT_TRUE(ends_with(run.err, as_written("\n"))) << c.why;
    } else {
        EXPECT_EQ(run.err, "") << c.why;
    }
    if (c.output_kept) {
        EXPECT_EQ(run.out, as_written(demonstration_output)) << c.why;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StreamFailure,
    testing::Values(
        stream_case{"output that refuses writes",
                    {false, true, false, "", "", ""},
                    false,
                    "cmdkit-demo: cannot write standard output: Bad file descriptor\n"},
        stream_case{"a full disk",
                    {false, false, false, "", "/dev/full", ""},
                    true,
                    "cmdkit-demo: cannot write standard output: No space left on device\n"},
        stream_case{"errors that refuse writes", {false, false, true, "", "", ""}, false, "", true},
        stream_case{"input that refuses reads",
                    {true, false, false, "", "", ""},
                    false,
                    "cmdkit-demo: cannot read standard input: Bad file descriptor\n",
                    true},
        stream_case{"a folder as input",
                    {false, false, false, "{folder}", "", ""},
                    true,
                    "cmdkit-demo: cannot read standard input: Is a directory\n",
                    true}),
    testing_support::name_from_why<stream_case>);

// A program that writes one line into our pipe and waits must get the
// answer, on both streams, without closing its end; the reader flushes both
// before it waits for more input.  Where it can be preloaded, the first wait
// for input is interrupted by a signal, which must not end the run.
TEST_F(LookupLoop, AnswersEachLineBeforeTheNextOneIsWritten) {
#ifdef _WIN32
    GTEST_SKIP() << "the pipe conversation is driven from the POSIX leg";
#else
    const bool interrupted = std::ifstream(preload_library).good();
    testing_support::environment_changes changes = {{"PATH", "bin"}, {"COMSPEC", "C:\\cmd.exe"}};
    if (interrupted)
        changes.insert(changes.end(), {{"LD_PRELOAD", preload_library}, {"CMDKIT_FAIL_POLL", "1"}});
    testing_support::coprocess demo(demo_program, changes, scratch.path().string());
    EXPECT_EQ(demo.read_until(demonstration_output, false), demonstration_output);
    const std::string marker = interrupted ? "poll interrupted\n" : "";
    EXPECT_EQ(demo.read_until(demonstration_trace + marker, true), demonstration_trace + marker);

    demo.write_input("tool a\n");
    EXPECT_EQ(demo.read_until("\n", false), "app: bin\\tool.exe, cmd: bin\\tool.exe a\n");
    EXPECT_TRUE(
        ends_with(demo.read_until("app_name = bin\\tool.exe\n", true),
                  "look for command: new_cmd = bin\\tool.exe a, app_name = bin\\tool.exe\n"));

    demo.write_input("missing b\n");
    EXPECT_EQ(demo.read_until("\n", false), "App not found, cmd: C:\\cmd.exe /c missing b\n");
    EXPECT_EQ(demo.finish(), 0);
#endif
}

// Output failing after the demonstration, in a full buffer stdio writes by
// itself, or in the very last write at exit: status 2 and the reason.
TEST_F(LookupLoop, AFailedWriteOfAFullBufferOrOfTheLastAnswerEndsWithTwo) {
#ifdef _WIN32
    GTEST_SKIP() << "the pipe conversation is driven from the POSIX leg";
#else
    std::string many_lines;
    for (int i = 0; i < 6000; ++i)
        many_lines += "missing x\n";
    for (const std::string &input : {many_lines, std::string("missing x")}) {
        testing_support::coprocess demo(demo_program, {{"PATH", "bin"}, {"COMSPEC", "C:\\cmd.exe"}},
                                        scratch.path().string());
        EXPECT_EQ(demo.read_until(demonstration_output, false), demonstration_output);
        demo.close_output();
        demo.write_input(input);
        demo.close_input();
        const std::string message = "cmdkit-demo: cannot write standard output: Broken pipe\n";
        EXPECT_TRUE(ends_with(demo.read_until(message, true, 30), message)) << input.size();
        EXPECT_EQ(demo.finish(), 2) << input.size();
    }
#endif
}

// cmdkit-run, started by the library it is made of, both streams together.
struct run_case {
    std::vector<std::string> args;
    int status;
    std::string output; // what both streams hold, or with `...` at the end, begin with
};

class CmdkitRun : public testing::Test {
  protected:
    cmdkit::captured run(const std::vector<std::string> &args) {
        cmdkit::command command = {run_program_path};
        command.insert(command.end(), args.begin(), args.end());
        cmdkit::start_options options;
        options.flags = CMDKIT_START_ERRORS_TO_OUTPUT | CMDKIT_START_NULL_INPUT;
        cmdkit::scoped_trace quiet(nullptr);
        return cmdkit::capture(command, options, std::chrono::seconds(60)).value();
    }

    scratch_directory scratch;
    testing_support::scoped_variable path{"PATH", testing_support::programs_folder().u8string()};
};

TEST_F(CmdkitRun, EndsWithTheStatusOfWhatHappenedAndSaysWhy) {
    std::ofstream(scratch.path() / "bad.exe", std::ios::binary) << "\x7f"
                                                                   "ELF, not a program";
    std::filesystem::permissions(scratch.path() / "bad.exe", std::filesystem::perms::owner_all);
    std::filesystem::create_directory(scratch.path() / "sub");
    std::ofstream(scratch.path() / "jobs.txt", std::ios::binary)
        << "argv_echo --child lines 1 a\n# a comment\n\n  \nargv_echo --child exit 3\r\n"
           "missing x\nargv_echo --child both b\n";
    const std::string usage =
        "usage: cmdkit-run [-t SECONDS [-k SECONDS]] [-C DIR] [-p] [-v] [--] LINE\n"
        "       cmdkit-run -f FILE [-j JOBS] [-K] [-e] [-q] [-t SECONDS [-k SECONDS]] [-C DIR] "
        "[-p] [-v]\n";
    const std::vector<run_case> rows = {
        {{"argv_echo --child exit 7"}, 7, ""},
        {{"missing x"}, 127, "cmdkit-run: Command 1 (missing): not found.\n"},
        {{"./bad.exe"}, 126, "cmdkit-run: Command 1 (./bad.exe) could not be started: ..."},
        {{"argv_echo --child copy < missing"},
         125,
         "cmdkit-run: Input file missing cannot be opened: ..."},
        {{"-t", "0.3", "argv_echo --child sleep"},
         124,
         "cmdkit-run: the time limit ran out; the pipeline was killed\n"},
        {{"-t", "0", "argv_echo --child exit 0"}, 0, ""},
        {{"-t", "0.0001", "argv_echo --child sleep"},
         124,
         "cmdkit-run: the time limit ran out; the pipeline was killed\n"},
        // Not cut to whole seconds; the sleep outlasts one second by a little
        // and ends well within the limit, even on a slow start.
        {{"-t", "1.95", "argv_echo --child sleep 1100"}, 0, ""},
        {{"-t"}, 2, "cmdkit-run: unknown option or missing value: -t\n" + usage},
        {{"-k", "1", "x"}, 2, "cmdkit-run: -k needs a time limit: -t SECONDS, not 0\n" + usage},
        {{"-t", "0", "-k", "1", "x"},
         2,
         "cmdkit-run: -k needs a time limit: -t SECONDS, not 0\n" + usage},
        {{"a |"}, 2, "cmdkit-run: No command name seen.\n"},
        {{"a", "b"}, 2, "cmdkit-run: one line expected; quote the whole line\n" + usage},
        {{}, 2, "cmdkit-run: no line to run\n" + usage},
        {{"-t", "1e3", "x"}, 2, "cmdkit-run: not a number of seconds: 1e3\n" + usage},
        {{"-t", "2147483.001", "x"},
         2,
         "cmdkit-run: not a number of seconds: 2147483.001\n" + usage},
        {{"-C", "sub", "argv_echo --child lines 1 x > out"}, 0, ""},
        {{"-p", "argv_echo --child exit 4 | argv_echo --child exit 0"}, 4, ""},
        {{"argv_echo --child exit 4 | argv_echo --child exit 0"}, 0, ""},
        {{"-v", "missing"}, 127, "line = missing\n..."},
        {{"--", "argv_echo --child lines 1 \xC3\xA9 > \xC3\xBC.txt"}, 0, ""},
        {{"--version"}, 0, "cmdkit-run 1.0.0\n"},
        {{"--help"}, 0, usage + "Runs LINE (`a | b < in > out`) with no command interpreter..."},
        {{"-f", "jobs.txt", "x"},
         2,
         "cmdkit-run: -f FILE and a LINE: give one or the other\n" + usage},
        {{"-j", "2", "x"}, 2, "cmdkit-run: -j, -K, -e and -q need -f FILE\n" + usage},
#ifndef _WIN32
        {{"/bin/sh -c \"kill -TERM $$\""}, 128 + SIGTERM, ""},
        // Asked first, the command says so and ends within the grace.
        {{"-t", "0.4", "-k", "5", "argv_echo --child trap"},
         124,
         "ready\nterm\ncmdkit-run: the time limit ran out; the pipeline was stopped\n"},
#endif
    };
    for (const run_case &row : rows) {
        const cmdkit::captured ran = run(row.args);
        const std::string last = row.args.empty() ? "(no operand)" : row.args.back();
        const std::string expected = as_written(row.output);
        EXPECT_EQ(static_cast<int>(ran.status.code), row.status) << last;
        if (ends_with(expected, "..."))
            EXPECT_EQ(ran.output.rfind(expected.substr(0, expected.size() - 3), 0), 0u)
                << ran.output;
        else
            EXPECT_EQ(ran.output, expected) << last;
    }
    // Each line of a file a job, blank and `#` lines skipped, a CR before
    // the LF dropped; in the file's order with -K; the first failure in that
    // order decides, or with -e the one that stopped it.  The jobs' bytes
    // pass as they are; cmdkit-run's own lines are written as ever.
    const cmdkit::captured kept = run({"-j", "2", "-K", "-f", "jobs.txt"});
    const cmdkit::captured stopped = run({"-e", "-f", "jobs.txt"});
    EXPECT_EQ(kept.status.code * 10 + stopped.status.code, 33u);
    EXPECT_EQ(kept.output,
              "a 0\n" + as_written("cmdkit-run: Command 1 (missing): not found.\n") + "b\nb\n");
    EXPECT_EQ(stopped.output, "a 0\n");
    const std::string verbose = run({"-v", "missing"}).output;
    EXPECT_TRUE(ends_with(verbose, as_written("\ncmdkit-run: Command 1 (missing): not found.\n")));
    EXPECT_EQ(verbose.find("): not found."), verbose.rfind("): not found.")) << "said once";
    EXPECT_NE(verbose.find("look for command: trying"), std::string::npos) << "-v: every trace";
#ifndef _WIN32
    // Started with SIGCHLD ignored, it still gets its command's status.
    const pid_t child = fork();
    if (child == 0) {
        signal(SIGCHLD, SIG_IGN);
        execl(run_program_path.c_str(), "cmdkit-run", "argv_echo --child exit 7", nullptr);
        _exit(99);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 7);
    // A job whose pipe cannot be read is killed, not left blocked on it.
    if (std::ifstream(preload_library)) {
        std::ofstream(scratch.path() / "much.txt") << "argv_echo --child produce 10000000 0\n";
        testing_support::scoped_variable preload{"LD_PRELOAD", preload_library},
            failing{"CMDKIT_FAIL_PIPE_READ", "1"};
        EXPECT_EQ(run({"-f", "much.txt"}).status.code, 125u);
    }
#endif
    EXPECT_TRUE(std::filesystem::exists(scratch.path() / "sub" / "out"));
    std::ifstream unicode(scratch.path() / std::filesystem::u8path("\xC3\xBC.txt"));
    std::string line;
    EXPECT_TRUE(std::getline(unicode, line) && line == "\xC3\xA9 0");
}

#ifndef _WIN32
// With -f a status line shows on a terminal and nowhere else; a reader of
// the output that goes away stops every job, and cmdkit-run ends by
// SIGPIPE with nothing left running (the last job would write `late`).
TEST_F(CmdkitRun, ManyLinesShowProgressAndStopForAReaderGone) {
    using namespace std::chrono_literals;
    std::ofstream(scratch.path() / "two.txt")
        << "argv_echo --child lines 1 a\nargv_echo --child lines 1 b\n";
    int terminal = -1, side = -1;
    winsize columns_33{24, 33, 0, 0}; // one more than the line kept below
    ASSERT_EQ(openpty(&terminal, &side, nullptr, nullptr, &columns_33), 0);
    for (const bool on_terminal : {true, false}) {
        cmdkit::start_options options;
        options.errors_stream = {on_terminal ? CMDKIT_STREAM_HANDLE : CMDKIT_STREAM_DEFAULT, side};
        const auto ran = cmdkit::capture({run_program_path, "-f", "two.txt"}, options, 60s);
        EXPECT_TRUE(ran && ran->output == "a 0\nb 0\n" && ran->errors.empty())
            << "no status line through a pipe";
    }
    char shown[512] = {};
    EXPECT_GT(read(terminal, shown, sizeof shown - 1), 0);
    EXPECT_NE(std::string(shown).find("[2/2] argv_echo --child lines 1 "), std::string::npos)
        << shown;
    EXPECT_EQ(std::string(shown).find("lines 1 b"), std::string::npos) << "past the last column";
    close(terminal), close(side);
    std::ofstream(scratch.path() / "late.txt")
        << "argv_echo --child lines 3 x\n/bin/sh -c \"/bin/sleep 0.3; echo y\"\n"
           "/bin/sh -c \"/bin/sleep 2; echo done > late\"\n";
    const auto ended =
        cmdkit::run_line("\"" + run_program_path + "\" -j 3 -f late.txt | /usr/bin/head -n 1",
                         {CMDKIT_START_PIPEFAIL}, 30s); // cmdkit-run's end, not head's
    EXPECT_TRUE(ended && ended->state == CMDKIT_EXIT_SIGNALED && ended->code == SIGPIPE);
    usleep(3000000);
    EXPECT_FALSE(std::filesystem::exists(scratch.path() / "late")) << "a job was left running";
}

// An interrupt is the pipeline's to act on: sent to the whole group, the
// command ends by it and so does cmdkit-run; sent to cmdkit-run alone while
// a time limit gives the pipeline a group of its own, the pipeline is
// killed at once and cmdkit-run ends by it.  SIGTERM and SIGHUP stop the
// pipeline in every mode before cmdkit-run ends by them, and sent during
// the grace of a time limit they cut it short: nothing is left running.
// The command tells cmdkit-run's pid and its own.
TEST_F(CmdkitRun, EndsByTheSignalThatEndedOrStoppedThePipeline) {
    cmdkit_set_trace(nullptr, nullptr);
    std::ofstream(scratch.path() / "in") << "x\n";
    const std::string tell = "/bin/sh -c \"echo $PPID $$; exec /bin/sleep 60\" < in";
    // Deaf to SIGTERM: the shell goes on, and so does the loop of its sleeps.
    const std::string deaf =
        "/bin/sh -c \"trap : TERM; echo $PPID $$; while :; do /bin/sleep 1; done\" < in";
    const struct {
        int number;
        bool whole_group;
        std::vector<std::string> options; // before the line
        const std::string &line;
        int within_ms = 30000;     // the pipeline ends so soon once signalled
        bool in_grace = false;     // signalled once the time limit has run out
        bool input_closed = false; // cmdkit-run's own, so that its pipes take 0
    } rows[] = {{SIGINT, true, {}, tell},
                {SIGINT, false, {"-t", "60"}, tell},
                {SIGINT, false, {"-t", "60"}, deaf, 1500},
                {SIGTERM, false, {}, tell},
                {SIGTERM, false, {"-t", "60"}, tell},
                {SIGTERM, false, {"-t", "0.3", "-k", "60"}, deaf, 10000, true},
                {SIGHUP, false, {}, tell},
                {SIGHUP, false, {"-t", "60"}, tell},
                {SIGHUP, false, {"-t", "0.3", "-k", "60"}, deaf, 10000, true},
                {SIGTERM, false, {"-t", "0.3", "-k", "60"}, deaf, 10000, true, true}};
    for (const auto &row : rows) {
        SCOPED_TRACE(std::to_string(row.number) + " " + row.line + " after " +
                     std::to_string(row.options.size()) + " options");
        std::vector<std::string> words = row.options;
        words.insert(words.begin(), run_program_path);
        if (row.input_closed) // the shell closes it and becomes cmdkit-run
            words.insert(words.begin(), {"/bin/sh", "-c", "exec 0<&-; exec \"$0\" \"$@\""});
        words.push_back(row.line);
        cmdkit::start_options options;
        options.flags =
            CMDKIT_START_NEW_GROUP | CMDKIT_START_CAPTURE_OUTPUT | CMDKIT_START_NULL_INPUT;
        std::optional<cmdkit::process> process = cmdkit::start(words, options);
        std::string told; // cmdkit-run's pid and the command's
        ASSERT_TRUE(process && process->read_output_line(told, std::chrono::seconds(30)));
        char *rest = nullptr;
        const auto pid = static_cast<pid_t>(std::strtol(told.c_str(), &rest, 10));
        const auto command = static_cast<pid_t>(std::strtol(rest, nullptr, 10));
        usleep(row.in_grace ? 1000000 : 0);
        const auto sent = std::chrono::steady_clock::now();
        ASSERT_EQ(row.whole_group ? killpg(pid, row.number) : kill(pid, row.number), 0);
        EXPECT_EQ(process->wait(std::chrono::seconds(30)), cmdkit::wait_result::ended);
        EXPECT_LT(std::chrono::steady_clock::now() - sent,
                  std::chrono::milliseconds(row.within_ms));
        const cmdkit_exit exit = process->status(0).value_or(cmdkit_exit{});
        EXPECT_EQ(exit.state * 1000 + exit.code, CMDKIT_EXIT_SIGNALED * 1000 + row.number);
        bool gone = false;
        for (int i = 0; i < 500 && !gone; ++i, usleep(10000))
            gone = kill(command, 0) != 0;
        EXPECT_TRUE(gone) << "the command was left running";
    }
    cmdkit_set_trace(cmdkit_trace_to_stderr, nullptr);
}
#endif

} // namespace

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    preload_library = testing_support::sibling_program(argv[0], "fault_injection.so");
    demo_program = testing_support::sibling_program(argv[0], "cmdkit-demo");
    run_program_path = testing_support::sibling_program(argv[0], "cmdkit-run");
    return RUN_ALL_TESTS();
}
