// The command lines the library prepares, handed to the real Windows
// process loader: the program that starts must be the one the lookup
// found, and the argument vector its C runtime parses must be the one the
// user typed, or the one composed with argv_to_windows_cmdline.
// Without a UTF-8 manifest this runs in code page 1252: no narrow call hides.
#include "cmdline.h"
#include "cmdline_internal.h"
#include "cmdrun.h"
#include "cmdrun_internal.h"
#include "support/environment.h"
#include "support/escaped.h"
#include "support/results.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>

#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <io.h>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>
#else
#include <atomic>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

bool running_under_wine() {
#ifdef _WIN32
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
#else
    return false;
#endif
}

#ifndef _WIN32

TEST(RealStart, NeedsTheWindowsProcessLoader) {
    GTEST_SKIP() << "starts programs with CreateProcess; runs on the Windows legs";
}

#else

namespace fs = std::filesystem;
using testing_support::escaped;
using testing_support::narrow;
using testing_support::scoped_variable;
using testing_support::scratch_directory;
using testing_support::wide;
using arguments = std::vector<std::string>;

// Started children must end well within this; a hung child fails its test.
constexpr DWORD child_time_limit_ms = 30000;

fs::path echo_program() {
    wchar_t self[MAX_PATH * 4];
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
    return fs::path(std::wstring(self, length)).parent_path() / "argv_echo.exe";
}

std::string system_error(const std::string &what) {
    return what + " failed with Windows error " + std::to_string(GetLastError());
}

