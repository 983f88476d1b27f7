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
 * On Windows all text is UTF-8, as in cmdline.h; to_utf16 and from_utf16
 * convert it for and from the wide system calls.
 *
 * Starting programs (cmdrun.h): start, run and capture take a command (one
 * program and its arguments), a start_spec (a pipeline from data) or, in
 * their _line forms, a line to parse; distinct names, because a braced list
 * such as {"sort"} would fit all three.  Each takes a last `cmdkit_failure *`
 * filled as in C, its message included.  std::invalid_argument is thrown,
 * with C's words, exactly when C reports stage CMDKIT_FAILED_REQUEST (a
 * negative time limit or grace, or 0 where C refuses 0, among them), and by
 * the process calls for a negative limit or grace; everything else that
 * fails gives nullopt with errno and the report.  Nothing is refused for
 * being large: a time limit above LONG_MAX milliseconds means no limit,
 * and a grace above it LONG_MAX.  The
 * command and start_spec forms and start_options refuse a NUL byte in any
 * argument, target, directory, environment entry or change, lookup path or
 * comspec (stage REQUEST): nothing starts with a string cut short.  The
 * line forms keep the parse rule.
 *
 * Not thread-safe, for the reasons given in cmdline.h.
 */
#ifndef CMDKIT_HPP
#define CMDKIT_HPP

#if !defined(__cplusplus) || (defined(_MSVC_LANG) ? _MSVC_LANG : __cplusplus) < 201703L
#error "cmdkit.hpp needs C++17; C programs include cmdline.h"
#endif

#include "cmdline.h"
#include "cmdrun.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX // no min and max macros from here on
#define CMDKIT_DEFINED_NOMINMAX
#endif
#include <windows.h>
#ifdef CMDKIT_DEFINED_NOMINMAX
#undef NOMINMAX
#undef CMDKIT_DEFINED_NOMINMAX
#endif
#else
#include <fcntl.h>
#include <unistd.h>
#endif

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

// A pipeline from data for start, run and capture: its targets are plain
// file names, used as they are (cmdkit::pipeline, from a parse, keeps the
// quotes of its targets).
struct start_spec {
    std::vector<command> commands;
    std::optional<std::string> input{}, output{};
    bool append = false;
};

// How a pipeline is started (cmdkit_start_options in cmdrun.h).
struct start_options {
    unsigned flags = 0;                                    // CMDKIT_START_... from cmdrun.h
    std::optional<lookup_options> lookup{};                // nullopt: the careful default
    std::optional<std::string> directory{};                // nullopt: the caller's
    std::optional<std::vector<std::string>> environment{}; // nullopt: the caller's
    // Captures: bytes for the first command's input (refused by start and run).
    std::optional<std::string> input{};
    std::vector<std::string> environment_changes{}; // "NAME=value" sets, "NAME" removes
    std::size_t max_output = 0;                     // captures: output and errors kept, 0: no bound
    // Where the standard streams go (cmdkit_stream), as in C.
    cmdkit_stream input_stream{}, output_stream{}, errors_stream{};
    // What a time limit gives the pipeline before the kill (cmdkit_stop).
    std::chrono::milliseconds grace{0};
    // The caller's descriptors (POSIX) or inheritable handles (Windows)
    // every command gets besides the standard three (cmdkit_start_options).
    std::vector<intptr_t> extra_handles{};
};

enum class wait_result { ended, timed_out, failed };
// How a stop went: every command ended within the grace, or one had to be
// killed, or the stop could not be made (a moved-from process).
enum class stop_result { stopped, killed, failed };

