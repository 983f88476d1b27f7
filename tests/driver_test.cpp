#include "support/environment.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace {

using testing_support::environment_changes;
using testing_support::process_result;
using testing_support::run_program;
using testing_support::scratch_directory;

std::string demo_program;
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
                        const std::string &directory = "") {
    return run_program(demo_program, input, changes, directory);
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

TEST_F(LookupLoop, CarriageReturnBeforeTheLineFeedIsNotPartOfTheLine) {
    process_result run = run_in_folder("tool a\r\nmissing b\r\n");
    EXPECT_EQ(lookup_part(run.out), as_written("app: bin\\tool.exe, cmd: bin\\tool.exe a\n"
                                               "App not found, cmd: C:\\cmd.exe /c missing b\n"));
}

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

// Lines used to be read into a 256-byte buffer; a long line must arrive
// whole, neither cut nor split into several lookups.
TEST_F(LookupLoop, VeryLongLinesArriveWhole) {
    const std::string argument(100 * 1024, 'x');
    process_result run = run_in_folder("tool " + argument + "\nmissing\n");
    EXPECT_EQ(lookup_part(run.out),
              as_written("app: bin\\tool.exe, cmd: bin\\tool.exe " + argument + "\n" +
                         "App not found, cmd: C:\\cmd.exe /c missing\n"));
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

// An allocation that fails inside the running program ends it with status
// 1 and the allocator's line, and loses none of the results printed before.
class AllocationFailure : public LookupLoop {
  protected:
    process_result run_failing(const char *variable, const std::string &size,
                               const std::string &input) {
        return run_demo(input,
                        {{"PATH", "bin"},
                         {"COMSPEC", "C:\\cmd.exe"},
                         {"LD_PRELOAD", preload_library},
                         {variable, size}},
                        scratch.path().string());
    }

    void SetUp() override {
#ifdef _WIN32
        GTEST_SKIP() << "needs a preloadable allocator; the Windows leg covers the "
                        "allocators' failure path in the unit tests";
#else
        if (!std::ifstream(preload_library))
            GTEST_SKIP() << "failing_alloc.so is built only without sanitizers";
#endif
    }
};

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

// A program that writes one line into our pipe and waits must get the
// answer, on both streams, without closing its end; the reader flushes both
// before it waits for more input.
TEST_F(LookupLoop, AnswersEachLineBeforeTheNextOneIsWritten) {
#ifdef _WIN32
    GTEST_SKIP() << "the pipe conversation is driven from the POSIX leg";
#else
    testing_support::coprocess demo(demo_program, {{"PATH", "bin"}, {"COMSPEC", "C:\\cmd.exe"}},
                                    scratch.path().string());
    EXPECT_EQ(demo.read_until(demonstration_output, false), demonstration_output);
    EXPECT_EQ(demo.read_until(demonstration_trace, true), demonstration_trace);

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

} // namespace

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    preload_library = testing_support::sibling_program(argv[0], "failing_alloc.so");
    demo_program = testing_support::sibling_program(argv[0], "cmdkit-demo");
    return RUN_ALL_TESTS();
}