// A child started with its standard output in a file of its own.
class started_child {
  public:
    started_child(const wchar_t *application, const std::wstring &command_line) {
        static std::atomic<int> serial{0};
        output_ =
            fs::temp_directory_path() / ("cmdkit-child-" + std::to_string(GetCurrentProcessId()) +
                                         "-" + std::to_string(serial++) + ".txt");
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE out = CreateFileW(output_.c_str(), GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (out == INVALID_HANDLE_VALUE) {
            error_ = system_error("CreateFile for the child's output");
            return;
        }
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = out;
        startup.hStdError = out;
        // Wine's loader now and then fails a start under load with
        // ERROR_INTERNAL_ERROR (about one in ten thousand here); the same
        // line starts when tried again.  Any other failure is the test's.
        for (int attempt = 0;; ++attempt) {
            std::wstring writable = command_line;
            if (CreateProcessW(application, writable.data(), nullptr, nullptr, TRUE, 0, nullptr,
                               nullptr, &startup, &process_))
                break;
            if (GetLastError() != ERROR_INTERNAL_ERROR || attempt == 2) {
                error_ = system_error("CreateProcess");
                break;
            }
        }
        CloseHandle(out);
    }

    ~started_child() {
        if (process_.hProcess != nullptr) {
            TerminateProcess(process_.hProcess, 1);
            CloseHandle(process_.hProcess);
            CloseHandle(process_.hThread);
        }
        std::error_code ignored;
        fs::remove(output_, ignored);
    }

    started_child(const started_child &) = delete;
    started_child &operator=(const started_child &) = delete;

    // Waits for the child and returns what it wrote; an empty optional, with
    // the reason in error(), when it could not be started or did not end.
    std::optional<std::string> output() {
        if (!error_.empty())
            return std::nullopt;
        if (WaitForSingleObject(process_.hProcess, child_time_limit_ms) != WAIT_OBJECT_0) {
            error_ = "the child did not end within " + std::to_string(child_time_limit_ms) + " ms";
            return std::nullopt;
        }
        std::ifstream in(output_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    const std::string &error() const { return error_; }

  private:
    fs::path output_;
    PROCESS_INFORMATION process_{};
    std::string error_;
};

// What argv_echo reported: its own program file, then its argument vector.
struct echo_report {
    std::string program;
    arguments argv;
};

echo_report read_report(const std::string &output) {
    echo_report report;
    std::istringstream lines(output);
    std::string line;
    if (std::getline(lines, line))
        report.program = testing_support::unescaped(line);
    while (std::getline(lines, line))
        report.argv.push_back(testing_support::unescaped(line));
    return report;
}

// Paths name the same file when the file system says so: letter case,
// doubled backslashes and relative spellings do not matter.
bool same_file(const std::string &a, const std::string &b) {
    BY_HANDLE_FILE_INFORMATION identities[2]{};
    const std::string *paths[] = {&a, &b};
    for (int i = 0; i < 2; ++i) {
        HANDLE file = CreateFileW(wide(*paths[i]).c_str(), 0,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return false;
        bool known = GetFileInformationByHandle(file, &identities[i]) != 0;
        CloseHandle(file);
        if (!known)
            return false;
    }
    return identities[0].dwVolumeSerialNumber == identities[1].dwVolumeSerialNumber &&
           identities[0].nFileIndexHigh == identities[1].nFileIndexHigh &&
           identities[0].nFileIndexLow == identities[1].nFileIndexLow;
}

std::string shown(const arguments &argv) {
    std::string text;
    for (const std::string &argument : argv)
        text += "[" + escaped(argument) + "] ";
    return text;
}

// A tree with copies of argv_echo under the names the lines use, a batch
// file, a folder with a space, and a planted Program.exe in the current
// directory; PATH and COMSPEC set inside this process, where Wine lets them
// be.  PATH also holds CJK, an emoji, a lone surrogate (left by `..`: Wine
// cannot name a file so) and a fullwidth `ｓｕｂ`, whose twin `sub` is not.
class RealStart : public testing::Test {
  protected:
    RealStart()
        : root(scratch.path().u8string()),
          path("PATH", root + "\\bin\\;" + root + "\\Program Files\\x;" + root + "\\工具;" + root +
                           "\\😀;" + root + "\\solo\\\xED\xA0\x80\\..;" + root + "\\ｓｕｂ"),
          comspec("COMSPEC", std::string("C:\\windows\\system32\\cmd.exe")) {
        for (const char *copy : {"bin/tool.exe", "bin/Mixed.EXE", "Program Files/x/edit.exe",
                                 "sub/direct.exe", "Program.exe", "bin/ツール.exe", "bin/café.exe",
                                 "工具/cjk.exe", "😀/emoji.exe", "solo/lone.exe"}) {
            fs::create_directories((scratch.path() / fs::u8path(copy)).parent_path());
            fs::copy_file(echo_program(), scratch.path() / fs::u8path(copy));
        }
        std::ofstream(scratch.path() / "here.bat", std::ios::binary)
            << "@echo batch ran with %*\r\n";
    }

    scratch_directory scratch;
    const std::string root;
    scoped_variable path;
    scoped_variable comspec;
};

struct start_case {
    std::string line;                   // {root} stands for the tree's absolute path
    arguments after_name;               // what the program must receive after its name
    bool found;                         // false: the line goes to the command interpreter
    const char *batch_output = nullptr; // a batch file: what it must print
};

std::string with_root(std::string text, const std::string &root) {
    for (size_t at = text.find("{root}"); at != std::string::npos; at = text.find("{root}"))
        text.replace(at, 6, root);
    return text;
}

// Starts the command line once and checks who ran and with what.
void expect_started(const char *application, const std::string &command_line,
                    const std::string &program, const arguments &argv, const char *batch_output) {
    SCOPED_TRACE("application " + std::string(application ? application : "(null)") +
                 ", command line " + command_line);
    const std::wstring wide_application = wide(application ? application : "");
    started_child child(application ? wide_application.c_str() : nullptr, wide(command_line));
    std::optional<std::string> output = child.output();
    ASSERT_TRUE(output.has_value()) << child.error();
    if (batch_output != nullptr) {
        EXPECT_EQ(output->rfind(batch_output, 0), 0u) << *output;
        return;
    }
    echo_report report = read_report(*output);
    EXPECT_TRUE(same_file(report.program, program))
        << "started " << report.program << " instead of " << program;
    EXPECT_EQ(report.argv, argv) << shown(report.argv);
}

TEST_F(RealStart, PreparedLinesStartTheFoundProgramWithTheTypedArguments) {
    const std::vector<start_case> cases = {
        {"tool a b", {"a", "b"}, true},
        {"tool \"a b\" c", {"a b", "c"}, true},
        // The file is Mixed.EXE; Windows names ignore case.
        {"mixed q", {"q"}, true},
        {"TOOL.EXE x", {"x"}, true},
        {"\"tool\"a", {"a"}, true},
        // Found under `Program Files`: the quotes keep Program.exe out.
        {"edit notes.txt", {"notes.txt"}, true},
        {"here a b", {}, true, "batch ran with a b"},
        {"ツール 引数 \"a b\"", {"引数", "a b"}, true},
        {"café ü", {"ü"}, true},
        {"cjk 漢字", {"漢字"}, true},
        {"emoji 😀", {"😀"}, true},
        {"lone x", {"x"}, true},
        // A path with a drive is joined to every search directory and so
        // never found; the interpreter runs it.
        {"{root}\\sub\\direct.exe via cmd", {"via", "cmd"}, false},
    };
    for (const start_case &c : cases) {
        const std::string line = with_root(c.line, root);
        SCOPED_TRACE(line);
        testing_support::lookup_outcome lookup = testing_support::look_up(line);
        ASSERT_EQ(lookup.app_name.has_value(), c.found) << lookup.trace;
        ASSERT_TRUE(lookup.new_cmd.has_value());
        if (c.found) {
            arguments argv = c.after_name;
            argv.insert(argv.begin(), *lookup.app_name);
            expect_started(lookup.app_name->c_str(), *lookup.new_cmd, *lookup.app_name, argv,
                           c.batch_output);
            expect_started(nullptr, *lookup.new_cmd, *lookup.app_name, argv, c.batch_output);
        } else {
            const std::string typed = line.substr(0, line.find(' '));
            arguments argv = c.after_name;
            argv.insert(argv.begin(), typed);
            expect_started(nullptr, *lookup.new_cmd, typed, argv, nullptr);
        }
    }
}

// The narrow environment would read `ｓｕｂ` as `sub` and mangle the surrogate.
TEST_F(RealStart, PathIsReadFromTheWideEnvironmentAsItIs) {
    testing_support::lookup_outcome fullwidth = testing_support::look_up("direct x");
    EXPECT_EQ(fullwidth.app_name, std::nullopt);
    EXPECT_NE(fullwidth.trace.find(root + "\\ｓｕｂ\\direct.com"), std::string::npos);
    EXPECT_EQ(wide(testing_support::look_up("lone").app_name.value_or("")),
              wide(root) + L"\\solo\\\xD800\\..\\lone.exe");
}

// Why a found path holding a space is quoted: started bare, the loader
// tries the shortest reading first and runs Program.exe.
TEST_F(RealStart, AnUnquotedPathWithASpaceStartsAPlantedProgram) {
    testing_support::lookup_outcome lookup = testing_support::look_up("edit notes.txt");
    ASSERT_TRUE(lookup.app_name.has_value()) << lookup.trace;
    ASSERT_NE(lookup.app_name->find(' '), std::string::npos);
    const std::string bare = *lookup.app_name + " notes.txt";
    started_child child(nullptr, wide(bare));
    std::optional<std::string> output = child.output();
    ASSERT_TRUE(output.has_value()) << child.error();
    EXPECT_TRUE(same_file(read_report(*output).program, root + "\\Program.exe")) << *output;
}

// Argument vectors with every byte value, backslash runs before quotes and
// at the end, empty arguments, quotes at both ends, spaces and tabs, and
// long arguments; in UTF-8 mode, characters of one to four bytes.
class vector_generator {
  public:
    enum class kind { ansi, utf8, hostile }; // two shards each
    vector_generator(unsigned seed, kind drawn) : random_(seed), kind_(drawn) {}

    arguments next(int serial) {
        arguments argv;
        for (size_t count = pick(6); count > 0; --count)
            argv.push_back(argument());
        // Every byte value 0x01-0xFF is in at least one vector.
        if (serial < 255 && kind_ == kind::ansi)
            argv.push_back(std::string(1, static_cast<char>(serial + 1)) + argument());
        // Last, behind whatever quotes came before: it runs canary.bat if it
        // ever reaches the interpreter as a command.
        static const char *const payloads[] = {"&canary", "|canary", "^&canary", ")&canary&("};
        if (kind_ == kind::hostile)
            argv.push_back(payloads[pick(4)]);
        return argv;
    }

    bool with_percent = true; // Wine needs vectors without `%` (see below)

  private:
    std::string argument() {
        switch (pick(10)) {
        case 0:
            return "";
        case 1:
            if (kind_ != kind::hostile) // which the interpreter's 8,191 units would refuse
                return std::string(200 + pick(3000), static_cast<char>('a' + pick(26)));
            break;
        default:
            break;
        }
        std::string text;
        if (pick(4) == 0)
            text += '"';
        for (size_t pieces = 1 + pick(6); pieces > 0; --pieces)
            text += piece();
        if (pick(4) == 0)
            text += '"';
        return text;
    }

    std::string piece() {
        static const char plain[] = "ab\\\" \t";
        static const char *const characters[] = {"é", "ß", "€", "日", "ｂ", "＂", "😀", "𝄞"};
        static const char *const metacharacters[] = {"&",  "|", "<",      ">",    "^", "!",
                                                     "(",  ")", ",",      ";",    "=", "＆",
                                                     "％", "%", "%PATH%", "%CD%", "^%"};
        switch (pick(5)) {
        case 0:
            return std::string(pick(6), '\\') + '"';
        case 1:
            return std::string(1 + pick(5), '\\');
        case 2:
            if (kind_ == kind::hostile)
                return metacharacters[pick(with_percent ? 17 : 13)];
            if (kind_ == kind::utf8)
                return characters[pick(sizeof characters / sizeof *characters)];
            return std::string(1, static_cast<char>(1 + pick(255)));
        default:
            return std::string(1, plain[pick(sizeof plain - 1)]);
        }
    }

    size_t pick(size_t bound) {
        return std::uniform_int_distribution<size_t>(0, bound - 1)(random_);
    }

    std::mt19937 random_;
    kind kind_;
};

// Bytes read in the ANSI code page, as CreateProcessA would read them.
std::wstring from_ansi(const std::string &text) {
    if (text.empty())
        return std::wstring();
    int length =
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), result.data(),
                        length);
    return result;
}

std::vector<std::wstring> split_by_shell(const std::wstring &line) {
    int count = 0;
    LPWSTR *parts = CommandLineToArgvW(line.c_str(), &count);
    std::vector<std::wstring> result;
    for (int i = 0; parts != nullptr && i < count; ++i)
        result.emplace_back(parts[i]);
    LocalFree(parts);
    return result;
}

std::string composed(const arguments &argv, char *(*compose)(char **) = argv_to_windows_cmdline) {
    std::vector<char *> pointers;
    for (const std::string &argument : argv)
        pointers.push_back(const_cast<char *>(argument.c_str()));
    pointers.push_back(nullptr);
    return testing_support::take_string(compose(pointers.data())).value_or("");
}

// Batch files handing argv_echo %*, %1... and "%~1"..., the first again in
// a folder named with %PATH%, and the canary, which leaves a marker.
std::vector<std::string> write_batch_files(const fs::path &folder) {
    const std::string each = "%1 %2 %3 %4 %5 %6 %7 %8 %9";
    const std::string quoted = R"("%~1" "%~2" "%~3" "%~4" "%~5" "%~6" "%~7" "%~8" "%~9")";
    const std::string echo = "@\"" + echo_program().u8string() + "\" ";
    const std::pair<const char *, std::string> files[] = {
        {"all.bat", echo + "%*"},
        {"each.bat", echo + each},
        {"quoted.bat", echo + quoted},
        {"p%PATH%\\all.bat", echo + "%*"},
        {"canary.bat", "@echo ran>\"%~dp0canary-ran\""}};
    std::vector<std::string> paths;
    for (const auto &[name, line] : files) {
        paths.push_back(folder.u8string() + "\\" + name);
        fs::create_directories(fs::u8path(paths.back()).parent_path());
        std::ofstream(fs::u8path(paths.back()), std::ios::binary) << line << "\r\n";
    }
    return paths;
}

// Why batch files need their own quoting: the C runtime's lets an argument run.
TEST(BatchFiles, CRuntimeQuotingLetsAnArgumentRunACommand) {
    scratch_directory scratch;
    const std::string all = write_batch_files(scratch.path())[0];
    started_child child(wide(all).c_str(),
                        wide("\"" + all + "\" " + composed({"x", "\"&canary&\""}).substr(2)));
    ASSERT_TRUE(child.output().has_value()) << child.error();
    EXPECT_TRUE(fs::exists(scratch.path() / "canary-ran"));
}

std::wstring system_interpreter() {
    wchar_t folder[MAX_PATH];
    return std::wstring(folder, GetSystemDirectoryW(folder, MAX_PATH)) + L"\\cmd.exe";
}

// The verbatim name runs the file it names, not a run.bat planted in the
// current directory; `run.bat.` would be another file, and is refused
// unstarted.  (Wine cannot hold both: a verbatim `run.bat.` replaces
// `run.bat`.)
TEST(BatchFiles, AVerbatimPathRunsTheFileItNames) {
    scratch_directory scratch;
    const fs::path folder = scratch.path() / "d";
    fs::create_directories(folder);
    std::ofstream(scratch.path() / "run.bat", std::ios::binary) << "@echo planted ran\r\n";
    std::ofstream(folder / "run.bat", std::ios::binary) << "@echo named ran %1\r\n";
    const std::string verbatim = "\\\\?\\" + folder.u8string() + "\\run.bat";
    EXPECT_EQ(composed({verbatim + ".", "x"}, argv_to_batch_cmdline), "");
    started_child child(system_interpreter().c_str(),
                        wide(composed({verbatim, "x"}, argv_to_batch_cmdline)));
    EXPECT_EQ(child.output().value_or(child.error()).rfind("named ran x", 0), 0u);
}

// A program built to expand wildcards lists the folder for a bare `*.bat`,
// and on Windows' msvcrt.dll leaves the composed (quoted) wildcards alone.
// Wine's msvcrt.dll expands quoted ones too, and mingw-w64's start-up code
// on the UCRT expands none under Wine: the test shows what they gave without
// holding them to it.
TEST(Wildcards, AnExpandingProgramGetsTheComposedWildcardsAsTheyAre) {
    scratch_directory scratch;
    scratch.add_file("x.bat");
    scratch.add_file("abc");
    const std::string program = (echo_program().parent_path() / "argv_echo_glob.exe").u8string();
    started_child bare(nullptr, wide(program + " *.bat"));
    const arguments listed = read_report(bare.output().value_or("")).argv;
    const arguments typed = {program, "*", "a?c", "*.bat"};
    started_child quoted(nullptr, wide(composed(typed)));
    const arguments received = read_report(quoted.output().value_or("")).argv;
#ifdef CMDKIT_ON_UCRT
    std::printf("UCRT: a bare *.bat came back as %s, the quoted wildcards as %s\n",
                shown(listed).c_str(), shown(received).c_str());
#else
    ASSERT_EQ(listed, (arguments{program, "x.bat"}));
    if (running_under_wine())
        std::printf("quoted wildcards came back as %s\n", shown(received).c_str());
    else
        EXPECT_EQ(received, typed) << shown(received);
#endif
}

// The vectors are started a batch at a time: Wine starts a program in tens
// of milliseconds, and several starts overlap well.
constexpr int vectors_per_shard = 500;
constexpr int children_at_once = 8;

// Shards 0-1: bytes of the ANSI code page, 2-3: UTF-8, 4-5: hostile vectors
// for the batch files, run by the system's cmd.exe.
class WindowsQuoting : public testing::TestWithParam<int> {};

TEST_P(WindowsQuoting, StartedProgramsAndTheShellSplitterGetEveryVectorBack) {
    scratch_directory scratch;
    // The program name takes the simpler rules: one with a space in it too.
    const fs::path spaced = scratch.path() / "echo dir" / "argv_echo.exe";
    fs::create_directories(spaced.parent_path());
    fs::copy_file(echo_program(), spaced);
    const std::string names[] = {echo_program().u8string(), spaced.u8string()};

    const int shard = GetParam();
    const bool batch = shard >= 4;
    const bool utf8 = shard >= 2;
    const std::vector<std::string> batches = write_batch_files(scratch.path());
    const std::wstring cmd = system_interpreter();
    const bool wine = running_under_wine();
    // The old msvcrt.dll on Windows ends quotes at `""`, as the header says.
    started_child probe(nullptr, wide(names[0]) + L" \"a\"\"b\"");
    const bool doubled_quote_kept = read_report(probe.output().value_or("")).argv.back() == "a\"b";
    const int count = batch ? 120 : vectors_per_shard;
    vector_generator generate(20261208u + static_cast<unsigned>(shard),
                              static_cast<vector_generator::kind>(shard / 2));
    for (int first = 0; first < count; first += children_at_once) {
        std::vector<arguments> vectors;
        std::vector<std::wstring> lines;
        std::vector<std::unique_ptr<started_child>> children;
        for (int i = first; i < first + children_at_once && i < count; ++i) {
            // Wine's cmd.exe expands `%` in %1...%* twice (a Wine bug): there
            // the fuzzer's model of the interpreter proves those vectors.
            generate.with_percent = !wine && i % 3 == 0;
            arguments argv = generate.next(shard * vectors_per_shard + i);
            argv.insert(argv.begin(), batch ? batches[i % 4] : names[i % 2]);
            const std::string line =
                composed(argv, batch ? argv_to_batch_cmdline : argv_to_windows_cmdline);
            lines.push_back(utf8 ? wide(line) : from_ansi(line));
            vectors.push_back(argv);
            children.push_back(
                std::make_unique<started_child>(batch ? cmd.c_str() : nullptr, lines.back()));
        }
        for (size_t i = 0; i < vectors.size(); ++i) {
            SCOPED_TRACE("vector " + shown(vectors[i]) + "\ncomposed " + escaped(narrow(lines[i])));
            std::vector<std::wstring> expected_wide;
            arguments expected;
            for (const std::string &argument : vectors[i]) {
                expected_wide.push_back(utf8 ? wide(argument) : from_ansi(argument));
                expected.push_back(narrow(expected_wide.back()));
            }
            if (!batch) {
                EXPECT_EQ(split_by_shell(lines[i]), expected_wide) << "CommandLineToArgvW";
            }
            std::optional<std::string> output = children[i]->output();
            ASSERT_TRUE(output.has_value()) << children[i]->error();
            arguments echoed = read_report(*output).argv;
            if (batch) {
                ASSERT_FALSE(fs::exists(scratch.path() / "canary-ran")) << "a command ran";
                // Not the batch file's %0; "%~1"... pass nine.
                const bool quoted = (first + static_cast<int>(i)) % 4 == 2;
                expected.erase(expected.begin());
                expected.resize(quoted ? 9 : expected.size());
                echoed.erase(echoed.begin(), echoed.begin() + std::min<size_t>(1, echoed.size()));
                // Wine's %~1 strips inner quotes too; and see the probe.
                const bool holds_quote = std::any_of(expected.begin(), expected.end(), [](auto &a) {
                    return a.find('"') != std::string::npos;
                });
                if (holds_quote && ((quoted && wine) || !doubled_quote_kept))
                    continue;
            }
            EXPECT_EQ(echoed, expected) << shown(echoed);
        }
        if (HasFailure())
            return;
    }
}

INSTANTIATE_TEST_SUITE_P(Shards, WindowsQuoting, testing::Range(0, 6));

#endif

// Pipelines started by cmdkit_start, on every leg: the child plays each
// part, found by its bare name on a PATH of one absolute entry.
namespace fs = std::filesystem;
using testing_support::fails_with;
using testing_support::scoped_variable;
using testing_support::scratch_directory;

fs::path child_folder() {
    return testing_support::programs_folder();
}

std::string read_all(const fs::path &file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct run_outcome {
    int result;
    cmdkit_exit status;
    cmdkit_failure failure;
    std::string trace;
};

#ifdef _WIN32
const std::string suffix = ".exe";
#else
const std::string suffix;
#endif

class Pipelines : public testing::Test {
  protected:
    Pipelines() : path("PATH", child_folder().u8string()) {}

    run_outcome run(const std::string &line, unsigned flags = 0, long timeout_ms = 120000) {
        options.flags = flags;
        run_outcome outcome{0, {}, CMDKIT_FAILURE_INIT, {}};
        testing_support::captured_trace trace;
        outcome.result =
            cmdkit_run(line.c_str(), &options, timeout_ms, &outcome.status, &outcome.failure);
        outcome.trace = trace.text;
        return outcome;
    }

    // `line` started with `with` (the fixture's options by default).
    cmdkit_process *started(const std::string &line, const cmdkit_start_options *with = nullptr) {
        cmdkit_pipeline pipeline = CMDKIT_PIPELINE_INIT;
        cmdkit_process *process = nullptr;
        EXPECT_EQ(cmdkit_parse_pipeline(line.c_str(), &pipeline), 0) << line;
        EXPECT_EQ(cmdkit_start(&pipeline, with != nullptr ? with : &options, &process, nullptr), 0)
            << line;
        cmdkit_clear_pipeline(&pipeline);
        return process;
    }

    scratch_directory scratch;
    scoped_variable path;
    cmdkit_start_options options = CMDKIT_START_OPTIONS_INIT;
};

// A write end left open anywhere shows as a failed wait, not a hang.
TEST_F(Pipelines, CarryEveryByteThroughEachPipe) {
    const std::string produce = "argv_echo --child produce 4194304";
    const std::string copy = " | argv_echo --child copy";
    ASSERT_EQ(run(produce + copy + copy + " > out").result, 0);
    const std::string out = read_all(scratch.path() / "out");
    ASSERT_EQ(out.size(), 4194304u);
    for (size_t i = 0; i < out.size(); i += 4093)
        ASSERT_EQ(out[i], 'a' + static_cast<char>(i % 65536 % 26)) << i;
    std::string seventy = "argv_echo --child lines 3 x";
    for (int i = 0; i < 70; ++i)
        seventy += copy;
    const run_outcome long_one = run(seventy + " > out");
    EXPECT_EQ(long_one.result, 0) << long_one.trace;
    EXPECT_EQ(read_all(scratch.path() / "out"), "x 0\nx 1\nx 2\n");
}

// The caller's inheritable handles (descriptors without FD_CLOEXEC) reach
// no command: none of the marker files shows among what the child holds.
TEST_F(Pipelines, NoHandleOfTheCallerReachesACommand) {
    std::vector<std::unique_ptr<std::FILE, int (*)(std::FILE *)>> markers;
    std::string identities;
    for (int i = 0; i < 40; ++i) {
        const fs::path marker = scratch.path() / ("marker" + std::to_string(i));
        markers.emplace_back(std::fopen(marker.string().c_str(), "w"), &std::fclose);
#ifdef _WIN32
        HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(markers.back().get())));
        SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
        BY_HANDLE_FILE_INFORMATION file{};
        GetFileInformationByHandle(handle, &file);
        identities += std::to_string(file.dwVolumeSerialNumber) + " " +
                      std::to_string((static_cast<unsigned long long>(file.nFileIndexHigh) << 32) |
                                     file.nFileIndexLow) +
                      "\n";
#else
        struct stat file {};
        fstat(fileno(markers.back().get()), &file);
        identities += std::to_string(file.st_dev) + " " + std::to_string(file.st_ino) + "\n";
#endif
    }
    ASSERT_EQ(run("argv_echo --child handles | argv_echo --child copy > out").result, 0);
    std::istringstream reported(read_all(scratch.path() / "out"));
    for (std::string line; std::getline(reported, line);)
        EXPECT_EQ(identities.find(line + "\n"), std::string::npos) << "leaked: " << line;
}

// The kill reaches the sleeping grandchild too (POSIX: with a group).
// True when the process `pid` ends within five seconds.
bool ends_soon(unsigned long pid) {
    for (int i = 0; i < 500; ++i) {
#ifdef _WIN32
        HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
        const bool gone = process == nullptr || WaitForSingleObject(process, 10) == WAIT_OBJECT_0;
        if (process != nullptr)
            CloseHandle(process);
#else
        const bool gone = kill(static_cast<pid_t>(pid), 0) != 0;
        usleep(10000);
#endif
        if (gone)
            return true;
    }
    return false;
}

TEST_F(Pipelines, ATimeLimitKillsTheWholeTree) {
    const auto begun = std::chrono::steady_clock::now();
    const run_outcome killed =
        run("argv_echo --child sleep | argv_echo --child spawn-sleeper > pid",
            CMDKIT_START_NEW_GROUP, 1000);
    EXPECT_EQ(killed.result, 1);
    EXPECT_EQ(killed.status.state, CMDKIT_EXIT_KILLED);
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(20));
    const unsigned long grandchild = std::stoul(read_all(scratch.path() / "pid"));
    EXPECT_TRUE(ends_soon(grandchild)) << grandchild;
}

