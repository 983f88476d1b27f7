#include "support/environment.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using testing_support::environment_changes;
using testing_support::process_result;
using testing_support::run_program;
using testing_support::scratch_directory;

std::string demo_program;

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

} // namespace

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    demo_program = testing_support::sibling_program(argv[0], "cmdkit-demo");
    return RUN_ALL_TESTS();
}