// A pipeline's output and the exit cmdkit_run would give; capture checks
// no exit status, and its name does not pretend to.
struct captured {
    std::string output;
    cmdkit_exit status;
    std::string errors; // empty when they went elsewhere
    bool timed_out = false;
    bool truncated = false;
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

// Fills the report as C fills it, as far as its size reaches.
inline void note_failure(cmdkit_failure *failure, int stage, std::string_view message) {
    if (failure == nullptr || failure->size < offsetof(cmdkit_failure, message))
        return;
    failure->stage = stage;
    failure->index = -1;
    failure->error = EINVAL;
    failure->system_error = EINVAL;
    if (failure->size >= sizeof *failure) {
        // Cut before a UTF-8 continuation byte, never inside a character.
        // In parentheses, safe from the min macro of a windows.h included before.
        std::size_t length = (std::min)(message.size(), sizeof failure->message - 1);
        while (length < message.size() && length > 0 &&
               (static_cast<unsigned char>(message[length]) & 0xC0) == 0x80)
            --length;
        message.copy(failure->message, length);
        failure->message[length] = '\0';
    }
}

// A refusal of the request: the report filled as C fills it, then thrown.
[[noreturn]] inline void refuse(cmdkit_failure *failure, const char *what) {
    note_failure(failure, CMDKIT_FAILED_REQUEST, what);
    errno = EINVAL;
    throw std::invalid_argument(what);
}

inline bool has_nul(const std::optional<std::string> &text) {
    return text && text->find('\0') != std::string::npos;
}

// A time limit for C: -1 for none, and for one above LONG_MAX
// milliseconds, which no wait outlives.  A negative one goes on as -2, which
// C refuses in its own words.
inline long c_limit(std::optional<std::chrono::milliseconds> timeout) {
    if (!timeout)
        return -1;
    const auto count = timeout->count();
    if (count < 0)
        return -2;
    return count > LONG_MAX ? -1 : static_cast<long>(count);
}

// A grace for C: above LONG_MAX milliseconds it is LONG_MAX; a negative one
// goes on as -1, which C refuses in its own words.
inline long c_grace(std::chrono::milliseconds grace) {
    const auto count = grace.count();
    return count < 0 ? -1L : count > LONG_MAX ? LONG_MAX : static_cast<long>(count);
}

// The limits of the calls that have no report: a negative one is refused
// with C's words, and a grace as C would take it.
inline long limit_of(std::optional<std::chrono::milliseconds> timeout) {
    if (timeout && timeout->count() < 0)
        throw std::invalid_argument("Refused: a negative time limit.");
    return c_limit(timeout);
}

// When a limit from now ends, or nullopt for none; a limit past the
// clock's end is that end, so no sum overflows.
inline std::optional<std::chrono::steady_clock::time_point>
deadline_after(std::optional<std::chrono::milliseconds> timeout) {
    if (!timeout || c_limit(timeout) < 0)
        return std::nullopt;
    const auto now = std::chrono::steady_clock::now();
    const auto room = std::chrono::steady_clock::time_point::max() - now;
    if (*timeout >= std::chrono::duration_cast<std::chrono::milliseconds>(room))
        return std::chrono::steady_clock::time_point::max();
    return now + *timeout;
}

// What is left of a deadline in milliseconds for C, rounded up and at
// most LONG_MAX; -1 for none.
inline long left_until(std::optional<std::chrono::steady_clock::time_point> deadline) {
    if (!deadline)
        return -1;
    const auto now = std::chrono::steady_clock::now();
    if (now >= *deadline)
        return 0;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - now).count();
    return left > LONG_MAX ? LONG_MAX : static_cast<long>(left);
}

// A null-terminated list over the caller's strings; `nul` is set when
// one holds a NUL byte.
inline std::vector<const char *> c_list(const std::vector<std::string> &entries, bool &nul) {
    std::vector<const char *> list;
    list.reserve(entries.size() + 1);
    for (const std::string &entry : entries) {
        nul = nul || entry.find('\0') != std::string::npos;
        list.push_back(entry.c_str());
    }
    list.push_back(nullptr);
    return list;
}

// The C options over the C++ values, which must outlive it.
class c_start_options {
  public:
    c_start_options(const start_options &options, cmdkit_failure *failure) {
        bool nul = has_nul(options.directory);
        if (options.lookup)
            nul = nul || has_nul(options.lookup->path) || has_nul(options.lookup->comspec);
        if (options.environment)
            environment_ = c_list(*options.environment, nul);
        changes_ = c_list(options.environment_changes, nul);
        if (nul)
            refuse(failure, "Refused: a NUL byte in the start options.");
        options_.flags = options.flags;
        options_.directory = c_str_or_null(options.directory);
        options_.environment = options.environment ? environment_.data() : nullptr;
        options_.environment_changes =
            options.environment_changes.empty() ? nullptr : changes_.data();
        options_.input = options.input_stream;
        options_.output = options.output_stream;
        options_.errors = options.errors_stream;
        options_.grace_ms = c_grace(options.grace);
        options_.extra_handles =
            options.extra_handles.empty() ? nullptr : options.extra_handles.data();
        options_.extra_count = options.extra_handles.size();
        if (options.lookup) {
            lookup_.flags = options.lookup->flags;
            lookup_.path = c_str_or_null(options.lookup->path);
            lookup_.comspec = c_str_or_null(options.lookup->comspec);
            options_.lookup = &lookup_;
        }
    }
    c_start_options(const c_start_options &) = delete;
    c_start_options &operator=(const c_start_options &) = delete;
    const cmdkit_start_options *get() const { return &options_; }

