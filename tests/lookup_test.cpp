#include "cmdline.h"
#include "platform.h"
#include "support/environment.h"
#include "support/names.h"
#include "support/results.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

using testing_support::look_up;
using testing_support::lookup_outcome;
using testing_support::scoped_variable;
using testing_support::scratch_directory;

std::string trying(const std::string &candidate) {
    return "look for command: trying " + candidate + "\n";
}

// Every lookup runs in a fresh current directory with PATH and COMSPEC set
// for the test alone.  `bin` names a search directory the way the user
// would write it: `C:\bin` on POSIX hosts, where the backslash path lands
// in a `C:/bin` folder inside the current directory, and the real absolute
// path of such a folder on Windows.
class Lookup : public testing::Test {
  protected:
    Lookup()
        : bin(windows ? scratch.path().string() + "\\bin" : "C:\\bin"), path("PATH", bin),
          comspec("COMSPEC", std::string("C:\\cmd.exe")) {}

    void add_to_bin(const std::string &name) { scratch.add_file(bin_folder + name); }

#ifdef _WIN32
    static constexpr bool windows = true;
    const std::string bin_folder = "bin/";
#else
    static constexpr bool windows = false;
    const std::string bin_folder = "C:/bin/";
#endif
    scratch_directory scratch;
    const std::string bin;
    scoped_variable path;
    scoped_variable comspec;
};

TEST_F(Lookup, FindsAlongPathAfterTryingEveryEarlierCandidate) {
    add_to_bin("tool.exe");
    lookup_outcome found = look_up("tool a b");
    EXPECT_EQ(found.result, 1);
    EXPECT_EQ(found.app_name, bin + "\\tool.exe");
    EXPECT_EQ(found.new_cmd, bin + "\\tool.exe a b");
    EXPECT_EQ(found.trace, "look for command: app_name = tool\n" + trying(".\\tool.com") +
                               trying(".\\tool.exe") + trying(".\\tool.bat") +
                               trying(".\\tool.cmd") + trying(bin + "\\tool.com") +
                               trying(bin + "\\tool.exe") + "look for command: new_cmd = " + bin +
                               "\\tool.exe a b, app_name = " + bin + "\\tool.exe\n");
}

TEST_F(Lookup, CurrentDirectoryIsSearchedFirst) {
    add_to_bin("tool.com");
    scratch.add_file("tool.cmd");
    lookup_outcome found = look_up("tool arg");
    EXPECT_EQ(found.app_name, ".\\tool.cmd");
    EXPECT_EQ(found.new_cmd, ".\\tool.cmd arg");
}

TEST_F(Lookup, ExtensionsAreTriedInTheirFixedOrder) {
    add_to_bin("tool.cmd");
    add_to_bin("tool.bat");
    add_to_bin("tool.exe");
    EXPECT_EQ(look_up("tool").app_name, bin + "\\tool.exe");
}

TEST_F(Lookup, TypedExecutableExtensionIsTriedAsTypedOnly) {
    lookup_outcome outcome = look_up("TOOL.EXE");
    EXPECT_EQ(outcome.trace, "look for command: app_name = TOOL.EXE\n" + trying(".\\TOOL.EXE") +
                                 trying(bin + "\\TOOL.EXE") +
                                 "look for command: TOOL.EXE not found, concatenating comspec\n"
                                 "look for command: new_cmd = C:\\cmd.exe /c TOOL.EXE, "
                                 "app_name = (null)\n");
}

// The extension test ignores case everywhere; whether the file is then
// found depends on the file system, which ignores case only on Windows.
TEST_F(Lookup, TypedExtensionInAnotherCaseFindsTheFileOnlyWhereNamesIgnoreCase) {
    add_to_bin("tool.exe");
    lookup_outcome outcome = look_up("Tool.EXE x");
    if constexpr (windows) {
        EXPECT_EQ(outcome.app_name, bin + "\\Tool.EXE");
    } else {
        EXPECT_EQ(outcome.app_name, std::nullopt);
        EXPECT_EQ(outcome.trace.find("trying .\\Tool.EXE.com"), std::string::npos);
    }
}