// Two appenders at once lose no line and split none, and what the file
// held stays in front; `>` truncates.  Wine's appends are not atomic across
// processes (lines are lost and overwritten there), so under Wine the
// appenders run one after the other, which still shows every write landing
// at the end.
TEST_F(Pipelines, AppendersKeepEveryLineAndTruncationEmpties) {
    testing_support::captured_trace quiet;
    std::ofstream(scratch.path() / "out", std::ios::binary) << "first\n";
    cmdkit_process *writers[2] = {};
    for (int i = 0; i < 2; ++i) {
        writers[i] = started(i == 0 ? "argv_echo --child lines 1000 A >> out"
                                    : "argv_echo --child lines 1000 B >> out");
        if (running_under_wine()) {
            EXPECT_EQ(cmdkit_wait(writers[i], 60000), 0);
        }
    }
    for (cmdkit_process *writer : writers) {
        EXPECT_EQ(cmdkit_wait(writer, 60000), 0);
        cmdkit_free_process(writer);
    }
    std::istringstream lines(read_all(scratch.path() / "out"));
    std::string line;
    ASSERT_TRUE(std::getline(lines, line) && line == "first");
    int next[2] = {0, 0};
    int seen = 0;
    for (; std::getline(lines, line); ++seen) {
        ASSERT_TRUE(line.size() > 2 && (line[0] == 'A' || line[0] == 'B')) << line;
        const int number = std::stoi(line.substr(2));
        EXPECT_GE(number, next[line[0] - 'A']) << line;
        next[line[0] - 'A'] = number + 1;
    }
    EXPECT_EQ(seen, 2000);
    ASSERT_EQ(run("argv_echo --child lines 1 C > out").result, 0);
    EXPECT_EQ(read_all(scratch.path() / "out"), "C 0\n");
#ifdef _WIN32
    options.directory = "sub";
    fs::create_directory(scratch.path() / "sub");
    EXPECT_EQ(run("argv_echo --child lines 1 C > nul.txt").result, 0);
    EXPECT_FALSE(fs::exists(scratch.path() / "sub" / "nul.txt"));
#endif
    // An absolute target is that file, wherever the commands run.
    options.directory = "sub";
    fs::create_directories(scratch.path() / "sub");
    const std::string absolute = (scratch.path() / "abs.txt").u8string();
    EXPECT_EQ(run("argv_echo --child lines 1 D > \"" + absolute + "\"").result, 0);
    EXPECT_EQ(read_all(scratch.path() / "abs.txt"), "D 0\n");
}

int open_descriptors() {
#ifdef _WIN32
    return 0;
#else
    int count = 0;
    for (const auto &entry : fs::directory_iterator("/proc/self/fd"))
        count += entry.path().filename() != "." ? 1 : 0;
    return count;
#endif
}

// Those a program the caller starts itself would inherit.
int inheritable_descriptors() {
    int count = 0;
#ifndef _WIN32
    for (const auto &entry : fs::directory_iterator("/proc/self/fd")) {
        const int flags = fcntl(std::stoi(entry.path().filename().string()), F_GETFD);
        count += flags >= 0 && (flags & FD_CLOEXEC) == 0 ? 1 : 0;
    }
#endif
    return count;
}

// Each refusal names its stage, sets errno, gives its message in the report
// (and so says nothing to the sink) and leaves nothing behind: no file it
// should not touch, no descriptor, no child running or unreaped.
TEST_F(Pipelines, FailuresReportTheirStageAndLeaveNothingBehind) {
    fs::create_directories(scratch.path() / "bin");
    fs::copy_file(child_folder() / ("argv_echo" + suffix),
                  scratch.path() / "bin" / ("tool" + suffix));
    std::ofstream(scratch.path() / "bad.exe", std::ios::binary) << "\x7f"
                                                                   "ELF, but not a program";
    fs::permissions(scratch.path() / "bad.exe", fs::perms::owner_all, fs::perm_options::add);
    std::ofstream(scratch.path() / "r.bat", std::ios::binary) << "@echo %1\r\n";
    const struct {
        const char *line, *directory, *path;
        unsigned flags;
        int stage, index, error;
        const char *message;
        unsigned lookup_flags = 0; // options.lookup when not 0
        long timeout_ms = 120000;
    } rows[] = {
        {"argv_echo --child lines 1 x | missing > out", nullptr, nullptr, 0, CMDKIT_FAILED_FIND, 1,
         ENOENT, "Command 2 (missing): not found."},
        {"argv_echo --child copy < missing > out", nullptr, nullptr, 0, CMDKIT_FAILED_INPUT, -1,
         ENOENT, "Input file missing cannot be opened: "},
        {"argv_echo --child copy", "nowhere", nullptr, 0, CMDKIT_FAILED_DIRECTORY, -1, ENOENT,
         "Directory "},
        {"tool", nullptr, "bin", 0, CMDKIT_FAILED_FIND, 0, ENOENT,
         "Command 1 (tool): refused: found through the relative PATH entry bin, where a program "
         "planted relative to the current directory would run; make the entry absolute."},
        {"argv_echo --child sleep | ./bad.exe", nullptr, nullptr, 0, CMDKIT_FAILED_START, 1,
         ENOEXEC, "Command 2 (./bad.exe) could not be started: "},
        {"argv_echo", nullptr, nullptr, 0x180u, CMDKIT_FAILED_REQUEST, -1, EINVAL,
         "Refused: start flags this version does not know: 0x180."},
        {"argv_echo", nullptr, nullptr, 0, CMDKIT_FAILED_REQUEST, -1, EINVAL,
         "Refused: a time limit that is neither -1 nor positive.", 0, 0},
        {"argv_echo", nullptr, nullptr, CMDKIT_START_CAPTURE_OUTPUT, CMDKIT_FAILED_REQUEST, -1,
         EINVAL, "Refused: output capture in a run"},
        {"argv_echo |", nullptr, nullptr, 0, CMDKIT_FAILED_PARSE, -1, EINVAL,
         "No command name seen."},
#ifndef _WIN32
        // The host's rules never search the current directory, even when
        // the caller's flags leave it in.
        {"tool", nullptr, "bin", 0, CMDKIT_FAILED_FIND, 0, ENOENT,
         "Command 1 (tool): refused: found through the relative PATH entry bin",
         CMDKIT_LOOKUP_HOST_RULES},
#endif
#ifdef _WIN32
        {".\\r.bat \"a\rb\"", nullptr, nullptr, 0, CMDKIT_FAILED_COMPOSE, 0, EINVAL,
         "Command 1 (.\\r.bat): no command line can be written: "},
#endif
    };
    const int descriptors = open_descriptors();
    for (const auto &row : rows) {
        SCOPED_TRACE(row.line);
        options.directory = row.directory;
        cmdkit_lookup_options lookup = CMDKIT_LOOKUP_OPTIONS_INIT;
        lookup.flags = row.lookup_flags;
        options.lookup = row.lookup_flags != 0 ? &lookup : nullptr;
        std::optional<scoped_variable> relative;
        if (row.path != nullptr)
            relative.emplace("PATH", row.path);
        const auto begun = std::chrono::steady_clock::now();
        const run_outcome failed = run(row.line, row.flags, row.timeout_ms);
        EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(20));
        EXPECT_EQ(failed.result, -1);
        EXPECT_EQ(failed.failure.stage, row.stage);
        EXPECT_EQ(failed.failure.index, row.index);
        EXPECT_EQ(failed.failure.error, row.error);
        EXPECT_EQ(std::string(failed.failure.message).rfind(row.message, 0), 0u)
            << failed.failure.message;
        EXPECT_EQ(failed.trace, "") << "the report has the message: the sink hears nothing";
        EXPECT_FALSE(fs::exists(scratch.path() / "out"));
        EXPECT_EQ(open_descriptors(), descriptors);
#ifndef _WIN32
        EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a child left unreaped";
#endif
    }
