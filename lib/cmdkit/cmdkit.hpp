/*
 * cmdkit.hpp: the library for C++17, as values.
 *
 * Every function calls the C function of the same job (cmdline.h) and
 * copies its result into standard types, releasing the C result at once, so
 * it behaves exactly like that function: the same traces and messages on
 * standard error, the same results, the same exit with status 1 when the C
 * library runs out of memory.  The copies themselves are made by C++ and
 * may throw std::bad_alloc like any standard container; no C result is
 * leaked when they do.
 *
 * Text goes to the C functions as a NUL-terminated string, so a
 * std::string_view (or an argument) holding a NUL byte is handled as the C
 * function would see it: the text up to the first NUL.  The exception is
 * what gets started: compose_for_windows and compose_for_batch refuse an
 * argument or program name holding a NUL (nullopt, errno EINVAL), since a
 * check made on the whole string would not hold for the part that runs.
 *
 * On Windows all text is UTF-8, as in cmdline.h; to_utf16 converts it for
 * the wide system calls.
 *
 * Not thread-safe, for the reasons given in cmdline.h.
 */
#ifndef CMDKIT_HPP
#define CMDKIT_HPP

#if !defined(__cplusplus) || (defined(_MSVC_LANG) ? _MSVC_LANG : __cplusplus) < 201703L
#error "cmdkit.hpp needs C++17; C programs include cmdline.h"
#endif

#include "cmdline.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cmdkit {

// One command: the program name, then its arguments.
using command = std::vector<std::string>;

struct pipeline {
    std::vector<command> commands;
    std::optional<std::string> input;  // the `<` target, quotes kept
    std::optional<std::string> output; // the `>` or `>>` target, quotes kept
};

struct lookup_result {
    bool well_formed = false; // false: the quoted command name is never closed
    std::optional<std::string> app_name;
    std::optional<std::string> new_cmd;
};

// The caller's environment and search policy (look_for_cmd_ex in cmdline.h).
struct lookup_options {
    unsigned flags = 0;                 // CMDKIT_LOOKUP_... from cmdline.h
    std::optional<std::string> path;    // searched instead of the environment's PATH
    std::optional<std::string> comspec; // used instead of the environment's COMSPEC
};

namespace detail {

struct free_memory {
    void operator()(void *block) const noexcept { std::free(block); }
};
using c_text = std::unique_ptr<char, free_memory>;

struct free_list {
    void operator()(char ***list) const noexcept { ::free_pipeline(list); }
};
using c_pipeline = std::unique_ptr<char **, free_list>;

inline std::string up_to_nul(std::string_view text) {
    return std::string(text.substr(0, text.find('\0')));
}

inline std::optional<std::string> value_of(const c_text &text) {
    if (!text)
        return std::nullopt;
    return std::string(text.get());
}

inline command arguments_of(char **vector) {
    command arguments;
    for (char **argument = vector; *argument != nullptr; ++argument)
        arguments.emplace_back(*argument);
    return arguments;
}

// A null-terminated vector over the caller's strings.  The C functions
// only read through it, which is what makes casting away const sound.
class c_argv {
  public:
    explicit c_argv(const command &arguments) {
        pointers_.reserve(arguments.size() + 1);
        for (const std::string &argument : arguments)
            pointers_.push_back(const_cast<char *>(argument.c_str()));
        pointers_.push_back(nullptr);
    }
    char **get() { return pointers_.data(); }

  private:
    std::vector<char *> pointers_;
};

class c_command_list {
  public:
    explicit c_command_list(const std::vector<command> &commands) {
        vectors_.reserve(commands.size());
        list_.reserve(commands.size() + 1);
        for (const command &arguments : commands) {
            vectors_.emplace_back(arguments);
            list_.push_back(vectors_.back().get());
        }
        list_.push_back(nullptr);
    }
    char ***get() { return list_.data(); }

  private:
    std::vector<c_argv> vectors_;
    std::vector<char **> list_;
};

inline bool holds_nul(const command &arguments) {
    for (const std::string &argument : arguments) {
        if (argument.find('\0') != std::string::npos)
            return true;
    }
    return false;
}

// A composer of cmdline.h applied to `arguments`, refusing a NUL byte.
inline std::optional<std::string> composed(char *(*compose)(char **), const command &arguments) {
    if (holds_nul(arguments)) {
        errno = EINVAL;
        return std::nullopt;
    }
    c_argv argv(arguments);
    c_text text(compose(argv.get()));
    return value_of(text);
}

inline const char *c_str_or_null(const std::optional<std::string> &text) {
    return text ? text->c_str() : nullptr;
}

} // namespace detail