  private:
    cmdkit_start_options options_ = CMDKIT_START_OPTIONS_INIT;
    cmdkit_lookup_options lookup_ = CMDKIT_LOOKUP_OPTIONS_INIT;
    std::vector<const char *> environment_;
    std::vector<const char *> changes_;
};

// The C pipeline over a start_spec, which must outlive it.
class c_start_pipeline {
  public:
    c_start_pipeline(const start_spec &wanted, cmdkit_failure *failure) : list_(wanted.commands) {
        bool nul = has_nul(wanted.input) || has_nul(wanted.output);
        for (const command &arguments : wanted.commands)
            nul = nul || holds_nul(arguments);
        if (nul)
            refuse(failure, "Refused: a NUL byte in the pipeline.");
        pipeline_.commands = list_.get();
        pipeline_.count = static_cast<int>(wanted.commands.size());
        pipeline_.input = const_cast<char *>(c_str_or_null(wanted.input));
        pipeline_.output = const_cast<char *>(c_str_or_null(wanted.output));
        pipeline_.append = wanted.append ? 1 : 0;
    }
    const cmdkit_pipeline *get() const { return &pipeline_; }

  private:
    c_command_list list_;
    cmdkit_pipeline pipeline_ = CMDKIT_PIPELINE_INIT;
};

// The last text the library sends the trace sink while it lives, passed
// on to the sink installed before; stop() puts that sink back early.
class last_message {
  public:
    last_message() {
        ::cmdkit_get_trace(&previous_, &previous_context_);
        ::cmdkit_set_trace(&last_message::keep, this);
    }
    ~last_message() { stop(); }
    last_message(const last_message &) = delete;
    last_message &operator=(const last_message &) = delete;
    void stop() {
        if (!stopped_)
            ::cmdkit_set_trace(previous_, previous_context_);
        stopped_ = true;
    }
    // Without the line feed a trace line ends with.
    std::string_view text() const {
        std::string_view kept(last_);
        return !kept.empty() && kept.back() == '\n' ? kept.substr(0, kept.size() - 1) : kept;
    }

  private:
    static void keep(void *context, const char *text, std::size_t length) noexcept {
        auto *self = static_cast<last_message *>(context);
        self->last_.assign(text, length);
        if (self->previous_ != nullptr)
            self->previous_(self->previous_context_, text, length);
    }

    cmdkit_trace_fn previous_ = nullptr;
    void *previous_context_ = nullptr;
    bool stopped_ = false;
    std::string last_;
};

// C's failure report, copied into the caller's as far as its size reaches;
// a refused request is thrown with C's message.
template <typename Call> int reported(cmdkit_failure *failure, Call call) {
    cmdkit_failure own = CMDKIT_FAILURE_INIT;
    const bool without_message = failure != nullptr &&
                                 failure->size >= offsetof(cmdkit_failure, message) &&
                                 failure->size < sizeof *failure;
    cmdkit_failure *report = failure == nullptr || without_message ? &own : failure;
    const int result = call(report);
    if (without_message) {
        failure->stage = own.stage;
        failure->index = own.index;
        failure->error = own.error;
        failure->system_error = own.system_error;
    }
    if (result < 0 && report->stage == CMDKIT_FAILED_REQUEST) {
        errno = EINVAL;
        throw std::invalid_argument(report->message);
    }
    return result;
}