// Only the text after the last dot counts, in any letter case; the first
// candidate shows whether the name was taken as carrying an extension.
TEST_F(Lookup, ExtensionsAreRecognizedAfterTheLastDotInAnyCase) {
    const struct {
        const char *name;
        bool typed;
    } rows[] = {
        {"x.com", true},      {"x.COM", true},      {"x.Com", true},    {"x.exe", true},
        {"x.EXE", true},      {"x.eXe", true},      {"x.bat", true},    {"x.BAT", true},
        {"x.bAT", true},      {"x.cmd", true},      {"x.CMD", true},    {"x.Cmd", true},
        {"v1.2.Exe", true},   {".exe", true},       {"a.b.c", false},   {"tool.exe.txt", false},
        {"tool.exe.", false}, {"tool.exec", false}, {"tool.ex", false},
    };
    for (const auto &row : rows) {
        const std::string first =
            row.typed ? std::string(row.name) : std::string(row.name) + ".com";
        const std::string trace = look_up(row.name).trace;
        EXPECT_EQ(trace.rfind("look for command: app_name = " + std::string(row.name) + "\n" +
                                  trying(".\\" + first),
                              0),
                  0u)
            << row.name << "\n"
            << trace;
    }
}

TEST_F(Lookup, OtherExtensionsGetTheExecutableOnesAppended) {
    add_to_bin("tool.txt.bat");
    lookup_outcome found = look_up("tool.txt");
    EXPECT_EQ(found.app_name, bin + "\\tool.txt.bat");
    EXPECT_NE(found.trace.find(trying(".\\tool.txt.com")), std::string::npos);
}

TEST_F(Lookup, DotsInDirectoryPartsAreNotExtensions) {
    scratch.add_file("tool.exe");
    scratch.add_file("sub/x.cmd");
    EXPECT_EQ(look_up("..\\tool").trace.find(trying(".\\..\\tool.com")) != std::string::npos, true);
    EXPECT_EQ(look_up("sub\\x.cmd go").new_cmd, ".\\sub\\x.cmd go");
}

// Every white-space character ends the command name and stays in the rest.
TEST_F(Lookup, EveryWhiteSpaceCharacterEndsTheName) {
    add_to_bin("tool.exe");
    for (char blank : std::string(" \t\n\v\f\r")) {
        const std::string rest = std::string(1, blank) + "x";
        EXPECT_EQ(look_up("tool" + rest).new_cmd, bin + "\\tool.exe" + rest)
            << static_cast<int>(blank);
    }
}

TEST_F(Lookup, LeadingBlanksAreSkippedForTheNameButKeptForTheInterpreter) {
    add_to_bin("tool.exe");
    EXPECT_EQ(look_up("   tool  x").new_cmd, bin + "\\tool.exe  x");
    lookup_outcome missing = look_up(" \tmissing x");
    EXPECT_EQ(missing.app_name, std::nullopt);
    EXPECT_EQ(missing.new_cmd, "C:\\cmd.exe /c  \tmissing x");
}

TEST_F(Lookup, NotFoundHandsTheLineToTheInterpreter) {
    lookup_outcome missing = look_up("missing x");
    EXPECT_EQ(missing.result, 1);
    EXPECT_EQ(missing.app_name, std::nullopt);
    EXPECT_EQ(missing.new_cmd, "C:\\cmd.exe /c missing x");
}

TEST_F(Lookup, WithoutComspecNothingFoundGivesTwoNullResults) {
    scoped_variable no_comspec("COMSPEC", std::nullopt);
    lookup_outcome missing = look_up("missing x");
    EXPECT_EQ(missing.result, 1);
    EXPECT_EQ(missing.app_name, std::nullopt);
    EXPECT_EQ(missing.new_cmd, std::nullopt);
    EXPECT_NE(missing.trace.find("new_cmd = (null), app_name = (null)\n"), std::string::npos);
}

TEST_F(Lookup, UnterminatedQuotedNameIsMalformed) {
    lookup_outcome malformed = look_up("\"unterminated x");
    EXPECT_EQ(malformed.result, 0);
    EXPECT_EQ(malformed.app_name, std::nullopt);
    EXPECT_EQ(malformed.new_cmd, std::nullopt);
    EXPECT_EQ(malformed.trace, "Look_for_cmd: malformed command (\" not terminated)\n");
}