#ifdef _WIN32
    // cmd.exe would read `%cd:~,%` through a CD entry: no batch file runs
    // with one, given (any case) or the caller's own.
    options.directory = nullptr;
    const char *const with_cd[] = {"cd=C:\\", nullptr};
    for (const bool given : {true, false}) {
        options.environment = given ? with_cd : nullptr;
        scoped_variable caller_cd("CD", given ? std::nullopt : std::optional<std::string>("C:\\"));
        const run_outcome refused = run(".\\r.bat x");
        EXPECT_TRUE(refused.failure.stage == CMDKIT_FAILED_COMPOSE &&
                    std::strstr(refused.failure.message, "CD environment entry") != nullptr)
            << refused.failure.message;
    }
    options.environment = nullptr;
#endif
}

// The state comes from the wait, never from the code; PIPEFAIL picks the
// rightmost failure.
TEST_F(Pipelines, ExitsAreReportedAsTheSystemGivesThem) {
#ifdef _WIN32
    std::ofstream(scratch.path() / "three.bat", std::ios::binary) << "@exit /b 3\r\n";
#else
    signal(SIGPIPE, SIG_IGN); // which the producer must not inherit
#endif
#ifndef _WIN32
    // A FIFO nobody writes to: opened without waiting, read as empty.
    ASSERT_EQ(mkfifo((scratch.path() / "fifo").c_str(), 0600), 0);
#endif
    const struct {
        const char *line;
        unsigned flags;
        int state;
        unsigned long code;
        long timeout_ms = 120000;
    } rows[] = {
        {"argv_echo --child exit 5 | argv_echo --child exit 0", 0, CMDKIT_EXIT_EXITED, 0},
        {"argv_echo --child copy", CMDKIT_START_NULL_INPUT | CMDKIT_START_NO_WINDOW,
         CMDKIT_EXIT_EXITED, 0},
        {"argv_echo --child sleep 100 | argv_echo --child sleep 500", 0, CMDKIT_EXIT_EXITED, 0,
         5000},
        {"argv_echo --child exit 5 | argv_echo --child exit 0", CMDKIT_START_PIPEFAIL,
         CMDKIT_EXIT_EXITED, 5},
#ifdef _WIN32
        {"argv_echo --child exit 259", 0, CMDKIT_EXIT_EXITED, 259},
        {"argv_echo --child exit 0xC0000005", 0, CMDKIT_EXIT_EXITED, 0xC0000005ul},
        {".\\three.bat", 0, CMDKIT_EXIT_EXITED, 3},
#else
        {"argv_echo --child produce 100000000 | argv_echo --child exit 0", CMDKIT_START_PIPEFAIL,
         CMDKIT_EXIT_SIGNALED, SIGPIPE},
        {"argv_echo --child copy < fifo", 0, CMDKIT_EXIT_EXITED, 0},
#endif
    };
    const int descriptors = open_descriptors();
    for (const auto &row : rows) {
        const run_outcome ended = run(row.line, row.flags, row.timeout_ms);
        EXPECT_EQ(ended.result, 0) << row.line << ended.trace;
        EXPECT_EQ(ended.status.state, row.state) << row.line;
        EXPECT_EQ(ended.status.code, row.code) << row.line;
    }
    EXPECT_EQ(open_descriptors(), descriptors);
#ifndef _WIN32
    signal(SIGPIPE, SIG_DFL);
#endif
}

// A look with a limit of 0 reaps what has ended and then says so: one
// command, and a pipeline of three, each ended a while ago.
TEST_F(Pipelines, ALookWithALimitOfZeroSeesTheEnd) {
    cmdkit_process *pause = started("argv_echo --child sleep");
    for (const std::string last : {"", "argv_echo --child exit 0 | argv_echo --child exit 0 | "}) {
        cmdkit_process *process = started(last + "argv_echo --child exit 3");
        int looked = 1;
        for (int i = 0; i < 300 && looked == 1; ++i) // a pause, then a look
            looked = (cmdkit_wait(pause, 100), cmdkit_wait(process, 0));
        cmdkit_exit exit{};
        cmdkit_exit_status(process, last.empty() ? 0 : 2, &exit);
        EXPECT_EQ(looked * 100 + cmdkit_wait(process, LONG_MAX) + exit.code, 3u) << last;
        cmdkit_free_process(process);
    }
    cmdkit_free_process(pause);
}

// Every command's errors go where the last command's output goes, asked by
// the flag or by the stream's kind, whether that is the caller's own
// output, a handle of the caller's or a `>` file: none into the next
// command's input, which `lines` never reads.  Rows: two and three
// commands, flag or kind, and the three destinations.
TEST_F(Pipelines, EveryCommandsErrorsGoWhereTheLastOutputGoes) {
    for (int row = 0; row < 12; ++row) {
        const bool three = row % 2 != 0;
        const int into = row / 4; // the caller's output, a handle, a `>` file
        options = CMDKIT_START_OPTIONS_INIT;
        options.errors.kind = row / 2 % 2 != 0 ? CMDKIT_STREAM_TO_OUTPUT : CMDKIT_STREAM_DEFAULT;
        std::FILE *file = std::fopen("into", "wb");
#ifdef _WIN32
        const intptr_t handle = _get_osfhandle(_fileno(file));
        HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
        SetStdHandle(STD_OUTPUT_HANDLE, into == 0 ? reinterpret_cast<HANDLE>(handle) : output);
#else
        const intptr_t handle = fileno(file);
        const int output = dup(1);
        dup2(into == 0 ? fileno(file) : output, 1);
#endif
        if (into == 1)
            options.output = cmdkit_stream{CMDKIT_STREAM_HANDLE, handle};
        const std::string line = std::string(three ? "argv_echo --child errors y | " : "") +
                                 "argv_echo --child errors x | argv_echo --child lines 1 z" +
                                 (into == 2 ? " > into" : "");
        const run_outcome ran = run(line, row / 2 % 2 != 0 ? 0u : CMDKIT_START_ERRORS_TO_OUTPUT);
#ifdef _WIN32
        SetStdHandle(STD_OUTPUT_HANDLE, output);
#else
        dup2(output, 1), close(output);
#endif
        std::fclose(file);
        std::string text = read_all(scratch.path() / "into");
        std::sort(text.begin(), text.end());
        EXPECT_EQ(text, three ? "\n\n\n 0xyz" : "\n\n 0xz") << row << ran.failure.message;
    }
}

#ifndef _WIN32
// A wait in one thread beside a stop or a kill in another, while a third
// opens and closes descriptors that would take any number closed under a
// poll: every wait, with a limit or without, is back within a second of
// the pipeline's end, and so is every stop.
TEST_F(Pipelines, AWaitBesideAStopOrAKillIsBackWithTheEnd) {
    using clock = std::chrono::steady_clock;
    std::atomic<bool> done{false};
    std::thread churn([&done] {
        for (int ends[2]; !done;)
            if (pipe(ends) == 0)
                close(ends[0]), close(ends[1]);
    });
    for (int round = 0; round < 2000 && !HasFailure(); ++round) {
        cmdkit_process *process = started("argv_echo --child sleep");
        clock::time_point waited{};
        std::thread waiter(
            [&] { cmdkit_wait(process, round & 2 ? 30000 : -1), waited = clock::now(); });
        std::this_thread::sleep_for(std::chrono::microseconds(round % 7 * 150));
        EXPECT_GE(round % 2 == 0 ? cmdkit_kill(process) : cmdkit_stop(process, 0), 0);
        const clock::time_point ended = clock::now();
        waiter.join();
        EXPECT_LT(waited - ended, std::chrono::seconds(1)) << "round " << round;
        cmdkit_free_process(process);
    }
    done = true;
    churn.join();
}
#endif

// A standard stream the caller lacks is the null device to the commands
// (`copy` fails on anything it cannot read), and stays absent afterwards.
TEST_F(Pipelines, AbsentStandardStreamsAreTheNullDevice) {
#ifdef _WIN32
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_INPUT_HANDLE, INVALID_HANDLE_VALUE);
    SetStdHandle(STD_OUTPUT_HANDLE, nullptr);
    const run_outcome ran = run("argv_echo --child copy | argv_echo --child copy");
    SetStdHandle(STD_INPUT_HANDLE, input);
    SetStdHandle(STD_OUTPUT_HANDLE, output);
    EXPECT_EQ(ran.result, 0);
    EXPECT_EQ(ran.status.state, CMDKIT_EXIT_EXITED);
    EXPECT_EQ(ran.status.code, 0u);