inline start_spec one_command(const command &arguments) {
    return start_spec{{arguments}, std::nullopt, std::nullopt, false};
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

// A started pipeline, which it kills and reaps when it goes out of scope
// (cmdkit_free_process): nothing the pipeline contains is left running.
class process {
  public:
    process() = default;
    explicit process(cmdkit_process *started) : process_(started) {}
    ~process() { ::cmdkit_free_process(process_); }
    process(process &&other) noexcept
        : process_(other.process_), held_{std::move(other.held_[0]), std::move(other.held_[1])} {
        other.process_ = nullptr;
    }
    process &operator=(process &&other) noexcept {
        if (this != &other) {
            ::cmdkit_free_process(process_);
            process_ = other.process_;
            other.process_ = nullptr;
            held_[0] = std::move(other.held_[0]);
            held_[1] = std::move(other.held_[1]);
        }
        return *this;
    }
    process(const process &) = delete;
    process &operator=(const process &) = delete;

    // Waits for every command (cmdkit_wait); nullopt, or a limit past
    // LONG_MAX milliseconds: no limit.
    wait_result wait(std::optional<std::chrono::milliseconds> timeout = {}) {
        const long limit = detail::limit_of(timeout);
        if (process_ == nullptr) {
            errno = EINVAL;
            return wait_result::failed;
        }
        const int waited = ::cmdkit_wait(process_, limit);
        return waited == 0   ? wait_result::ended
               : waited == 1 ? wait_result::timed_out
                             : wait_result::failed;
    }

    // What was last seen of command `index` (cmdkit_exit_status).
    std::optional<cmdkit_exit> status(int index) const {
        cmdkit_exit exit{};
        if (process_ == nullptr || ::cmdkit_exit_status(process_, index, &exit) != 0)
            return std::nullopt;
        return exit;
    }

    // The output pipe (or the errors pipe) read to its end, after what the
    // line readers hold of it; nullopt with errno on a failure or when time
    // runs out (ETIMEDOUT).
    std::optional<std::string>
    read_all_output(std::optional<std::chrono::milliseconds> timeout = {}) {
        return read_all(output_side, timeout);
    }
    std::optional<std::string>
    read_all_errors(std::optional<std::chrono::milliseconds> timeout = {}) {
        return read_all(errors_side, timeout);
    }
    [[deprecated("read_all_errors, beside read_all_output")]] std::optional<std::string>
    read_errors(std::optional<std::chrono::milliseconds> timeout = {}) {
        return read_all(errors_side, timeout);
    }

    // One line of the output (or the errors), without its line feed (a
    // carriage return before it stays), within `timeout`; a last line
    // without a line feed is a line too.  True with `line` set.  False at
    // the end (errno 0), when time runs out (ETIMEDOUT) or a read fails
    // (its errno), and for a line longer than `max_line` bytes (EMSGSIZE).
    // Nothing is lost: what was read past a line, or of a line too long,
    // is kept and given first by the next line or whole read of that pipe;
    // get()'s raw reads do not see it.
    bool read_output_line(std::string &line, std::optional<std::chrono::milliseconds> timeout = {},
                          std::size_t max_line = std::size_t{1} << 20) {
        return read_line(output_side, line, timeout, max_line);
    }
    bool read_errors_line(std::string &line, std::optional<std::chrono::milliseconds> timeout = {},
                          std::size_t max_line = std::size_t{1} << 20) {
        return read_line(errors_side, line, timeout, max_line);
    }

    // Writes all of `data` to the input pipe (cmdkit_write_input) unless
    // time runs out or the command stops reading first; returns the count
    // written, with errno (ETIMEDOUT, EPIPE, EINVAL) when it is less.
    std::size_t write_input(std::string_view data,
                            std::optional<std::chrono::milliseconds> timeout = {}) {
        detail::limit_of(timeout);
        const auto deadline = detail::deadline_after(timeout);
        std::size_t written = 0;
        while (written < data.size()) {
            const ptrdiff_t count =
                ::cmdkit_write_input(process_, data.data() + written, data.size() - written,
                                     detail::left_until(deadline));
            if (count < 0)
                break;
            written += static_cast<std::size_t>(count);
        }
        return written;
    }

    // The end of the input for the first command (cmdkit_close_input).
    bool close_input() { return process_ != nullptr && ::cmdkit_close_input(process_) == 0; }

    // The C process, for the calls of cmdrun.h this layer does not wrap
    // (cmdkit_read_ready, a read of what is there); it stays owned here.
    cmdkit_process *get() const noexcept { return process_; }

    // Ends what still runs (cmdkit_kill); false on a moved-from process.
    bool kill() { return process_ != nullptr && ::cmdkit_kill(process_) == 0; }

    // Sends `number` to what still runs (cmdkit_signal; POSIX only): false
    // with errno when it cannot be sent.
    bool signal(int number) {
        if (process_ == nullptr) {
            errno = EINVAL;
            return false;
        }
        return ::cmdkit_signal(process_, number) == 0;
    }

    // The handles an outside event loop watches now (cmdkit_pollables);
    // empty, with errno, when there are none to give.
    std::vector<cmdkit_pollable> pollables() const {
        std::vector<cmdkit_pollable> list;
        if (process_ == nullptr) {
            errno = EINVAL;
            return list;
        }
        for (;;) {
            const int count = ::cmdkit_pollables(process_, list.data(), list.size());
            if (count < 0)
                return {};
            const auto size = static_cast<std::size_t>(count);
            const bool fitted = size <= list.size();
            list.resize(size);
            if (fitted)
                return list;
        }
    }

    // Asks what runs to end, then kills what is left after `grace`
    // (cmdkit_stop; on Windows it kills at once); a grace past LONG_MAX
    // milliseconds is LONG_MAX.
    stop_result stop(std::chrono::milliseconds grace) {
        if (grace.count() < 0)
            throw std::invalid_argument("Refused: a negative grace.");
        if (process_ == nullptr) {
            errno = EINVAL;
            return stop_result::failed;
        }
        return ::cmdkit_stop(process_, detail::c_grace(grace)) == 0 ? stop_result::stopped
                                                                    : stop_result::killed;
    }

  private:
    enum side { output_side, errors_side };

    // What the line readers read of a pipe past the lines they gave:
    // `text` from `begin` on; `ended` once the pipe gave its end.
    struct held_bytes {
        std::string text;
        std::size_t begin = 0;
        bool ended = false;
    };

    // Reads what one more call gives into `held`: false with errno on a
    // failure or a timeout; the end marks it ended.
    bool read_more(side from, held_bytes &held, long limit) {
        if (held.begin > 0 && held.begin * 2 >= held.text.size()) {
            held.text.erase(0, held.begin);
            held.begin = 0;
        }
        char buffer[65536];
        const ptrdiff_t count = (from == output_side ? ::cmdkit_read_output : ::cmdkit_read_errors)(
            process_, buffer, sizeof buffer, limit);
        if (count < 0)
            return false;
        held.ended = count == 0;
        held.text.append(buffer, static_cast<std::size_t>(count));
        return true;
    }

    bool read_line(side from, std::string &line, std::optional<std::chrono::milliseconds> timeout,
                   std::size_t max_line) {
        detail::limit_of(timeout);
        const auto deadline = detail::deadline_after(timeout);
        held_bytes &held = held_[from];
        std::size_t searched = held.begin;
        for (;;) {
            const std::size_t feed = held.text.find('\n', searched);
            const std::size_t end = feed != std::string::npos ? feed : held.text.size();
            if (end - held.begin > max_line) {
                errno = EMSGSIZE;
                return false;
            }
            if (feed != std::string::npos || (held.ended && end > held.begin)) {
                line.assign(held.text, held.begin, end - held.begin);
                held.begin = feed != std::string::npos ? feed + 1 : end;
                return true;
            }
            if (held.ended) {
                errno = 0;
                return false;
            }
            searched = end - held.begin;
            if (!read_more(from, held, detail::left_until(deadline)))
                return false;
            searched += held.begin;
        }
    }

    // Reads until the end, the limit or a failure, after what is held.
    std::optional<std::string> read_all(side from,
                                        std::optional<std::chrono::milliseconds> timeout) {
        detail::limit_of(timeout);
        const auto deadline = detail::deadline_after(timeout);
        held_bytes &held = held_[from];
        while (!held.ended) {
            if (!read_more(from, held, detail::left_until(deadline)))
                return std::nullopt;
        }
        std::string text = held.text.substr(held.begin);
        held = held_bytes{{}, 0, true};
        return text;
    }

    cmdkit_process *process_ = nullptr;
    held_bytes held_[2];
};

namespace detail {

// Starts and runs have no use for what only captures take.
inline void refuse_capture_only(const start_options &options, cmdkit_failure *failure) {
    if (options.input || options.max_output != 0)
        refuse(failure, "Refused: input or max_output given where only a capture takes them.");
}

inline std::optional<process> started(const cmdkit_pipeline *pipeline, const start_options &options,
                                      cmdkit_failure *failure) {
    refuse_capture_only(options, failure);
    const c_start_options c_options(options, failure);
    cmdkit_process *begun = nullptr;
    if (reported(failure, [&](cmdkit_failure *report) {
            return ::cmdkit_start(pipeline, c_options.get(), &begun, report);
        }) != 0)
        return std::nullopt;
    return std::optional<process>(std::in_place, begun);
}

inline std::optional<cmdkit_exit> ran(const cmdkit_pipeline *pipeline, const start_options &options,
                                      std::optional<std::chrono::milliseconds> timeout,
                                      cmdkit_failure *failure) {
    const long limit = c_limit(timeout);
    refuse_capture_only(options, failure);
    const c_start_options c_options(options, failure);
    cmdkit_exit status{};
    if (reported(failure, [&](cmdkit_failure *report) {
            return ::cmdkit_run_pipeline(pipeline, c_options.get(), limit, &status, report);
        }) < 0)
        return std::nullopt;
    return status;
}

// What C captured, as values; the C strings are freed.
inline captured captured_of(cmdkit_captured &result) {
    captured values{std::string(result.output, result.output_length), result.status,
                    result.errors != nullptr ? std::string(result.errors, result.errors_length)
                                             : std::string(),
                    result.timed_out != 0, result.truncated != 0};
    ::cmdkit_clear_captured(&result);
    return values;
}

// cmdkit_capture or cmdkit_capture_pipeline through `call`, which takes the
// options, the input, the limit, the result and the report.
template <typename Call>
std::optional<captured> captured_by(const start_options &options,
                                    std::optional<std::chrono::milliseconds> timeout,
                                    cmdkit_failure *failure, Call call) {
    const long limit = c_limit(timeout);
    const c_start_options c_options(options, failure);
    cmdkit_captured result = CMDKIT_CAPTURED_INIT;
    struct clear {
        cmdkit_captured *result;
        ~clear() { ::cmdkit_clear_captured(result); }
    } cleared{&result};
    const char *input = options.input ? options.input->data() : nullptr;
    const std::size_t length = options.input ? options.input->size() : 0;
    if (reported(failure, [&](cmdkit_failure *report) {
            return call(c_options.get(), input, length, options.max_output, limit, &result, report);
        }) < 0)
        return std::nullopt;
    return captured_of(result);
}

} // namespace detail

// Starts a line, a command or a pipeline from data (cmdkit_start).
inline std::optional<process> start_line(std::string_view line, const start_options &options = {},
                                         cmdkit_failure *failure = nullptr) {
    const std::string text = detail::up_to_nul(line);
    cmdkit_pipeline pipeline = CMDKIT_PIPELINE_INIT;
    detail::last_message parser_said;
    if (::cmdkit_parse_pipeline(text.c_str(), &pipeline) != 0) {
        detail::note_failure(failure, CMDKIT_FAILED_PARSE, parser_said.text());
        errno = EINVAL;
        return std::nullopt;
    }
    parser_said.stop();
    struct clear {
        cmdkit_pipeline *pipeline;
        ~clear() { ::cmdkit_clear_pipeline(pipeline); }
    } cleared{&pipeline};
    return detail::started(&pipeline, options, failure);
}

inline std::optional<process> start(const start_spec &wanted, const start_options &options = {},
                                    cmdkit_failure *failure = nullptr) {
    const detail::c_start_pipeline pipeline(wanted, failure);
    return detail::started(pipeline.get(), options, failure);
}

inline std::optional<process> start(const command &arguments, const start_options &options = {},
                                    cmdkit_failure *failure = nullptr) {
    return start(detail::one_command(arguments), options, failure);
}

// Starts, waits and frees (cmdkit_run, cmdkit_run_pipeline); a time limit
// that killed the pipeline shows as KILLED.
inline std::optional<cmdkit_exit> run_line(std::string_view line, const start_options &options = {},
                                           std::optional<std::chrono::milliseconds> timeout = {},
                                           cmdkit_failure *failure = nullptr) {
    const long limit = detail::c_limit(timeout);
    const detail::c_start_options c_options(options, failure);
    const std::string text = detail::up_to_nul(line);
    cmdkit_exit status{};
    if (detail::reported(failure, [&](cmdkit_failure *report) {
            return ::cmdkit_run(text.c_str(), c_options.get(), limit, &status, report);
        }) < 0)
        return std::nullopt;
    return status;
}

inline std::optional<cmdkit_exit> run(const start_spec &wanted, const start_options &options = {},
                                      std::optional<std::chrono::milliseconds> timeout = {},
                                      cmdkit_failure *failure = nullptr) {
    const detail::c_start_pipeline pipeline(wanted, failure);
    return detail::ran(pipeline.get(), options, timeout, failure);
}

inline std::optional<cmdkit_exit> run(const command &arguments, const start_options &options = {},
                                      std::optional<std::chrono::milliseconds> timeout = {},
                                      cmdkit_failure *failure = nullptr) {
    return run(detail::one_command(arguments), options, timeout, failure);
}

// The output and errors of a line, a command or a pipeline from data, with
// options.input as its input and options.max_output as the bound, and its
// exit (cmdkit_capture, cmdkit_capture_pipeline).
inline std::optional<captured> capture_line(std::string_view line,
                                            const start_options &options = {},
                                            std::optional<std::chrono::milliseconds> timeout = {},
                                            cmdkit_failure *failure = nullptr) {
    const std::string text = detail::up_to_nul(line);
    return detail::captured_by(options, timeout, failure, [&](auto... arguments) {
        return ::cmdkit_capture(text.c_str(), arguments...);
    });
}

inline std::optional<captured> capture(const start_spec &wanted, const start_options &options = {},
                                       std::optional<std::chrono::milliseconds> timeout = {},
                                       cmdkit_failure *failure = nullptr) {
    const detail::c_start_pipeline pipeline(wanted, failure);
    return detail::captured_by(options, timeout, failure, [&](auto... arguments) {
        return ::cmdkit_capture_pipeline(pipeline.get(), arguments...);
    });
}

inline std::optional<captured> capture(const command &arguments, const start_options &options = {},
                                       std::optional<std::chrono::milliseconds> timeout = {},
                                       cmdkit_failure *failure = nullptr) {
    return capture(detail::one_command(arguments), options, timeout, failure);
}

namespace detail {

// A null-terminated vector over the caller's strings for the _argv calls,
// refusing a NUL byte in any of them.
inline std::vector<const char *> c_vector(const std::vector<std::string> &argv,
                                          cmdkit_failure *failure) {
    bool nul = false;
    std::vector<const char *> list = c_list(argv, nul);
    if (nul)
        refuse(failure, "Refused: a NUL byte in the argument vector.");
    return list;
}

} // namespace detail

// One program from data in one call (cmdkit_run_argv, cmdkit_capture_argv):
// `argv` is the program's name and its arguments; an empty one is refused.
inline std::optional<cmdkit_exit> run_argv(const std::vector<std::string> &argv,
                                           const start_options &options = {},
                                           std::optional<std::chrono::milliseconds> timeout = {},
                                           cmdkit_failure *failure = nullptr) {
    detail::refuse_capture_only(options, failure);
    const std::vector<const char *> list = detail::c_vector(argv, failure);
    const detail::c_start_options c_options(options, failure);
    cmdkit_exit status{};
    if (detail::reported(failure, [&](cmdkit_failure *report) {
            return ::cmdkit_run_argv(list.data(), c_options.get(), detail::c_limit(timeout),
                                     &status, report);
        }) < 0)
        return std::nullopt;
    return status;
}

inline std::optional<captured> capture_argv(const std::vector<std::string> &argv,
                                            const start_options &options = {},
                                            std::optional<std::chrono::milliseconds> timeout = {},
                                            cmdkit_failure *failure = nullptr) {
    const std::vector<const char *> list = detail::c_vector(argv, failure);
    return detail::captured_by(options, timeout, failure, [&](auto... arguments) {
        return ::cmdkit_capture_argv(list.data(), arguments...);
    });
}

// One wait over many pipelines (cmdkit_poll, over the C items as they are):
// the number of items with events, 0 when the limit passed (nullopt: none),
// -1 with errno.
inline int poll(std::vector<cmdkit_poll_item> &items,
                std::optional<std::chrono::milliseconds> timeout = {}) {
    return ::cmdkit_poll(items.data(), items.size(), detail::limit_of(timeout));
}

// What cancels a run of many lines (run_all): a pipe on POSIX, whose
// cancel() is one write and safe in a signal handler, or a manual-reset
// event on Windows.  Throws std::system_error when neither can be made.
class canceller {
  public:
    canceller() {
#ifdef _WIN32
        event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (event_ == nullptr)
            throw std::system_error(static_cast<int>(GetLastError()), std::system_category());
#else
        if (pipe(ends_) != 0)
            throw std::system_error(errno, std::generic_category());
        for (int end : ends_) {
            fcntl(end, F_SETFD, FD_CLOEXEC);
            fcntl(end, F_SETFL, O_NONBLOCK);
        }
#endif
    }
    ~canceller() {
#ifdef _WIN32
        CloseHandle(event_);
#else
        close(ends_[0]);
        close(ends_[1]);
#endif
    }
    canceller(const canceller &) = delete;
    canceller &operator=(const canceller &) = delete;

    void cancel() noexcept {
#ifdef _WIN32
        SetEvent(event_);
#else
        const ssize_t written = ::write(ends_[1], "x", 1);
        (void)written; // a full pipe is cancelled already
#endif
    }
    intptr_t handle() const noexcept {
#ifdef _WIN32
        return reinterpret_cast<intptr_t>(event_);
#else
        return ends_[0];
#endif
    }

  private:
#ifdef _WIN32
    HANDLE event_ = nullptr;
#else
    int ends_[2] = {-1, -1};
#endif
};

// How run_all runs (cmdkit_run_all_options): `start` for every job (its
// input and max_output are refused: each job has its own bound here).
struct run_all_options {
    unsigned jobs = 0;  // at most this many at once; 0: one per processor
    unsigned flags = 0; // CMDKIT_ALL_STOP_ON_FAILURE, CMDKIT_ALL_KEEP_ORDER
    std::optional<std::chrono::milliseconds> job_timeout{}; // nullopt: none
    std::size_t max_output = 0;                             // each job's bound; 0: none
    start_options start{};
    canceller *cancel = nullptr;
};

namespace detail {

// A job's result as values, the C strings left to C.
inline captured captured_copy(const cmdkit_captured &result) {
    return captured{std::string(result.output, result.output_length), result.status,
                    result.errors != nullptr ? std::string(result.errors, result.errors_length)
                                             : std::string(),
                    result.timed_out != 0, result.truncated != 0};
}

// The callable behind C's done: what it throws is kept, the first of it,
// and cancels the run; every job is still reported.
template <typename F> struct run_all_call {
    F &done;
    std::exception_ptr thrown{};

    static int call(void *context, std::size_t index, int outcome, const cmdkit_captured *result,
                    const cmdkit_failure *failure) noexcept {
        auto &self = *static_cast<run_all_call *>(context);
        try {
            std::optional<captured> values;
            if (result != nullptr)
                values = captured_copy(*result);
            const bool go_on = self.done(index, outcome, values ? &*values : nullptr, failure);
            return go_on && !self.thrown ? 0 : 1;
        } catch (...) {
            if (!self.thrown)
                self.thrown = std::current_exception();
            return 1;
        }
    }
};

} // namespace detail

// Runs each line as a job (cmdkit_run_all): `done(index, outcome, result,
// failure)` returns true to go on, false to cancel; what it throws is
// thrown again once every job has been stopped and reported.  Returns C's
// 0 or 1; a request C refuses throws std::invalid_argument.
template <typename F>
int run_all(const std::vector<std::string> &lines, const run_all_options &options, F done) {
    if (options.start.input || options.start.max_output != 0)
        detail::refuse(nullptr, "Refused: input or max_output in the start options of a run.");
    bool nul = false;
    const std::vector<const char *> list = detail::c_list(lines, nul);
    if (nul)
        detail::refuse(nullptr, "Refused: a NUL byte in a line.");
    const detail::c_start_options start(options.start, nullptr);
    detail::run_all_call<F> call{done};
    cmdkit_run_all_options c_options = CMDKIT_RUN_ALL_OPTIONS_INIT;
    c_options.jobs = options.jobs;
    c_options.flags = options.flags;
    c_options.job_timeout_ms = detail::c_limit(options.job_timeout);
    c_options.max_output = options.max_output;
    c_options.start = start.get();
    c_options.done = &detail::run_all_call<F>::call;
    c_options.context = &call;
    c_options.cancel_handle = options.cancel != nullptr ? options.cancel->handle() : -1;
    const int result = detail::reported(nullptr, [&](cmdkit_failure *report) {
        return ::cmdkit_run_all(list.data(), lines.size(), &c_options, report);
    });
    if (call.thrown)
        std::rethrow_exception(call.thrown);
    return result;
}

// An exit in words (cmdkit_describe_exit): "exited with 3", "killed"...
inline std::string to_string(const cmdkit_exit &exit) {
    char text[96];
    const std::size_t length = ::cmdkit_describe_exit(&exit, text, sizeof text);
    if (length < sizeof text)
        return std::string(text, length);
    std::string whole(length, '\0');
    ::cmdkit_describe_exit(&exit, whole.data(), length + 1);
    return whole;
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

// UTF-16 from the wide Windows calls as UTF-8 (WTF-8), lone surrogates kept
// (cmdkit_from_utf16).
inline std::string from_utf16(std::wstring_view text) {
    const std::wstring copy(text.substr(0, text.find(L'\0')));
    std::unique_ptr<char, detail::free_memory> bytes(::cmdkit_from_utf16(copy.c_str()));
    return std::string(bytes.get());
}
#endif

} // namespace cmdkit

#endif /* CMDKIT_HPP */