// After the closing quote the rest follows the found path, one space apart
// when it was glued to the quote: `"tool"a` must not start `tool.exea`.
TEST_F(Lookup, QuotedNameKeepsItsWhiteSpaceAndDropsItsClosingQuote) {
    EXPECT_EQ(look_up("\" tool\"").trace.find(trying(".\\ tool.com")) != std::string::npos, true);
    add_to_bin("tool.exe");
    EXPECT_EQ(look_up("\"tool\" a").new_cmd, bin + "\\tool.exe a");
    EXPECT_EQ(look_up("\"tool\"\ta").new_cmd, bin + "\\tool.exe\ta");
    EXPECT_EQ(look_up("\"tool\"").new_cmd, bin + "\\tool.exe");
    EXPECT_EQ(look_up("\"tool\"a b").new_cmd, bin + "\\tool.exe a b");
    EXPECT_EQ(look_up("\"tool\"\"a\"").new_cmd, bin + "\\tool.exe \"a\"");
}

// Regression: a found path with white space used to start the command line
// bare, so the started program saw `C:\Program` as its name.
TEST_F(Lookup, FoundPathWithWhiteSpaceIsQuotedInTheCommandLine) {
    scoped_variable spaced("PATH", std::string("Program Files\\x"));
    scratch.add_file("Program Files/x/tool.exe");
    lookup_outcome found = look_up("tool a b");
    EXPECT_EQ(found.app_name, "Program Files\\x\\tool.exe");
    EXPECT_EQ(found.new_cmd, "\"Program Files\\x\\tool.exe\" a b");
    if constexpr (!windows) { // no file name there holds a tab
        scratch.add_file("tab\tname.exe");
        EXPECT_EQ(look_up("\"tab\tname\" x").new_cmd, "\".\\tab\tname.exe\" x");
    }
}

// Quoted once: by us when the value holds white space, or already by
// whoever set it, whose quotes are then kept as they are.
TEST_F(Lookup, ComspecWithWhiteSpaceIsQuotedOnce) {
    {
        scoped_variable spaced("COMSPEC", std::string("C:\\My Shell\\cmd.exe"));
        EXPECT_EQ(look_up("missing").new_cmd, "\"C:\\My Shell\\cmd.exe\" /c missing");
    }
    scoped_variable quoted("COMSPEC", std::string("\"C:\\My Shell\\cmd.exe\""));
    EXPECT_EQ(look_up("missing").new_cmd, "\"C:\\My Shell\\cmd.exe\" /c missing");
}

TEST_F(Lookup, PathEntriesAreUsedAsWrittenAndEmptyOnesSkipped) {
    scoped_variable odd("PATH", std::string(";;sub\\;; ;"));
    scratch.add_file("sub/tool.bat");
    lookup_outcome found = look_up("tool");
    EXPECT_EQ(found.app_name, "sub\\\\tool.bat");
    EXPECT_EQ(found.trace.find(trying("\\tool.com")), std::string::npos) << "empty entry used";
    EXPECT_EQ(look_up("nothing").trace.find(trying(" \\nothing.com")) != std::string::npos, true);
}

TEST_F(Lookup, UnsetPathSearchesTheCurrentDirectoryAlone) {
    scoped_variable no_path("PATH", std::nullopt);
    lookup_outcome missing = look_up("tool");
    EXPECT_EQ(missing.trace, "look for command: app_name = tool\n" + trying(".\\tool.com") +
                                 trying(".\\tool.exe") + trying(".\\tool.bat") +
                                 trying(".\\tool.cmd") +
                                 "look for command: tool not found, concatenating comspec\n"
                                 "look for command: new_cmd = C:\\cmd.exe /c tool, "
                                 "app_name = (null)\n");
}

TEST_F(Lookup, ADirectoryNamedLikeTheProgramEndsTheSearch) {
    scratch.add_directory("tool.com");
    add_to_bin("tool.exe");
    EXPECT_EQ(look_up("tool").app_name, ".\\tool.com");
}

TEST_F(Lookup, EmptyLineSearchesTheBareExtensions) {
    lookup_outcome empty = look_up("");
    EXPECT_EQ(empty.result, 1);
    EXPECT_NE(empty.trace.find(trying(".\\.com")), std::string::npos);
    EXPECT_EQ(empty.new_cmd, "C:\\cmd.exe /c ");
}