#else
    const pid_t child = fork();
    if (child == 0) {
        close(0);
        close(1);
        cmdkit_set_trace(nullptr, nullptr);
        cmdkit_exit status{};
        const bool ran = cmdkit_run("argv_echo --child copy | argv_echo --child copy > out",
                                    nullptr, 60000, &status, nullptr) == 0;
        _exit(ran && status.code == 0 && fcntl(0, F_GETFD) == -1 && fcntl(1, F_GETFD) == -1 ? 0
                                                                                            : 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
#endif
}

#ifdef _WIN32
extern "C" int cmdkit_refuse_stream_copy;
#endif

// A caller's stream that cannot be copied fails the start; it is never
// taken for a closed one and replaced by the null device.  On POSIX every
// start with few descriptors left either fails with its stage or delivers
// both lines; Windows cannot run out of handles under Wine, so a seam
// refuses the copy there.
TEST_F(Pipelines, AStreamThatCannotBeCopiedFailsTheStart) {
#ifdef _WIN32
    cmdkit_refuse_stream_copy = 1;
    const run_outcome failed = run("argv_echo --child lines 1 x");
    cmdkit_refuse_stream_copy = 0;
    EXPECT_EQ(failed.result, -1);
    EXPECT_EQ(failed.failure.stage, CMDKIT_FAILED_SYSTEM);
    EXPECT_EQ(failed.failure.error, EMFILE);
#elif defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizers' runtime needs descriptors of its own";
#else
    // Past the standard three, one descriptor is all a start needs when the
    // caller's input is closed (the null device) or its own errors stream
    // is handed on (one copy).
    enum variant { null_input, input_closed, errors_handle };
    for (rlim_t limit = 3; limit <= 10; ++limit) {
        for (const variant how : {null_input, input_closed, errors_handle}) {
            SCOPED_TRACE("limit " + std::to_string(limit) + ", variant " + std::to_string(how));
            const pid_t child = fork();
            if (child == 0) {
                closefrom(3);
                if (how == input_closed)
                    close(0);
                const int out = open("out", O_WRONLY | O_CREAT | O_TRUNC, 0600);
                const int err = open("err", O_WRONLY | O_CREAT | O_TRUNC, 0600);
                const rlimit few{limit, limit};
                if (dup2(out, 1) != 1 || dup2(err, 2) != 2 || close(out) != 0 || close(err) != 0 ||
                    setrlimit(RLIMIT_NOFILE, &few) != 0)
                    _exit(2);
                cmdkit_set_trace(nullptr, nullptr);
                if (how == errors_handle)
                    options.errors = cmdkit_stream{CMDKIT_STREAM_HANDLE, 2};
                const run_outcome ran = run("argv_echo --child both line",
                                            how == null_input ? CMDKIT_START_NULL_INPUT : 0);
                if (ran.result == 0)
                    _exit(ran.status.code == 0 ? 0 : 3);
                _exit(ran.failure.error == EMFILE ? 100 + ran.failure.stage : 10);
            }
            int status = -1;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            ASSERT_TRUE(WIFEXITED(status));
            if (WEXITSTATUS(status) == 0) {
                EXPECT_EQ(read_all(scratch.path() / "out"), "line\n");
                EXPECT_EQ(read_all(scratch.path() / "err"), "line\n");
            } else {
                EXPECT_TRUE(limit < 4 || how == null_input) << "a start that needs one more";
                EXPECT_EQ(WEXITSTATUS(status), 100 + CMDKIT_FAILED_SYSTEM);
            }
        }
    }
#endif
}

// Exactly the given entries, and nothing added (Wine adds its own few);
// the environment's PATH, spelled `Path` on Windows, finds the program.
TEST_F(Pipelines, AGivenEnvironmentIsWhatTheCommandsGet) {
    const std::string path = (suffix.empty() ? "PATH=" : "Path=") + child_folder().u8string();
    const char *const environment[] = {"b=2=3", "A=1", path.c_str(), nullptr};
    options.environment = environment;
    scoped_variable no_path("PATH", std::nullopt);
    ASSERT_EQ(run("argv_echo --child env > out").result, 0);
    std::istringstream lines(read_all(scratch.path() / "out"));
    std::vector<std::string> seen;
    for (std::string line; std::getline(lines, line);) {
        if (!running_under_wine() || (line.rfind("System", 0) != 0 && line.rfind("WINE", 0) != 0))
            seen.push_back(line);
    }
    if (suffix.empty())
        EXPECT_EQ(seen, (std::vector<std::string>{"b=2=3", "A=1", path}));
    else // sorted by name without regard to case
        EXPECT_EQ(seen, (std::vector<std::string>{"A=1", "b=2=3", path}));
    // Changes to the caller's own, in order; the PATH they set finds the
    // program.  Windows names ignore case.
    options.environment = nullptr;
    scoped_variable gone("CMDKIT_GONE", "x");
    scoped_variable kept("CMDKIT_KEPT", "y");
    std::string path_change = "path=" + child_folder().u8string();
    const char *changes[] = {"CMDKIT_SET=1", "CMDKIT_SET=2", "cmdkit_gone", path_change.c_str(),
                             nullptr};
    options.environment_changes = changes;
    // On POSIX `path` is no PATH, and there is none.
    ASSERT_EQ(run("argv_echo --child env > out").result, suffix.empty() ? -1 : 0);
    path_change.replace(0, 4, "PATH");
    changes[3] = path_change.c_str();
    ASSERT_EQ(run("argv_echo --child env > out").result, 0);
    const std::string changed = "\n" + read_all(scratch.path() / "out");
    EXPECT_NE(changed.find("\nCMDKIT_SET=2\n"), std::string::npos);
    EXPECT_EQ(changed.find("\nCMDKIT_SET=1\n"), std::string::npos);
    EXPECT_NE(changed.find("\nCMDKIT_KEPT=y\n"), std::string::npos);
    EXPECT_NE(changed.find("\n" + path_change + "\n"), std::string::npos);
    EXPECT_EQ(changed.find("\nCMDKIT_GONE=x\n") == std::string::npos, !suffix.empty());
    options.environment_changes = nullptr;
    // Which of two entries of one name would count is the system's guess;
    // forty of one name are sorted for the search without a fault.
    std::vector<const char *> twice(40, "FOO=bad");
    twice[1] = path.c_str();
    twice.push_back(nullptr);
    options.environment = twice.data();
    const run_outcome refused = run("argv_echo --child env");
    EXPECT_EQ(refused.result, -1);
    EXPECT_EQ(refused.failure.stage, CMDKIT_FAILED_REQUEST);
    EXPECT_STREQ(refused.failure.message, "Refused: two environment entries named FOO.");
}

// The changes applied one by one, as the simplest reading of them: a set
// replaces every entry of its name at the place of the first, or goes to
// the end; a removal removes them all.
std::vector<const char *> null_ended(const std::vector<std::string> &texts) {
    std::vector<const char *> list;
    for (const std::string &text : texts)
        list.push_back(text.c_str());
    list.push_back(nullptr);
    return list;
}

std::vector<std::string> applied_one_by_one(std::vector<std::string> entries,
                                            const std::vector<std::string> &changes) {
    const auto name_of = [](std::string text) { // Windows names ignore case: N1 is n1
        text = text.substr(0, text.find('='));
        text[0] = suffix.empty() ? text[0] : 'N';
        return text;
    };
    for (const std::string &change : changes) {
        const auto same = [&](const std::string &entry) {
            return name_of(entry) == name_of(change);
        };
        const auto first = std::find_if(entries.begin(), entries.end(), same) - entries.begin();
        entries.erase(std::remove_if(entries.begin(), entries.end(), same), entries.end());
        if (change.find('=') != std::string::npos)
            entries.insert(entries.begin() + std::min<ptrdiff_t>(first, entries.size()), change);
    }
    return entries;
}

// However many changes over however many names, the environment comes out
// as applying them one by one would (on Windows names ignore case); and
// 100,000 changes over 1,000 names cost a start no more than two seconds.
TEST_F(Pipelines, EnvironmentChangesComeOutAsAppliedOneByOne) {
    std::mt19937 random(20261209u);
    for (int round = 0; round < 50; ++round) {
        std::vector<std::string> base, changes;
        for (unsigned k = 0; k < 20; ++k)
            base.push_back("N" + std::to_string(k * 2) + "=base");
        for (int i = 0; i < 60; ++i) {
            const std::string name =
                (!suffix.empty() && random() % 2 == 0 ? "n" : "N") + std::to_string(random() % 30);
            changes.push_back(random() % 3 == 0 ? name : name + "=" + std::to_string(i));
        }
        const std::vector<const char *> given = null_ended(base), asked = null_ended(changes);
        options.environment = given.data();
        options.environment_changes = asked.data();
        cmdkit::internal::start_plan plan;
        cmdkit::internal::merge_environment(options, plan);
        std::vector<std::string> merged;
        for (const char *const *entry = plan.environment; *entry != nullptr; ++entry)
            merged.push_back(*entry);
        std::free(plan.merged);
        ASSERT_EQ(merged, applied_one_by_one(base, changes)) << "round " << round;
    }
    std::vector<std::string> many;
    for (unsigned i = 0; i < 100000; ++i)
        many.push_back("CMDKIT_MANY_" + std::to_string(i * 7919 % 1000) + "=" + std::to_string(i));
    const std::vector<const char *> asked = null_ended(many);
    options.environment = nullptr;
    options.environment_changes = asked.data();
    const auto begun = std::chrono::steady_clock::now();
    EXPECT_EQ(run("argv_echo --child exit 0").result, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(2));
}

// Wine accepts wrong handle lists, so only this table catches them.
TEST(HandleList, HoldsEachRealHandleOnceAndTheNullDeviceForAbsentOnes) {
    using cmdkit::internal::build_handle_list;
    const uintptr_t absent = static_cast<uintptr_t>(-1);
    const struct {
        uintptr_t standard[3];
        std::vector<uintptr_t> handles;
        size_t slot[3];
    } rows[] = {
        {{8, 12, 16}, {8, 12, 16}, {0, 1, 2}},
        {{8, 12, 12}, {8, 12}, {0, 1, 1}},
        {{0, 12, absent}, {99, 12}, {0, 1, 0}},
        {{static_cast<uintptr_t>(-2), static_cast<uintptr_t>(-6), 8}, {99, 8}, {0, 0, 1}},
        {{static_cast<uintptr_t>(-7), 8, 8}, {static_cast<uintptr_t>(-7), 8}, {0, 1, 1}},
    };
    for (const auto &row : rows) {
        const cmdkit::internal::handle_list list = build_handle_list(row.standard, 99);
        EXPECT_EQ(std::vector<uintptr_t>(list.handles, list.handles + list.count), row.handles);
        for (size_t i = 0; i < 3; ++i)
            EXPECT_EQ(list.slot[i], row.slot[i]) << i;
    }
}

#ifdef _WIN32
extern "C" int cmdkit_refuse_job_assignment;

// Where the system refuses a job, the pipeline runs without one and the kill
// goes command by command.
TEST_F(Pipelines, WithoutAJobTheKillGoesCommandByCommand) {
    cmdkit_refuse_job_assignment = 1;
    testing_support::captured_trace trace;
    options.flags = CMDKIT_START_TRACE;
    cmdkit_process *process = started("argv_echo --child sleep | argv_echo --child copy");
    // A capture, which promises to contain its pipeline, does not start.
    cmdkit_captured result = CMDKIT_CAPTURED_INIT;
    cmdkit_failure failure = CMDKIT_FAILURE_INIT;
    EXPECT_EQ(cmdkit_capture("argv_echo --child exit 0", nullptr, nullptr, 0, 0, 60000, &result,
                             &failure),
              -1);
    EXPECT_EQ(failure.stage, CMDKIT_FAILED_SYSTEM);
    cmdkit_refuse_job_assignment = 0;
    EXPECT_EQ(cmdkit_contained(process), 0);
    EXPECT_NE(trace.text.find("without a job"), std::string::npos);
    EXPECT_EQ(cmdkit_kill(process), 0);
    EXPECT_EQ(cmdkit_wait(process, 30000), 0);
    cmdkit_exit exit{};
    EXPECT_EQ(cmdkit_exit_status(process, 0, &exit), 0);
    EXPECT_EQ(exit.state, CMDKIT_EXIT_KILLED);
    EXPECT_EQ(exit.code, 1u);
    cmdkit_free_process(process);
}

// A program in a CJK folder writes to an emoji file name, from a program
// without a UTF-8 manifest; and ten hostile vectors reach a batch file's
// program through a pipeline without running the canary.
TEST_F(Pipelines, UnicodeNamesAndHostileBatchArgumentsArriveExactly) {
    fs::create_directories(scratch.path() / fs::u8path("工具"));
    fs::copy_file(child_folder() / "argv_echo.exe", scratch.path() / fs::u8path("工具/cjk.exe"));
    scoped_variable cjk("PATH", scratch.path().u8string() + "\\工具");
    ASSERT_EQ(run("cjk --child lines 1 X > 😀.txt").result, 0);
    EXPECT_EQ(read_all(scratch.path() / fs::u8path("😀.txt")), "X 0\n");
    const std::vector<std::string> batches = write_batch_files(scratch.path());
    testing_support::captured_trace quiet;
    vector_generator generate(20261209u, vector_generator::kind::hostile);
    generate.with_percent = !running_under_wine();
    for (int i = 0; i < 10; ++i) {
        arguments argv = generate.next(i);
        std::vector<char *> first = {const_cast<char *>(batches[0].c_str())};
        for (std::string &argument : argv)
            first.push_back(argument.data());
        first.push_back(nullptr);
        std::string copy_name = "argv_echo";
        char *second[] = {copy_name.data(), const_cast<char *>("--child"),
                          const_cast<char *>("copy"), nullptr};
        char **commands[] = {first.data(), second, nullptr};
        std::string out = "out";
        cmdkit_pipeline pipeline{sizeof pipeline, commands, 2, nullptr, out.data(), 0};
        scoped_variable bin("PATH", child_folder().u8string());
        ASSERT_EQ(cmdkit_run_pipeline(&pipeline, nullptr, 60000, nullptr, nullptr), 0);
        ASSERT_FALSE(fs::exists(scratch.path() / "canary-ran"));
        arguments echoed = read_report(read_all(scratch.path() / "out")).argv;
        echoed.erase(echoed.begin());
        const bool holds_quote = std::any_of(
            argv.begin(), argv.end(), [](auto &a) { return a.find('"') != std::string::npos; });
        if (!holds_quote) { // the old msvcrt.dll splits those, as the header says
            EXPECT_EQ(echoed, argv) << shown(echoed);
        }
    }
}
#endif

// What a descendant keeps open is read until the limit, then the kill ends
// it where the pipeline is contained; with a `>` target the output ends at
// once.
TEST_F(Pipelines, CapturedOutputEndsByTheLimitOrTheKill) {
    const int descriptors = open_descriptors();
    const int inheritable = inheritable_descriptors();
    cmdkit_start_options capturing = CMDKIT_START_OPTIONS_INIT;
    capturing.flags = CMDKIT_START_CAPTURE_OUTPUT | CMDKIT_START_NEW_GROUP;
    cmdkit_process *process = started("argv_echo --child spawn-sleeper 0", &capturing);
    // A program the caller starts itself inherits nothing of the pipeline.
    EXPECT_EQ(inheritable_descriptors(), inheritable);
    char buffer[64];
    EXPECT_GT(cmdkit_read_output(process, buffer, sizeof buffer, 30000), 0);
    EXPECT_EQ(cmdkit_wait(process, 30000), 0);
    EXPECT_TRUE(fails_with(
        ETIMEDOUT, [&] { return cmdkit_read_output(process, buffer, sizeof buffer, 500); }));
    // A limit of 0 is a look: nothing there, ETIMEDOUT at once.
    const auto looked = std::chrono::steady_clock::now();
    EXPECT_TRUE(fails_with(ETIMEDOUT,
                           [&] { return cmdkit_read_output(process, buffer, sizeof buffer, 0); }));
    EXPECT_LT(std::chrono::steady_clock::now() - looked, std::chrono::seconds(5));
    EXPECT_EQ(cmdkit_contained(process), 1);
    EXPECT_EQ(cmdkit_kill(process), 0);
    EXPECT_EQ(cmdkit_read_output(process, buffer, sizeof buffer, 30000), 0);
    cmdkit_free_process(process);
    process = started("argv_echo --child lines 1 x > out", &capturing);
    EXPECT_EQ(cmdkit_read_output(process, buffer, sizeof buffer, 0), 0);
    EXPECT_TRUE(fails_with(EINVAL, [&] { return cmdkit_read_output(process, buffer, 0, 0); }))
        << "0 would mean the end";
    cmdkit_free_process(process);
    EXPECT_EQ(open_descriptors(), descriptors);
#ifndef _WIN32
    // A signal handled meanwhile does not end the read.
    struct sigaction handler {
    }, previous{};
    handler.sa_handler = [](int) {};
    sigaction(SIGALRM, &handler, &previous);
    process = started("/bin/sh -c \"/bin/sleep 0.3; echo late\"", &capturing);
    itimerval soon{{0, 0}, {0, 100000}};
    setitimer(ITIMER_REAL, &soon, nullptr);
    EXPECT_GT(cmdkit_read_output(process, buffer, sizeof buffer, -1), 0) << "no limit";
    cmdkit_free_process(process);
    const itimerval never{};
    setitimer(ITIMER_REAL, &never, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
#endif
}

// The pattern argv_echo's `produce` writes: 'a' + i % 26 in each 64 KiB.
bool is_pattern(const char *text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (text[i] != 'a' + static_cast<char>(i % 65536 % 26))
            return false;
    }
    return true;
}

// Input, output and errors move together: a command writing 4 MiB of
// errors before it reads any of its 8 MiB of input blocks no side.  The
// errors go apart, with the output, or nowhere; without input the command
// reads the null device; one that stops reading early is no failure.
TEST_F(Pipelines, ACaptureMovesInputOutputAndErrorsTogether) {
    std::string input(8 << 20, '\0');
    for (size_t i = 0; i < input.size(); ++i)
        input[i] = static_cast<char>(i * 7 % 251);
    cmdkit_captured result = CMDKIT_CAPTURED_INIT;
    cmdkit_failure failure = CMDKIT_FAILURE_INIT;
    ASSERT_EQ(cmdkit_capture("argv_echo --child copy 4194304", nullptr, input.data(), input.size(),
                             0, 120000, &result, &failure),
              0)
        << failure.message;
    EXPECT_TRUE(std::string(result.output, result.output_length) == input);
    EXPECT_EQ(result.errors_length, 4194304u);
    EXPECT_TRUE(is_pattern(result.errors, result.errors_length));
    EXPECT_EQ(result.status.state, CMDKIT_EXIT_EXITED);
    EXPECT_EQ(result.timed_out + result.truncated, 0);
    cmdkit_clear_captured(&result);
    EXPECT_EQ(result.output, nullptr);
    const struct {
        int errors;
        unsigned flags;
        const char *line, *output, *errors_text; // null: the errors went elsewhere
        const char *input;
    } rows[] = {
        {CMDKIT_STREAM_DEFAULT, 0, "argv_echo --child both x", "x\n", "x\n", nullptr},
        {CMDKIT_STREAM_TO_OUTPUT, 0, "argv_echo --child both x", "x\nx\n", nullptr, nullptr},
        {CMDKIT_STREAM_DEFAULT, CMDKIT_START_ERRORS_TO_OUTPUT, "argv_echo --child both x", "x\nx\n",
         nullptr, nullptr},
        {CMDKIT_STREAM_NULL, 0, "argv_echo --child both x", "x\n", nullptr, nullptr},
        {CMDKIT_STREAM_DEFAULT, 0, "argv_echo --child copy", "", "", nullptr},
        {CMDKIT_STREAM_DEFAULT, 0, "argv_echo --child exit 0", "", "", input.c_str()},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.line);
        cmdkit_start_options capturing = CMDKIT_START_OPTIONS_INIT;
        capturing.errors.kind = row.errors;
        capturing.flags = row.flags;
        capturing.grace_ms = LONG_MAX; // no deadline arithmetic overflows
        const size_t length = row.input != nullptr ? input.size() : 0;
        ASSERT_EQ(
            cmdkit_capture(row.line, &capturing, row.input, length, 0, LONG_MAX, &result, nullptr),
            0);
        EXPECT_EQ(std::string(result.output, result.output_length), row.output);
        EXPECT_EQ(result.errors != nullptr, row.errors_text != nullptr);
        if (result.errors != nullptr) {
            EXPECT_EQ(std::string(result.errors), row.errors_text);
        }
        EXPECT_EQ(result.status.code, 0u);
        cmdkit_clear_captured(&result);
    }
}

