#include "cmdline.h"
#include "platform.h"
#include "support/environment.h"
#include "support/results.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

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

// Without COMSPEC, or when the caller wants no fallback, whose trace ends
// where the search did; a caller's COMSPEC wins over the environment's.
TEST_F(Lookup, WithoutComspecNothingFoundGivesTwoNullResults) {
    cmdkit_lookup_options options = CMDKIT_LOOKUP_OPTIONS_INIT;
    options.comspec = "D:\\sh.exe";
    EXPECT_EQ(look_up("missing x", &options).new_cmd, "D:\\sh.exe /c missing x");
    options.flags = CMDKIT_LOOKUP_NO_FALLBACK;
    const lookup_outcome refused = look_up("missing x", &options);
    scoped_variable no_comspec("COMSPEC", std::nullopt);
    const lookup_outcome missing = look_up("missing x");
    for (const lookup_outcome &outcome : {missing, refused}) {
        EXPECT_EQ(outcome.result, 1);
        EXPECT_EQ(outcome.app_name, std::nullopt);
        EXPECT_EQ(outcome.new_cmd, std::nullopt);
    }
    EXPECT_NE(missing.trace.find("new_cmd = (null), app_name = (null)\n"), std::string::npos);
    const std::string last = "look for command: missing not found\n";
    EXPECT_EQ(refused.trace.substr(refused.trace.size() - last.size()), last);
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
// What the existence test hands the system past 259 units: the absolute
// \\?\ or \\?\UNC\ form; and nothing for text that is not WTF-8.
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
        // Verbatim, device and object-manager forms, and a device name at
        // the end, which the system makes \\.\NUL: as they are.
        {"//?/Z:/" + name, L"//?/Z:/" + wide_name},
        {"\\\\./pipe/" + name, L"\\\\./pipe/" + wide_name},
        {"\\??\\C:\\" + name, L"\\??\\C:\\" + wide_name},
        {"C:\\" + name + "\\nul", L"\\\\.\\nul"},
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

// The caller's policy, with PATH=bin and NoDefaultCurrentDirectoryInExePath set.
TEST_F(Lookup, FollowsTheCallersPolicy) {
    for (const char *file : {"tool.cmd", "sub/x.exe", "a;b/quoted.exe", "bin/tool.exe",
                             "bin/run.bat", "bin/run.bat.exe"})
        scratch.add_file(file);
#ifndef _WIN32
    // For the host's rules: `a/tool` is there but cannot run.
    for (const char *file : {"tool", "a/tool", "b/tool", "bin/tool"}) {
        scratch.add_file(file);
        if (std::strcmp(file, "a/tool") != 0)
            std::filesystem::permissions(scratch.path() / file, std::filesystem::perms::owner_exec,
                                         std::filesystem::perm_options::add);
    }
    const unsigned host = CMDKIT_LOOKUP_HOST_RULES;
#endif
    scoped_variable relative("PATH", std::string("bin"));
    auto rule = std::make_optional<scoped_variable>("NoDefaultCurrentDirectoryInExePath", "");
    auto look = [](unsigned flags, const char *path, const std::string &line) {
        cmdkit_lookup_options options = CMDKIT_LOOKUP_OPTIONS_INIT;
        options.flags = flags;
        options.path = path;
        return look_up(line, &options);
    };
    const unsigned no_current = CMDKIT_LOOKUP_NO_CURRENT_DIRECTORY;
    const unsigned system_rule = CMDKIT_LOOKUP_SYSTEM_CURRENT_DIRECTORY_RULE;
    // Path null: the environment's; found "-": not found; traced: a candidate tried.
    const struct {
        unsigned flags;
        const char *path, *line, *found, *traced;
    } rows[] = {
        {0, nullptr, "tool", ".\\tool.cmd", ".\\tool.com"}, // the variable alone does nothing
        {no_current, nullptr, "tool", "bin\\tool.exe", "bin\\tool.com"},
        {system_rule, nullptr, "tool", "bin\\tool.exe", "bin\\tool.com"},
        {system_rule, nullptr, "sub\\x", ".\\sub\\x.exe", ".\\sub\\x.com"}, // a `\\`: searched
        {CMDKIT_LOOKUP_UNQUOTE_PATH_ENTRIES, "\"a;b\";bin", "quoted", "a;b\\quoted.exe",
         ".\\quoted.com"},
        {0, "\"a;b\"", "quoted", "-", "\"a\\quoted.com"},
        {CMDKIT_LOOKUP_DIRECT_PATHS | no_current, nullptr, "sub\\x", "sub\\x.exe", "sub\\x.com"},
        {CMDKIT_LOOKUP_NO_BATCH, nullptr, "run", "-", "bin\\run.exe"},
        {CMDKIT_LOOKUP_NO_BATCH, nullptr, "run.bat", "-", "app_name"},
        {0, "sub", "x", "sub\\x.exe", "sub\\x.com"},
        {no_current, "", "tool", "-", "app_name"},
#ifndef _WIN32
        // `:` separates, an empty entry is the current directory, which is
        // otherwise not searched, and only a file that can run counts.
        {host, ":bin", "tool", "./tool", "./tool"},
        {host, "bin", "tool", "bin/tool", "bin/tool"},
        {host, "a:b", "tool", "b/tool", "a/tool"},
#endif
    };
    for (const auto &row : rows) {
        lookup_outcome outcome = look(row.flags, row.path, row.line);
        EXPECT_EQ(outcome.app_name.value_or("-"), row.found) << outcome.trace;
        EXPECT_NE(outcome.trace.find(row.traced), std::string::npos) << outcome.trace;
    }
    add_to_bin("tool.exe"); // a name with a drive, as written
    EXPECT_EQ(look(CMDKIT_LOOKUP_DIRECT_PATHS, nullptr, bin + "\\tool").app_name,
              bin + "\\tool.exe");
    // Drive-relative: the current directory of that drive (here, the test's).
    const std::string drive = windows ? scratch.path().string().substr(0, 2) : "C:";
    scratch.add_file(windows ? "drv.exe" : "C:drv.exe");
    EXPECT_EQ(look(CMDKIT_LOOKUP_DIRECT_PATHS | no_current, nullptr, drive + "drv").app_name,
              drive + "drv.exe");
    rule.reset();
    EXPECT_EQ(look(system_rule, nullptr, "tool").app_name, ".\\tool.cmd");
    EXPECT_EQ(look(system_rule | no_current, nullptr, "tool").app_name, "bin\\tool.exe");
}

// Options of a later version are taken while what this one does not know is
// unset, else refused with -1 and EINVAL, never taken for a malformed line.
TEST_F(Lookup, OptionsThisVersionCannotHonourAreRefused) {
    alignas(cmdkit_lookup_options) unsigned char later[sizeof(cmdkit_lookup_options) + 8] = {};
    cmdkit_lookup_options options = CMDKIT_LOOKUP_OPTIONS_INIT;
    options.size = sizeof later;
    std::memcpy(later, &options, sizeof options);
    auto result = [](const void *given) {
        errno = 0;
        lookup_outcome outcome = look_up("\"open", given);
        return outcome.result == -1 && (outcome.app_name || errno != EINVAL) ? -2 : outcome.result;
    };
    EXPECT_EQ(result(later), 0);
    for (size_t extra : {sizeof options, sizeof options + 7}) {
        later[extra] = 1;
        EXPECT_EQ(result(later), -1) << extra;
        later[extra] = 0;
    }
    options = CMDKIT_LOOKUP_OPTIONS_INIT;
    options.size -= 1;
    EXPECT_EQ(result(&options), -1);
    options = CMDKIT_LOOKUP_OPTIONS_INIT;
    options.flags = 0x80u;
    EXPECT_EQ(result(&options), -1);
}

} // namespace