// Candidates are composed in storage that starts with room for 63
// characters and grows; the POSIX existence test copies one of up to 511
// characters on the stack.  Each boundary, both sides, must be traced and
// tested whole, never cut or written past an end (the sanitizer leg
// watches the writes).  Past 259 characters Windows needs the \\?\ form.
TEST_F(Lookup, CandidatesAtEveryBufferBoundaryAreComposedWhole) {
    for (size_t length : {63u, 64u, 511u, 512u}) {
        // A PATH entry of folders short enough for any file system.
        std::string entry;
        while (entry.size() + 9 < length) {
            size_t part = std::min<size_t>(length - 9 - entry.size(), 200);
            entry += (entry.empty() ? "" : "\\") + std::string(part - (entry.empty() ? 0 : 1), 'd');
        }
        const std::string candidate = entry + "\\tool.cmd";
        ASSERT_EQ(candidate.size(), length);
        scoped_variable deep("PATH", entry);
        std::string folder = entry;
        std::replace(folder.begin(), folder.end(), '\\', '/');
        scratch.add_file(folder + "/tool.cmd");
        lookup_outcome outcome = look_up("tool");
        EXPECT_NE(outcome.trace.find(trying(candidate)), std::string::npos) << length;
        EXPECT_EQ(outcome.app_name, candidate) << length;
    }
}

#ifdef _WIN32
// What the existence test hands the system: a candidate past 259 units made
// absolute and clean, with the \\?\ or \\?\UNC\ prefix; anything shorter, or
// already in that form, as it is; and nothing for text that is not WTF-8.
TEST_F(Lookup, LongCandidatesReachTheSystemInTheExtendedForm) {
    const std::string name(300, 'n');
    const std::wstring wide_name(300, L'n');
    const std::wstring here = testing_support::wide(scratch.path().u8string());
    const struct {
        std::string candidate;
        std::wstring handed;
    } rows[] = {
        {"sub\\" + name, L"\\\\?\\" + here + L"\\sub\\" + wide_name},
        {"C:\\bin\\\\.\\" + name, L"\\\\?\\C:\\bin\\" + wide_name},
        {"\\\\server\\share\\" + name, L"\\\\?\\UNC\\server\\share\\" + wide_name},
        {"\\\\?\\C:\\x\\..\\" + name, L"\\\\?\\C:\\x\\..\\" + wide_name},
        {"C:\\bin\\\\short", L"C:\\bin\\\\short"},
    };
    for (const auto &row : rows) {
        cmdkit::internal::system_path path;
        ASSERT_TRUE(path.assign(row.candidate.c_str())) << row.candidate;
        EXPECT_EQ(std::wstring(path.get()), row.handed) << row.candidate;
    }
    cmdkit::internal::system_path not_wtf8;
    EXPECT_FALSE(not_wtf8.assign("C:\\\xC0\x80"));
}
#endif

TEST_F(Lookup, BytesAboveAsciiAreNeverWhiteSpace) {
    lookup_outcome outcome = look_up("tool\xA0x\x85y z");
    EXPECT_NE(outcome.trace.find("app_name = tool\xA0x\x85y\n"), std::string::npos);
    EXPECT_EQ(outcome.new_cmd, "C:\\cmd.exe /c tool\xA0x\x85y z");
}