// A grandchild holding the pipes after its parent ended: the capture is
// back at its deadline and the grandchild is killed with the group or job.
// An endless writer is stopped at the bound, with the first bytes kept.
TEST_F(Pipelines, ACaptureEndsAtItsDeadlineOrItsBound) {
    cmdkit_captured result = CMDKIT_CAPTURED_INIT;
    const auto begun = std::chrono::steady_clock::now();
    ASSERT_EQ(cmdkit_capture("argv_echo --child spawn-sleeper 0", nullptr, nullptr, 0, 0, 1000,
                             &result, nullptr),
              1);
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(15));
    EXPECT_EQ(result.timed_out, 1);
    EXPECT_EQ(result.truncated, 0);
    EXPECT_EQ(result.status.state, CMDKIT_EXIT_EXITED);
    EXPECT_TRUE(ends_soon(std::stoul(result.output)));
    cmdkit_clear_captured(&result);
    ASSERT_EQ(cmdkit_capture("argv_echo --child produce 1000000000000", nullptr, nullptr, 0, 100000,
                             60000, &result, nullptr),
              1);
    EXPECT_EQ(result.truncated, 1);
    EXPECT_EQ(result.timed_out, 0);
    EXPECT_EQ(result.status.state, CMDKIT_EXIT_KILLED);
    ASSERT_EQ(result.output_length, 100000u);
    EXPECT_TRUE(is_pattern(result.output, result.output_length));
    EXPECT_EQ(result.errors_length, 0u);
    cmdkit_clear_captured(&result);
    // The bound holds exactly: as many bytes as it keeps are no truncation.
    ASSERT_EQ(cmdkit_capture("argv_echo --child produce 70000", nullptr, nullptr, 0, 70000, 60000,
                             &result, nullptr),
              0);
    EXPECT_EQ(result.output_length, 70000u);
    cmdkit_clear_captured(&result);
#ifndef _WIN32
    // Whoever takes the statuses makes the wait fail: -1, and nothing to free.
    signal(SIGCHLD, SIG_IGN);
    cmdkit_failure failure = CMDKIT_FAILURE_INIT;
    EXPECT_EQ(cmdkit_capture("argv_echo --child exit 0", nullptr, nullptr, 0, 0, 60000, &result,
                             &failure),
              -1);
    signal(SIGCHLD, SIG_DFL);
    EXPECT_EQ(result.output, nullptr);
    EXPECT_STREQ(failure.message, "Waiting for the pipeline failed: No child processes.");
#endif
}