// The pipeline of `line`, or nullopt when the line breaks a rule (the
// reason is on standard error, errno as parse_cmdline leaves it).
inline std::optional<pipeline> parse(std::string_view line) {
    const std::string text = detail::up_to_nul(line);
    char *input = nullptr;
    char *output = nullptr;
    detail::c_pipeline list(::parse_cmdline(text.c_str(), &input, &output, nullptr));
    // A failed parse may leave a target behind; it is released here too.
    detail::c_text input_text(input);
    detail::c_text output_text(output);
    if (!list)
        return std::nullopt;
    pipeline result;
    for (char ***vector = list.get(); *vector != nullptr; ++vector)
        result.commands.push_back(detail::arguments_of(*vector));
    result.input = detail::value_of(input_text);
    result.output = detail::value_of(output_text);
    return result;
}

// How `line` would be started (see look_for_cmd and look_for_cmd_ex in
// cmdline.h).  Throws std::invalid_argument for flags this version of the
// library does not know.
inline lookup_result look_for_cmd(std::string_view line, const lookup_options &options = {}) {
    const std::string text = detail::up_to_nul(line);
    const std::string path = detail::up_to_nul(options.path.value_or(""));
    const std::string comspec = detail::up_to_nul(options.comspec.value_or(""));
    cmdkit_lookup_options c_options = CMDKIT_LOOKUP_OPTIONS_INIT;
    c_options.flags = options.flags;
    c_options.path = options.path ? path.c_str() : nullptr;
    c_options.comspec = options.comspec ? comspec.c_str() : nullptr;
    char *app_name = nullptr;
    char *new_cmd = nullptr;
    const int well_formed = ::look_for_cmd_ex(text.c_str(), &c_options, &app_name, &new_cmd);
    if (well_formed < 0)
        throw std::invalid_argument("cmdkit::look_for_cmd: unknown lookup flags");
    detail::c_text app_text(app_name);
    detail::c_text command_text(new_cmd);
    lookup_result result;
    result.well_formed = well_formed != 0;
    result.app_name = detail::value_of(app_text);
    result.new_cmd = detail::value_of(command_text);
    return result;
}

// Sends the library's traces to `sink`, any callable taking a
// std::string_view (one whole line or message per call), or silences them
// when made with nullptr, for the guard's lifetime; then the sink installed
// before comes back.  The sink must not throw (the program would end).
// Guards must end in the reverse order of their making, and the sink is
// process-wide state, as in cmdline.h.
class scoped_trace {
  public:
    explicit scoped_trace(std::function<void(std::string_view)> sink) : sink_(std::move(sink)) {
        ::cmdkit_get_trace(&previous_, &previous_context_);
        if (sink_)
            ::cmdkit_set_trace(&scoped_trace::forward, this);
        else
            ::cmdkit_set_trace(nullptr, nullptr);
    }
    explicit scoped_trace(std::nullptr_t) : scoped_trace(std::function<void(std::string_view)>()) {}
    ~scoped_trace() { ::cmdkit_set_trace(previous_, previous_context_); }
    scoped_trace(const scoped_trace &) = delete;
    scoped_trace &operator=(const scoped_trace &) = delete;

  private:
    static void forward(void *context, const char *text, std::size_t length) noexcept {
        static_cast<scoped_trace *>(context)->sink_(std::string_view(text, length));
    }

    std::function<void(std::string_view)> sink_;
    cmdkit_trace_fn previous_ = nullptr;
    void *previous_context_ = nullptr;
};

// An argument vector as command text (argv_to_cmdline).
inline std::string compose(const command &arguments) {
    detail::c_argv argv(arguments);
    detail::c_text text(::argv_to_cmdline(argv.get()));
    return std::string(text.get());
}

// A whole pipeline as command text (pipeline_to_cmdline); nullopt for a
// pipeline without commands.
inline std::optional<std::string> compose(const pipeline &commands) {
    detail::c_command_list list(commands.commands);
    detail::c_text text(::pipeline_to_cmdline(list.get(), detail::c_str_or_null(commands.input),
                                              detail::c_str_or_null(commands.output)));
    return detail::value_of(text);
}

// A command line for CreateProcessW that gives the started program exactly
// these arguments (argv_to_windows_cmdline); nullopt, with errno EINVAL or
// E2BIG, when there is none, a batch program and a NUL byte among them.
inline std::optional<std::string> compose_for_windows(const command &arguments) {
    return detail::composed(::argv_to_windows_cmdline, arguments);
}

// A command line that runs the batch file `arguments[0]` with the other
// arguments through the command interpreter (argv_to_batch_cmdline);
// nullopt, with errno EINVAL or E2BIG, when there is none (a NUL byte too).
inline std::optional<std::string> compose_for_batch(const command &arguments) {
    return detail::composed(::argv_to_batch_cmdline, arguments);
}

#ifdef _WIN32
// `text` as UTF-16 for the wide Windows calls (cmdkit_to_utf16); nullopt,
// with errno EINVAL, when it is not UTF-8 (WTF-8).
inline std::optional<std::wstring> to_utf16(std::string_view text) {
    const std::string copy = detail::up_to_nul(text);
    std::unique_ptr<wchar_t, detail::free_memory> units(::cmdkit_to_utf16(copy.c_str()));
    if (!units)
        return std::nullopt;
    return std::wstring(units.get());
}
#endif

} // namespace cmdkit

#endif /* CMDKIT_HPP */