TEST_F(Lookup, NullArgumentsAreRefusedOrIgnored) {
    char *app_name = reinterpret_cast<char *>(0x1);
    char *new_cmd = reinterpret_cast<char *>(0x1);
    EXPECT_EQ(look_for_cmd(nullptr, &app_name, &new_cmd), 0);
    EXPECT_EQ(app_name, nullptr);
    EXPECT_EQ(new_cmd, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(look_for_cmd("missing", nullptr, nullptr), 1);
    add_to_bin("tool.exe"); // found, with no address for it: nothing may leak
    EXPECT_EQ(look_for_cmd("tool", nullptr, &new_cmd), 1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing_support::take_string(new_cmd), bin + "\\tool.exe");
}

// One lookup table for the caller's policy: tool.cmd and sub/x.exe in the
// current directory, tool.exe and run.bat in bin, quoted.exe in `a;b`.
// `{bin}` stands for the bin folder; PATH in the environment is bin.
struct policy_case {
    const char *why;
    unsigned flags;
    std::optional<std::string> path;
    std::string line;
    std::optional<std::string> app_name;
    std::string traced = ""; // a candidate the trace must show
    bool system_rule_variable = false;
};

class LookupPolicy : public Lookup, public testing::WithParamInterface<policy_case> {};

TEST_P(LookupPolicy, FollowsTheCallersOptions) {
    const policy_case &c = GetParam();
    auto with_bin = [this](std::string text) {
        for (size_t at = text.find("{bin}"); at != std::string::npos; at = text.find("{bin}"))
            text.replace(at, 5, bin);
        return text;
    };
    for (const char *file : {"tool.cmd", "sub/x.exe", "a;b/quoted.exe"})
        scratch.add_file(file);
    add_to_bin("tool.exe");
    add_to_bin("run.bat");
    scoped_variable rule("NoDefaultCurrentDirectoryInExePath",
                         c.system_rule_variable ? std::optional<std::string>("") : std::nullopt);
    const std::string path = with_bin(c.path.value_or(""));
    cmdkit_lookup_options options = CMDKIT_LOOKUP_OPTIONS_INIT;
    options.flags = c.flags;
    options.path = c.path ? path.c_str() : nullptr;
    char *app_name = nullptr;
    char *new_cmd = nullptr;
    testing::internal::CaptureStderr();
    EXPECT_EQ(look_for_cmd_ex(with_bin(c.line).c_str(), &options, &app_name, &new_cmd), 1);
    const std::string trace = testing::internal::GetCapturedStderr();
    std::free(new_cmd);
    EXPECT_EQ(testing_support::take_string(app_name),
              c.app_name ? std::optional<std::string>(with_bin(*c.app_name)) : std::nullopt)
        << trace;
    if (!c.traced.empty()) {
        EXPECT_NE(trace.find(trying(with_bin(c.traced))), std::string::npos) << trace;
    } else {
        EXPECT_EQ(trace.find("trying"), std::string::npos) << trace;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LookupPolicy,
    testing::Values(
        policy_case{
            "the current directory comes first", 0, {}, "tool", ".\\tool.cmd", ".\\tool.com"},
        policy_case{"or not at all",
                    CMDKIT_LOOKUP_NO_CURRENT_DIRECTORY,
                    {},
                    "tool",
                    "{bin}\\tool.exe",
                    "{bin}\\tool.com"},
        policy_case{"the system rule leaves it out while its variable is set",
                    CMDKIT_LOOKUP_SYSTEM_CURRENT_DIRECTORY_RULE,
                    {},
                    "tool",
                    "{bin}\\tool.exe",
                    "{bin}\\tool.com",
                    true},
        policy_case{"and searches it while it is unset",
                    CMDKIT_LOOKUP_SYSTEM_CURRENT_DIRECTORY_RULE,
                    {},
                    "tool",
                    ".\\tool.cmd",
                    ".\\tool.com"},
        policy_case{"leaving it out wins over the system rule",
                    CMDKIT_LOOKUP_NO_CURRENT_DIRECTORY |
                        CMDKIT_LOOKUP_SYSTEM_CURRENT_DIRECTORY_RULE,
                    {},
                    "tool",
                    "{bin}\\tool.exe",
                    "{bin}\\tool.com"},
        policy_case{"quoted entries lose their quotes and keep their semicolon",
                    CMDKIT_LOOKUP_UNQUOTE_PATH_ENTRIES, "\"a;b\";{bin}", "quoted",
                    "a;b\\quoted.exe", "a;b\\quoted.com"},
        policy_case{"without the flag quotes stay and split nothing", 0, "\"a;b\"", "quoted",
                    std::nullopt, "\"a\\quoted.com"},
        policy_case{"a name with a directory is tried as written",
                    CMDKIT_LOOKUP_DIRECT_PATHS,
                    {},
                    "sub\\x",
                    "sub\\x.exe",
                    "sub\\x.com"},
        policy_case{"relative to the current directory even when that is left out",
                    CMDKIT_LOOKUP_DIRECT_PATHS | CMDKIT_LOOKUP_NO_CURRENT_DIRECTORY,
                    {},
                    "sub/x",
                    "sub/x.exe",
                    "sub/x.com"},
        policy_case{"and so is a name with a drive",
                    CMDKIT_LOOKUP_DIRECT_PATHS,
                    {},
                    "{bin}\\tool",
                    "{bin}\\tool.exe",
                    "{bin}\\tool.com"},
        policy_case{"no batch file is found without them",
                    CMDKIT_LOOKUP_NO_BATCH,
                    {},
                    "run",
                    std::nullopt,
                    "{bin}\\run.exe"},
        policy_case{"nor tried when typed", CMDKIT_LOOKUP_NO_BATCH, {}, "run.bat", std::nullopt},
        policy_case{"the caller's PATH replaces the environment's", 0, "sub", "x", "sub\\x.exe",
                    "sub\\x.com"},
        policy_case{"an empty one searches no directory", CMDKIT_LOOKUP_NO_CURRENT_DIRECTORY, "",
                    "tool", std::nullopt}),
    testing_support::name_from_why<policy_case>);

// Options a caller built against a later version may pass: a larger struct
// is taken when what this version does not know is unset, and refused
// (never mistaken for a malformed line) otherwise.
TEST_F(Lookup, OptionsThisVersionCannotHonourAreRefused) {
    alignas(cmdkit_lookup_options) unsigned char later[sizeof(cmdkit_lookup_options) + 8] = {};
    cmdkit_lookup_options options = CMDKIT_LOOKUP_OPTIONS_INIT;
    options.size = sizeof later;
    std::memcpy(later, &options, sizeof options);
    auto result = [](const cmdkit_lookup_options *options) {
        char *app_name = reinterpret_cast<char *>(0x1);
        char *new_cmd = reinterpret_cast<char *>(0x1);
        errno = 0;
        testing::internal::CaptureStderr();
        int value = look_for_cmd_ex("missing", options, &app_name, &new_cmd);
        const std::string trace = testing::internal::GetCapturedStderr();
        std::free(new_cmd);
        return value == -1 && (app_name != nullptr || new_cmd != nullptr || errno != EINVAL ||
                               !trace.empty())
                   ? -2
                   : value;
    };
    EXPECT_EQ(result(reinterpret_cast<cmdkit_lookup_options *>(later)), 1);
    later[sizeof options + 7] = 1;
    EXPECT_EQ(result(reinterpret_cast<cmdkit_lookup_options *>(later)), -1);
    options = CMDKIT_LOOKUP_OPTIONS_INIT;
    options.size -= 1;
    EXPECT_EQ(result(&options), -1);
    options = CMDKIT_LOOKUP_OPTIONS_INIT;
    options.flags = 0x20u;
    EXPECT_EQ(result(&options), -1);
}

// Every trace line reaches a sink as one call with its NUL after it, a
// message as one call without a line feed, and the sink gets exactly the
// bytes the default sink writes; without a sink nothing is written.
TEST_F(Lookup, TraceSinksGetEveryLineWholeAndTheDefaultsBytes) {
    add_to_bin("tool.exe");
    auto parse_and_look_up = [] {
        free_pipeline(parse_cmdline("foo > a | b", nullptr, nullptr, nullptr));
        char *app_name = nullptr;
        char *new_cmd = nullptr;
        look_for_cmd("tool a", &app_name, &new_cmd);
        std::free(app_name);
        std::free(new_cmd);
        look_for_cmd("\"open", &app_name, &new_cmd);
    };
    testing::internal::CaptureStderr();
    parse_and_look_up();
    const std::string written = testing::internal::GetCapturedStderr();

    std::vector<std::string> calls;
    cmdkit_set_trace(
        [](void *context, const char *text, size_t length) {
            EXPECT_EQ(text[length], '\0');
            static_cast<std::vector<std::string> *>(context)->emplace_back(text, length);
        },
        &calls);
    parse_and_look_up();
    cmdkit_set_trace(nullptr, nullptr);
    testing::internal::CaptureStderr();
    parse_and_look_up();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    cmdkit_set_trace(cmdkit_trace_to_stderr, nullptr);

    ASSERT_GE(calls.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + 6),
              (std::vector<std::string>{"line = foo > a | b\n", "token = foo > a | b\n",
                                        "token = > a | b\n", "token = | b\n",
                                        "Ambiguous output redirect.",
                                        "look for command: app_name = tool\n"}));
    std::string joined;
    for (const std::string &call : calls) {
        EXPECT_TRUE(call.find('\n') == std::string::npos || call.find('\n') == call.size() - 1)
            << call;
        joined += call;
    }
    EXPECT_EQ(joined, written);
}

} // namespace