// Writing and reading in turn, each with a short wait, 8 MiB go through a
// command that writes 100,000 bytes of errors before it reads; what is
// still being written when the input closes reaches it; a write after the
// close, or to a command that has ended, fails without a signal.
TEST_F(Pipelines, InputIsWrittenWhileOutputAndErrorsAreRead) {
    options.input.kind = options.output.kind = options.errors.kind = CMDKIT_STREAM_PIPE;
    cmdkit_process *process = started("argv_echo --child copy 100000");
    std::string input(8 << 20, '\0');
    for (size_t i = 0; i < input.size(); ++i)
        input[i] = static_cast<char>(i % 253);
    std::string read[3];
    char buffer[65536];
    int from = 0;
    for (size_t written = 0;;) {
        const ptrdiff_t taken =
            written < input.size()
                ? cmdkit_write_input(process, &input[written], input.size() - written, 10)
                : 0;
        ASSERT_TRUE(taken >= 0 || errno == ETIMEDOUT);
        written += static_cast<size_t>(std::max<ptrdiff_t>(taken, 0));
        if (taken > 0 && written == input.size()) {
            ASSERT_EQ(cmdkit_close_input(process) + cmdkit_close_input(process), 0);
        }
        const ptrdiff_t count = cmdkit_read_ready(process, buffer, sizeof buffer, 10, &from);
        ASSERT_TRUE(count >= 0 || errno == ETIMEDOUT);
        if (count == 0)
            break;
        read[from].append(buffer, static_cast<size_t>(std::max<ptrdiff_t>(count, 0)));
    }
    EXPECT_TRUE(read[1] == input);
    EXPECT_EQ(read[2].size(), 100000u);
    EXPECT_EQ(cmdkit_wait(process, 60000), 0);
    EXPECT_TRUE(fails_with(EINVAL, [&] { return cmdkit_write_input(process, "x", 1, 0); }));
    cmdkit_free_process(process);

    // Both pipes full at once: the errors there first wait behind one read
    // of the output at most, and the other way round.
    process = started("argv_echo --child copy 100");
    ASSERT_EQ(cmdkit_write_input(process, input.data(), 60000, 60000), 60000);
    ASSERT_EQ(cmdkit_close_input(process), 0);
    ASSERT_EQ(cmdkit_wait(process, 60000), 0);
    std::string sides;
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(cmdkit_read_ready(process, buffer, 10, 60000, &from), 10);
        sides += static_cast<char>('0' + from);
    }
    EXPECT_EQ(sides, "1212");
    cmdkit_free_process(process);

    // A write with a limit of 0 takes what fits and is back, even while the
    // command reads as fast as it can.
    options.output.kind = options.errors.kind = CMDKIT_STREAM_NULL;
    process = started("argv_echo --child copy");
    const std::string plenty(64 << 20, 'p');
    const ptrdiff_t taken = cmdkit_write_input(process, plenty.data(), plenty.size(), 0);
    EXPECT_TRUE(taken < static_cast<ptrdiff_t>(plenty.size()) && (taken > 0 || errno == ETIMEDOUT))
        << taken;
    cmdkit_free_process(process);

    options.output.kind = options.errors.kind = CMDKIT_STREAM_DEFAULT;
    process = started("argv_echo --child exit 0");
    ASSERT_EQ(cmdkit_wait(process, 60000), 0);
    EXPECT_TRUE(fails_with(EINVAL, [&] { return cmdkit_write_input(process, "x", 0, 0); }))
        << "nothing to write";
    ptrdiff_t count = 1;
    for (int i = 0; i < 100 && count > 0; ++i)
        count = cmdkit_write_input(process, input.data(), input.size(), 10000);
    EXPECT_EQ(count, -1);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_EQ(cmdkit_read_ready(process, buffer, sizeof buffer, 0, &from), -1);
    EXPECT_EQ(cmdkit_read_errors(process, buffer, sizeof buffer, 0), -1);
    EXPECT_EQ(errno, EINVAL);
    cmdkit_free_process(process);
}

// A caller's own handle as the output: the commands write to a copy, and
// the caller's stays open and its own.
TEST_F(Pipelines, ACallersHandleIsCopiedAndStaysTheCallers) {
    std::FILE *own = std::fopen("own", "wb");
#ifdef _WIN32
    options.output = cmdkit_stream{CMDKIT_STREAM_HANDLE, _get_osfhandle(_fileno(own))};
#else
    options.output = cmdkit_stream{CMDKIT_STREAM_HANDLE, fileno(own)};
#endif
    EXPECT_EQ(run("argv_echo --child lines 1 x").result, 0);
    EXPECT_TRUE(std::fputs("after\n", own) >= 0 && std::fclose(own) == 0);
    EXPECT_EQ(read_all(scratch.path() / "own"), "x 0\nafter\n");
}

// One request, one meaning: what is unclear is refused before anything is
// opened or started, with its stage, errno and one message (here a part of
// it).  The streams are given as kinds of input, output and errors.
TEST_F(Pipelines, UnclearRequestsAreRefused) {
    enum how { start, run, capture };
    constexpr int N = CMDKIT_STREAM_NULL, P = CMDKIT_STREAM_PIPE, H = CMDKIT_STREAM_HANDLE;
    constexpr unsigned null_input = CMDKIT_START_NULL_INPUT;
    const struct {
        how via;
        const char *line;
        unsigned flags;
        int input, output, errors;
        const char *message;
        const char *bytes = nullptr; // a capture's input
        size_t length = 0;
        long timeout_ms = 60000;
        int error = EINVAL;
        intptr_t handle = 999; // never open
        const char *change = nullptr;
        size_t size = sizeof(cmdkit_start_options);
        int index = -1; // the command named, which is then left empty
    } rows[] = {
        {start, "argv_echo | argv_echo", 0, 0, 0, 0,
         "command 2 is empty: its argument vector has no entry 0.", nullptr, 0, 0, EINVAL, 999,
         nullptr, sizeof(cmdkit_start_options), 1},
        {run, "argv_echo", 0, 0, 0, 0,
         "start options of size 0; start them from CMDKIT_START_OPTIONS_INIT.", nullptr, 0, 0,
         EINVAL, 999, nullptr, 0},
        {run, "argv_echo", 0, P, 0, 0, "a pipe in a run"},
        {run, "argv_echo", 0, 0, 0, P, "a pipe in a run"},
        {start, "argv_echo", 0, CMDKIT_STREAM_TO_OUTPUT, 0, 0, "an input stream of a kind it"},
        {start, "argv_echo", 0, 0, 9, 0, "an output stream of a kind it"},
        {start, "argv_echo", null_input, N, 0, 0, "an input stream together with"},
        {start, "argv_echo < in", 0, N, 0, 0, "an input stream together with"},
        {start, "argv_echo", CMDKIT_START_CAPTURE_OUTPUT, 0, P, 0, "an output stream together"},
        {start, "argv_echo > out", 0, 0, N, 0, "an output stream together with"},
        {start, "argv_echo", CMDKIT_START_ERRORS_TO_OUTPUT, 0, 0, P, "an errors stream together"},
        {start, "argv_echo", 0, 0, H, 0, "the output handle is not open", nullptr, 0, 0, EBADF},
#ifdef _WIN32
        {start, "argv_echo", 0, H, 0, 0, "the input handle is a pseudo", nullptr, 0, 0, EINVAL, -2},
#endif
        {start, "argv_echo", 0, 0, 0, 0, "an environment change without", nullptr, 0, 0, EINVAL, 0,
         ""},
        {capture, "argv_echo > out", 0, 0, 0, 0, "an output file in a capture"},
        {capture, "argv_echo", 0, 0, N, 0, "an output stream or flag in a capture"},
        {capture, "argv_echo", CMDKIT_START_CAPTURE_OUTPUT, 0, 0, 0, "an output stream or flag"},
        {capture, "argv_echo", 0, P, 0, 0, "an input pipe in a capture"},
        {capture, "argv_echo < in", 0, 0, 0, 0, "input from memory and an input file", "x", 1},
        {capture, "argv_echo", null_input, 0, 0, 0, "input from memory and an input stream", "x",
         1},
        {capture, "argv_echo", 0, N, 0, 0, "input from memory and an input stream", "x", 1},
        {capture, "argv_echo", 0, 0, 0, 0, "an input length without input", nullptr, 3},
        {capture, "argv_echo", 0, 0, 0, 0, "a time limit that is neither", nullptr, 0, 0},
    };
    std::ofstream(scratch.path() / "in") << "x\n";
    const int descriptors = open_descriptors();
    for (const auto &row : rows) {
        SCOPED_TRACE(row.message);
        cmdkit_start_options asked = CMDKIT_START_OPTIONS_INIT;
        asked.flags = row.flags;
        asked.input = cmdkit_stream{row.input, row.handle};
        asked.output = cmdkit_stream{row.output, row.handle};
        asked.errors = cmdkit_stream{row.errors, row.handle};
        const char *changes[] = {row.change, nullptr};
        asked.environment_changes = row.change != nullptr ? changes : nullptr;
        asked.size = row.size;
        cmdkit_failure failure = CMDKIT_FAILURE_INIT;
        testing_support::captured_trace trace;
        cmdkit_captured captured = CMDKIT_CAPTURED_INIT;
        cmdkit_pipeline pipeline = CMDKIT_PIPELINE_INIT;
        cmdkit_parse_pipeline(row.line, &pipeline);
        trace.text.clear();
        char *program = row.index >= 0 ? pipeline.commands[row.index][0] : nullptr;
        if (row.index >= 0)
            pipeline.commands[row.index][0] = nullptr;
        cmdkit_process *process = nullptr;
        const int result =
            row.via == capture ? cmdkit_capture_pipeline(&pipeline, &asked, row.bytes, row.length,
                                                         0, row.timeout_ms, &captured, &failure)
            : row.via == run   ? cmdkit_run_pipeline(&pipeline, &asked, 60000, nullptr, &failure)
                               : cmdkit_start(&pipeline, &asked, &process, &failure);
        if (row.index >= 0)
            pipeline.commands[row.index][0] = program;
        cmdkit_clear_pipeline(&pipeline);
        EXPECT_EQ(result, -1);
        EXPECT_EQ(captured.output, nullptr);
        EXPECT_EQ(failure.stage, CMDKIT_FAILED_REQUEST);
        EXPECT_EQ(failure.index, row.index);
        EXPECT_EQ(failure.error, row.error);
        EXPECT_EQ(std::string(failure.message).find(std::string("Refused: ") + row.message), 0u)
            << failure.message;
        EXPECT_EQ(trace.text, "");
        EXPECT_FALSE(fs::exists(scratch.path() / "out"));
        EXPECT_EQ(open_descriptors(), descriptors);
    }
}

// A failure is said once: with a report, only there; without one, to the
// sink as one line; with CMDKIT_START_TRACE (cmdkit-run -v sets it) after
// the traces.  A run that succeeds says nothing.
TEST_F(Pipelines, ASuccessIsQuietAndAFailureIsSaidOnce) {
    const struct {
        const char *line;
        bool report;
        unsigned flags;
        const char *said; // the end of what the sink got
    } rows[] = {
        {"argv_echo --child exit 0 | argv_echo --child exit 0", false, 0, ""},
        {"argv_echo | missing", false, 0, "Command 2 (missing): not found.\n"},
        {"argv_echo | missing", true, 0, ""},
        {"argv_echo | missing", true, CMDKIT_START_TRACE, "\nCommand 2 (missing): not found.\n"},
        {"argv_echo |", false, 0, "No command name seen.\n"},
        {"argv_echo |", true, CMDKIT_START_TRACE, "\nNo command name seen."},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.line);
        options.flags = row.flags;
        cmdkit_failure failure = CMDKIT_FAILURE_INIT;
        testing::internal::CaptureStderr();
        cmdkit_run(row.line, &options, 60000, nullptr, row.report ? &failure : nullptr);
        const std::string said = testing::internal::GetCapturedStderr();
        const size_t traces =
            row.flags == 0 ? 0 : said.size() - std::min(said.size(), std::strlen(row.said));
        EXPECT_EQ(said.substr(traces), row.said);
    }
}

