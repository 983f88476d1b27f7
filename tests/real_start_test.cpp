// The command lines the library prepares, handed to the real Windows
// process loader: the program that starts must be the one the lookup
// found, and the argument vector its C runtime parses must be the one the
// user typed, or the one composed with argv_to_windows_cmdline.
// Without a UTF-8 manifest this runs in code page 1252: no narrow call hides.
#include "cmdline.h"
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
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>
#endif

namespace {

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

bool running_under_wine() {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// A program built to expand wildcards lists the folder for a bare `*.bat`,
// and on Windows' msvcrt.dll leaves the composed (quoted) wildcards alone.
// Wine's C runtimes and the UCRT expand quoted ones too: the test shows what
// they gave without holding them to it.
TEST(Wildcards, AnExpandingProgramGetsTheComposedWildcardsAsTheyAre) {
    scratch_directory scratch;
    scratch.add_file("x.bat");
    scratch.add_file("abc");
    const std::string program = (echo_program().parent_path() / "argv_echo_glob.exe").u8string();
    started_child bare(nullptr, wide(program + " *.bat"));
    ASSERT_EQ(read_report(bare.output().value_or("")).argv, (arguments{program, "x.bat"}));
    const arguments typed = {program, "*", "a?c", "*.bat"};
    started_child quoted(nullptr, wide(composed(typed)));
    const arguments received = read_report(quoted.output().value_or("")).argv;
    if (running_under_wine() || GetModuleHandleW(L"ucrtbase.dll") != nullptr)
        std::printf("quoted wildcards came back as %s\n", shown(received).c_str());
    else
        EXPECT_EQ(received, typed) << shown(received);
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

} // namespace