// A caller built against the first version passes its smaller structs: the
// options' later members are not read (here a pipe a run would refuse),
// and the report is written only as far as it reaches (no message).  A
// size between versions is refused, a report too small left alone, and a
// capture's result smaller than this version's refused.
TEST_F(Pipelines, EarlierVersionsOfTheStructsAreTaken) {
    cmdkit_start_options old = CMDKIT_START_OPTIONS_INIT;
    old.size = offsetof(cmdkit_start_options, input);
    old.flags = CMDKIT_START_PIPEFAIL;
    old.input.kind = CMDKIT_STREAM_PIPE;
    cmdkit_failure report = CMDKIT_FAILURE_INIT;
    report.size = offsetof(cmdkit_failure, message);
    report.message[0] = 'x';
    testing_support::captured_trace quiet;
    cmdkit_exit status{};
    EXPECT_EQ(cmdkit_run("argv_echo --child exit 3 | argv_echo --child exit 0", &old, 60000,
                         &status, &report),
              0);
    EXPECT_EQ(status.code, 3u);
    EXPECT_EQ(cmdkit_run("missing", &old, 60000, &status, &report), -1);
    EXPECT_EQ(report.stage, CMDKIT_FAILED_FIND);
    EXPECT_EQ(report.message[0], 'x');
    old.size += sizeof(void *);
    EXPECT_EQ(cmdkit_run("argv_echo", &old, 60000, &status, &report), -1);
    EXPECT_EQ(report.stage, CMDKIT_FAILED_REQUEST);
    report.size -= 1;
    report.stage = 0;
    EXPECT_TRUE(fails_with(
        EINVAL, [&] { return cmdkit_run("missing", nullptr, 60000, &status, &report); }));
    EXPECT_EQ(report.stage, 0);
    cmdkit_captured small = CMDKIT_CAPTURED_INIT;
    small.size -= 1;
    EXPECT_EQ(cmdkit_capture("argv_echo", nullptr, nullptr, 0, 0, 60000, &small, nullptr), -1);
    // The structs cmdkit writes take a later, larger version and are written
    // no further than this version's members: a long message is cut and
    // terminated inside the report, and nothing past either struct changes.
    struct {
        cmdkit_captured result;
        cmdkit_failure failure;
        char after[8];
    } larger{CMDKIT_CAPTURED_INIT, CMDKIT_FAILURE_INIT, "canary!"};
    larger.result.size += sizeof larger.failure;
    larger.failure.size += sizeof larger.after;
    EXPECT_EQ(cmdkit_capture("argv_echo --child lines 1 x", nullptr, nullptr, 0, 0, 60000,
                             &larger.result, nullptr),
              0);
    EXPECT_STREQ(larger.result.output, "x 0\n");
    EXPECT_EQ(larger.failure.stage, 0) << "the capture wrote past its result";
    cmdkit_clear_captured(&larger.result);
    const std::string long_line = "(argv_echo " + std::string(400, 'a') + ")";
    EXPECT_EQ(cmdkit_run(long_line.c_str(), nullptr, 60000, &status, &larger.failure), -1);
    EXPECT_EQ(larger.failure.stage, CMDKIT_FAILED_PARSE);
    EXPECT_EQ(std::strlen(larger.failure.message), sizeof larger.failure.message - 1);
    EXPECT_STREQ(larger.after, "canary!");
}

// One program from a vector in one call: input in, output and errors apart,
// its exit; a vector that is null or empty is refused, a program not found
// is the lookup's failure.
TEST_F(Pipelines, OneProgramFromAVectorInOneCall) {
    const char *copy[] = {"argv_echo", "--child", "copy", "5", nullptr};
    cmdkit_captured result = CMDKIT_CAPTURED_INIT;
    cmdkit_failure failure = CMDKIT_FAILURE_INIT;
    ASSERT_EQ(cmdkit_capture_argv(copy, nullptr, "in\0put", 6, 0, 60000, &result, &failure), 0)
        << failure.message;
    EXPECT_EQ(std::string(result.output, result.output_length), std::string("in\0put", 6));
    EXPECT_STREQ(result.errors, "abcde");
    cmdkit_clear_captured(&result);
    const char *three[] = {"argv_echo", "--child", "exit", "3", nullptr};
    cmdkit_exit status{};
    EXPECT_EQ(cmdkit_run_argv(three, nullptr, 60000, &status, &failure), 0);
    EXPECT_EQ(status.code, 3u);
    const char *missing[] = {"missing", nullptr};
    const char *empty[] = {nullptr};
    const char *const *const refused[] = {nullptr, empty, missing};
    const char *const said[] = {"Refused: no argument vector.",
                                "Refused: an empty argument vector.",
                                "Command 1 (missing): not found."};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(cmdkit_run_argv(refused[i], nullptr, 60000, &status, &failure), -1);
        EXPECT_EQ(failure.stage, i < 2 ? CMDKIT_FAILED_REQUEST : CMDKIT_FAILED_FIND);
        EXPECT_EQ(cmdkit_capture_argv(refused[i], nullptr, nullptr, 0, 0, 60000, &result, &failure),
                  -1);
        EXPECT_STREQ(failure.message, said[i]);
        EXPECT_EQ(result.output, nullptr);
    }
}

// Each state in words, cut as snprintf cuts, with the whole length returned.
TEST(DescribeExit, SaysEachStateAndCutsLikeSnprintf) {
    const bool windows = !suffix.empty();
    const struct {
        cmdkit_exit exit;
        const char *words;
    } rows[] = {
        {{CMDKIT_EXIT_RUNNING, 0}, "still running"},
        {{CMDKIT_EXIT_EXITED, 3}, "exited with 3"},
        {{CMDKIT_EXIT_SIGNALED, 15},
         windows ? "ended by signal 15" : "ended by signal 15 (SIGTERM)"},
        {{CMDKIT_EXIT_SIGNALED, 99}, "ended by signal 99"},
        {{CMDKIT_EXIT_KILLED, 9}, "killed"},
        {{CMDKIT_EXIT_UNKNOWN, 0}, "status unknown: another waiter took it"},
        {{CMDKIT_EXIT_EXITED, 0xC0000005ul},
         windows ? "exited with 0xC0000005 (access violation)" : "exited with 3221225477"},
        {{CMDKIT_EXIT_EXITED, 0xC0000001ul},
         windows ? "exited with 0xC0000001" : "exited with 3221225473"},
        {{7, 0}, "in a state this version does not know (7)"},
    };
    for (const auto &row : rows) {
        char words[64];
        EXPECT_EQ(cmdkit_describe_exit(&row.exit, words, sizeof words), std::strlen(row.words));
        EXPECT_STREQ(words, row.words);
    }
    const cmdkit_exit three{CMDKIT_EXIT_EXITED, 3};
    char cut[6] = "XXXXX";
    EXPECT_EQ(cmdkit_describe_exit(&three, cut, 5) + cmdkit_describe_exit(&three, nullptr, 0), 26u);
    EXPECT_STREQ(cut, "exit");
    EXPECT_TRUE(
        fails_with(EINVAL, [&] { return cmdkit_describe_exit(nullptr, cut, 6) == 0 ? -1 : 0; }));
}

// A stop asks first: a program that traps SIGTERM writes its line and
// keeps its own status, and the call is back once it ended; one that
// ignores it is killed when the grace is over; a grace of 0 kills at once;
// in a group of its own the stop reaches a grandchild whose parent ended.
// Windows has no such request: every stop kills.
TEST_F(Pipelines, AStopAsksFirstAndKillsWhatIsLeft) {
    const bool gentle = suffix.empty();
    const auto seconds_since = [](std::chrono::steady_clock::time_point begun) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
    };
    cmdkit_captured result = CMDKIT_CAPTURED_INIT;
    options.grace_ms = 10000;
    auto begun = std::chrono::steady_clock::now();
    ASSERT_EQ(
        cmdkit_capture("argv_echo --child trap", &options, nullptr, 0, 0, 500, &result, nullptr),
        1);
    EXPECT_LT(seconds_since(begun), 8.0);
    EXPECT_EQ(std::string(result.output), gentle ? "ready\nterm\n" : "ready\n");
    EXPECT_EQ(result.status.state, gentle ? CMDKIT_EXIT_EXITED : CMDKIT_EXIT_KILLED);
    EXPECT_EQ(result.status.code, gentle ? 3u : 1u);
    cmdkit_clear_captured(&result);
    const struct {
        const char *line;
        unsigned flags;
        long grace_ms;
        int stopped;      // what cmdkit_stop returns on POSIX
        double least;     // seconds it takes there
        cmdkit_exit exit; // there; 9 is SIGKILL, 15 SIGTERM
        bool caller_ignores_term = false;
    } rows[] = {
        {"argv_echo --child ignore-term", 0, 300, 1, 0.3, {CMDKIT_EXIT_KILLED, 9}},
        {"argv_echo --child trap", 0, 0, 1, 0, {CMDKIT_EXIT_KILLED, 9}},
        {"argv_echo --child sleep",
         CMDKIT_START_NEW_GROUP,
         10000,
         0,
         0,
         {CMDKIT_EXIT_SIGNALED, 15}},
        {"argv_echo --child spawn-sleeper 0",
         CMDKIT_START_NEW_GROUP,
         10000,
         0,
         0,
         {CMDKIT_EXIT_EXITED, 0}},
        // The caller ignores SIGTERM; its commands do not.
        {"argv_echo --child sleep", 0, 10000, 0, 0, {CMDKIT_EXIT_SIGNALED, 15}, true},
    };
    options.grace_ms = 0;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.line);
#ifndef _WIN32
        signal(SIGTERM, row.caller_ignores_term ? SIG_IGN : SIG_DFL);
#endif
        options.flags = row.flags | CMDKIT_START_CAPTURE_OUTPUT;
        cmdkit_process *process = started(row.line);
        char told[32] = {}; // "ready", or the grandchild's pid
        if (std::strstr(row.line, "--child sleep") == nullptr) {
            EXPECT_GT(cmdkit_read_output(process, told, sizeof told - 1, 30000), 0);
        }
        // The grandchild outlives its parent, which has ended before the stop.
        const bool ended = std::strstr(row.line, "spawn") != nullptr;
        if (ended) {
            EXPECT_EQ(cmdkit_wait(process, 30000), 0);
        }
        begun = std::chrono::steady_clock::now();
        EXPECT_EQ(cmdkit_stop(process, row.grace_ms), gentle || ended ? row.stopped : 1);
#ifndef _WIN32
        signal(SIGTERM, SIG_DFL);
#endif
        EXPECT_LT(seconds_since(begun), 5.0);
        EXPECT_GE(seconds_since(begun), gentle ? row.least : 0);
        cmdkit_exit exit{};
        cmdkit_exit_status(process, 0, &exit);
        EXPECT_EQ(exit.state, gentle || ended ? row.exit.state : CMDKIT_EXIT_KILLED);
        EXPECT_EQ(exit.code, gentle || ended ? row.exit.code : 1u);
        if (ended) {
            EXPECT_TRUE(ends_soon(std::stoul(told)));
            EXPECT_EQ(cmdkit_read_output(process, told, sizeof told, 10000), 0);
        }
        EXPECT_TRUE(fails_with(EINVAL, [&] { return cmdkit_stop(process, -1); }));
        cmdkit_free_process(process);
    }
    EXPECT_EQ(cmdkit_stop(nullptr, 0), -1);
}
} // namespace
