#include "cmdkit.h"
#include "cmdline_internal.h"
#include "cmdrun.h"
#include "cmdrun_internal.h"
#include "platform.h"
#include "xalloc_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

using namespace cmdkit::internal;

namespace {

constexpr unsigned known_start_flags = CMDKIT_START_NULL_INPUT | CMDKIT_START_ERRORS_TO_OUTPUT |
                                       CMDKIT_START_PIPEFAIL | CMDKIT_START_NEW_GROUP |
                                       CMDKIT_START_NO_WINDOW | CMDKIT_START_CAPTURE_OUTPUT |
                                       CMDKIT_START_TRACE;

const char *const side_names[] = {"input", "output", "errors"};

// Nothing relative to the current directory is searched, a name written
// as a path means that path, and PATH is read as the system reads it.
constexpr unsigned careful_lookup = CMDKIT_LOOKUP_NO_CURRENT_DIRECTORY |
                                    CMDKIT_LOOKUP_DIRECT_PATHS |
                                    CMDKIT_LOOKUP_UNQUOTE_PATH_ENTRIES | CMDKIT_LOOKUP_HOST_RULES;

bool refuse(start_failure &failure, const char *what) {
    return refuse_request(failure, what);
}

// "command 2 (sort)": positions count from 1 for the reader.
void fail_command(start_failure &failure, int stage, int index, int error,
                  unsigned long system_error, const char *name, const char *what,
                  const char *detail = "", const char *end = ".") {
    char position[24];
    std::snprintf(position, sizeof position, "%d", index + 1);
    const char *pieces[] = {"Command ", position, " (", name, "): ", what, detail, end};
    fail(failure, stage, index, error, system_error, pieces, 8);
}

bool has_unknown_bytes(const void *given, size_t size, size_t known) {
    return !acceptable_struct(given, size, known);
}

// The vectors before the null entry must be exactly `count`, each with an
// entry 0; the list is never read past count + 1 entries.  An empty
// command is named by its index in the report.
bool check_commands(const cmdkit_pipeline &pipeline, start_failure &failure) {
    const char *mismatch = "a pipeline whose count does not match its commands";
    if (pipeline.commands == nullptr || pipeline.count < 1)
        return refuse(failure, mismatch);
    for (int i = 0; i < pipeline.count; ++i) {
        if (pipeline.commands[i] == nullptr)
            return refuse(failure, mismatch);
        if (pipeline.commands[i][0] == nullptr) {
            char position[24];
            std::snprintf(position, sizeof position, "%d", i + 1);
            const char *pieces[] = {"Refused: command ", position,
                                    " is empty: its argument vector has no entry 0."};
            fail(failure, CMDKIT_FAILED_REQUEST, i, EINVAL, EINVAL, pieces, 3);
            return false;
        }
    }
    return pipeline.commands[pipeline.count] == nullptr || refuse(failure, mismatch);
}

// Each extra handle is named by its index when it cannot be handed on.
bool check_extra_handles(const cmdkit_start_options &options, start_failure &failure) {
    if (options.extra_count > 0 && options.extra_handles == nullptr)
        return refuse(failure, "extra handles counted but not given");
    for (size_t i = 0; i < options.extra_count; ++i) {
        const char *why = nullptr;
        const int error = os_check_extra_handle(options.extra_handles[i], why);
        if (error == 0)
            continue;
        char index[24];
        std::snprintf(index, sizeof index, "%zu", i);
        const char *pieces[] = {"Refused: extra_handles[", index, "] ", why, "."};
        fail(failure, CMDKIT_FAILED_REQUEST, -1, error, static_cast<unsigned long>(error), pieces,
             5);
        return false;
    }
    return true;
}

// An unknown flag is named by its value, so that a caller built against a
// later version sees which one this version lacks.
bool check_flags(unsigned flags, start_failure &failure) {
    const unsigned unknown = flags & ~known_start_flags;
    if (unknown == 0)
        return true;
    char value[24];
    std::snprintf(value, sizeof value, "0x%x", unknown);
    const char *pieces[] = {"Refused: start flags this version does not know: ", value, "."};
    fail(failure, CMDKIT_FAILED_REQUEST, -1, EINVAL, EINVAL, pieces, 3);
    return false;
}

// One request, one meaning: a stream of its own kind is not also given by
// a flag or a target of the same side.
bool check_stream(const cmdkit_stream &stream, stream_side side, bool flag_or_target,
                  start_failure &failure) {
    const char *name = side_names[side];
    if (stream.kind < CMDKIT_STREAM_DEFAULT || stream.kind > CMDKIT_STREAM_TO_OUTPUT ||
        (stream.kind == CMDKIT_STREAM_TO_OUTPUT && side != errors_side)) {
        const char *pieces[] = {"Refused: an ", name, " stream of a kind it cannot have."};
        fail(failure, CMDKIT_FAILED_REQUEST, -1, EINVAL, EINVAL, pieces, 3);
        return false;
    }
    if (stream.kind != CMDKIT_STREAM_DEFAULT && flag_or_target) {
        const char *pieces[] = {"Refused: an ", name,
                                " stream together with a flag or a target for it."};
        fail(failure, CMDKIT_FAILED_REQUEST, -1, EINVAL, EINVAL, pieces, 3);
        return false;
    }
    const int error = stream.kind == CMDKIT_STREAM_HANDLE ? os_check_handle(stream.handle) : 0;
    if (error != 0) {
        const char *pieces[] = {"Refused: the ", name,
                                error == EBADF ? " handle is not open."
                                               : " handle is a pseudo-handle."};
        fail(failure, CMDKIT_FAILED_REQUEST, -1, error, static_cast<unsigned long>(error), pieces,
             3);
        return false;
    }
    return true;
}

bool check_streams(const cmdkit_pipeline &pipeline, const cmdkit_start_options &options,
                   start_failure &failure) {
    const unsigned flags = options.flags;
    return check_stream(options.input, input_side,
                        (flags & CMDKIT_START_NULL_INPUT) != 0 || pipeline.input != nullptr,
                        failure) &&
           check_stream(options.output, output_side,
                        (flags & CMDKIT_START_CAPTURE_OUTPUT) != 0 || pipeline.output != nullptr,
                        failure) &&
           check_stream(options.errors, errors_side, (flags & CMDKIT_START_ERRORS_TO_OUTPUT) != 0,
                        failure);
}

bool check_request(const cmdkit_pipeline *pipeline, const cmdkit_start_options &options,
                   start_failure &failure) {
    if (pipeline == nullptr || has_unknown_bytes(pipeline, pipeline->size, sizeof *pipeline))
        return refuse(failure, "a pipeline this version does not know");
    if (!check_commands(*pipeline, failure))
        return false;
    if ((pipeline->append != 0 && pipeline->append != 1) ||
        (pipeline->append == 1 && pipeline->output == nullptr))
        return refuse(failure, "an append without an output");
    if (!check_flags(options.flags, failure))
        return false;
    if (options.grace_ms < 0)
        return refuse(failure, "a negative grace");
    if (options.lookup != nullptr && !lookup_options_acceptable(options.lookup))
        return refuse(failure, "lookup options this version does not know");
    return check_environment(options.environment, failure) &&
           check_changes(options.environment_changes, failure) &&
           check_streams(*pipeline, options, failure) && check_extra_handles(options, failure);
}

bool is_program_name(const char *name) {
    const size_t length = std::strlen(name);
    return length != 0 && std::strchr(name, '"') == nullptr && !is_white_space(name[0]) &&
           !is_white_space(name[length - 1]);
}

struct lookup_setting {
    cmdkit_lookup_options options = CMDKIT_LOOKUP_OPTIONS_INIT;
    const char *path = nullptr;
    char *owned_path = nullptr;
    bool searches_current_directory = false;

    ~lookup_setting() { std::free(owned_path); }
};

void settle_lookup(const cmdkit_start_options &given, const char *const *environment,
                   lookup_setting &setting) {
    const cmdkit_lookup_options *lookup = given.lookup;
    if (lookup != nullptr) {
        setting.options.flags = lookup->flags;
        setting.options.path = lookup->path;
    } else {
        setting.options.flags = careful_lookup;
    }
    const unsigned flags = setting.options.flags;
    setting.searches_current_directory =
        (flags & CMDKIT_LOOKUP_NO_CURRENT_DIRECTORY) == 0 &&
        !((flags & CMDKIT_LOOKUP_HOST_RULES) != 0 && platform_has_host_rules);
    // Never the interpreter: a program not found is not started at all.
    setting.options.flags |= CMDKIT_LOOKUP_NO_FALLBACK;
    if (setting.options.path != nullptr) {
        setting.path = setting.options.path;
    } else if (environment != nullptr) {
        setting.path = value_in(environment, "PATH");
    } else {
        setting.owned_path = platform_getenv("PATH");
        setting.path = setting.owned_path;
    }
}

bool find(const lookup_setting &lookup, int index, char *name, prepared_command &command,
          start_failure &failure) {
    if (!is_program_name(name)) {
        fail_command(failure, CMDKIT_FAILED_FIND, index, EINVAL, EINVAL, name,
                     "not a program name");
        return false;
    }
    found_program found;
    if (!find_program(name, &lookup.options, lookup.path, found)) {
        fail_command(failure, CMDKIT_FAILED_FIND, index, ENOENT, ENOENT, name, "not found");
        return false;
    }
    // Windows' rules on a POSIX host name directories with `\`, which the
    // system spells `/`, as the lookup's own existence test does.
    if (platform_has_host_rules && (lookup.options.flags & CMDKIT_LOOKUP_HOST_RULES) == 0) {
        for (char *text : {found.path, found.entry}) {
            for (char *p = text; p != nullptr && *p != '\0'; ++p)
                *p = *p == '\\' ? '/' : *p;
        }
    }
    const bool planted =
        found.entry != nullptr && !lookup.searches_current_directory && os_is_relative(found.entry);
    if (planted) {
        fail_command(failure, CMDKIT_FAILED_FIND, index, ENOENT, ENOENT, name,
                     "refused: found through the relative PATH entry ",
                     *found.entry != '\0' ? found.entry : "(empty)",
                     ", where a program planted relative to the current directory would run; "
                     "make the entry absolute.");
    } else {
        unsigned long system_error = 0;
        command.program = os_absolute_path(found.path, system_error);
        if (command.program == nullptr)
            fail_command(failure, CMDKIT_FAILED_FIND, index, errno, system_error, name,
                         "cannot be made absolute");
    }
    std::free(found.path);
    std::free(found.entry);
    return command.program != nullptr;
}

// A batch file runs in cmd.exe, which would run it in the Windows directory
// from a UNC directory and reads `%cd:~,%` through a CD entry.
bool compose(const start_plan &plan, int index, prepared_command &command, start_failure &failure) {
    char **argv = command.argv;
    const char *name = argv[0];
    if (cmdkit_is_batch_path(command.program)) {
        unsigned long ignored = 0;
        char *current = plan.directory == nullptr ? os_absolute_path(".", ignored) : nullptr;
        const char *directory = plan.directory != nullptr ? plan.directory : current;
        const bool unc = directory != nullptr && std::strncmp(directory, "\\\\", 2) == 0;
        std::free(current);
        if (unc || holds_cd_entry(plan.environment)) {
            fail_command(failure, CMDKIT_FAILED_COMPOSE, index, EINVAL, EINVAL, name,
                         unc ? "a batch file cannot run in a UNC directory"
                             : "a batch file cannot run with a CD environment entry");
            return false;
        }
        // The caller's vector is only read: the path found goes into a copy.
        size_t count = 0;
        while (argv[count] != nullptr)
            ++count;
        auto **copy = static_cast<char **>(checked_malloc((count + 1) * sizeof(char *)));
        std::memcpy(copy, argv, (count + 1) * sizeof(char *));
        copy[0] = command.program;
        command.line = argv_to_batch_cmdline(copy);
        std::free(copy);
        command.application = os_interpreter_path();
    } else {
        command.line = argv_to_windows_cmdline(argv);
        command.application = checked_strdup(command.program);
    }
    if (command.line == nullptr) {
        const int error = errno;
        fail_command(failure, CMDKIT_FAILED_COMPOSE, index, error,
                     static_cast<unsigned long>(error), name,
                     "no command line can be written: ", std::strerror(error));
        return false;
    }
    return true;
}

void release(start_plan &plan) {
    for (int i = 0; i < plan.count; ++i) {
        std::free(plan.commands[i].program);
        std::free(plan.commands[i].application);
        std::free(plan.commands[i].line);
    }
    std::free(plan.commands);
    std::free(plan.directory);
    std::free(plan.merged);
    if (plan.owned != nullptr) {
        for (char **entry = plan.owned; *entry != nullptr; ++entry)
            std::free(*entry);
        std::free(plan.owned);
    }
    plan = start_plan{};
}

// The flags said in the kinds of the streams, so that each side is chosen
// in one place; a target still wins over them.
void settle_streams(const cmdkit_start_options &options, start_plan &plan) {
    const cmdkit_stream asked[] = {options.input, options.output, options.errors};
    const struct {
        unsigned flag;
        int kind;
    } flags[] = {{CMDKIT_START_NULL_INPUT, CMDKIT_STREAM_NULL},
                 {CMDKIT_START_CAPTURE_OUTPUT, CMDKIT_STREAM_PIPE},
                 {CMDKIT_START_ERRORS_TO_OUTPUT, CMDKIT_STREAM_TO_OUTPUT}};
    for (int side = 0; side < 3; ++side) {
        plan.streams[side] = asked[side];
        if (asked[side].kind == CMDKIT_STREAM_DEFAULT && (options.flags & flags[side].flag) != 0)
            plan.streams[side].kind = flags[side].kind;
    }
}

bool prepare(const cmdkit_pipeline &pipeline, const cmdkit_start_options &options, start_plan &plan,
             start_failure &failure) {
    plan.pipeline = &pipeline;
    plan.flags = options.flags | (plan.contained ? CMDKIT_START_NEW_GROUP : 0u);
    plan.extra_handles = options.extra_handles;
    plan.extra_count = options.extra_count;
    settle_streams(options, plan);
    merge_environment(options, plan);
    if (options.directory != nullptr) {
        unsigned long system_error = 0;
        plan.directory = os_absolute_path(options.directory, system_error);
        if (plan.directory == nullptr) {
            const char *pieces[] = {"Directory ", options.directory,
                                    " cannot be used: ", std::strerror(errno), "."};
            fail(failure, CMDKIT_FAILED_DIRECTORY, -1, errno, system_error, pieces, 5);
            return false;
        }
    }
    lookup_setting lookup;
    settle_lookup(options, plan.environment, lookup);
    plan.commands = static_cast<prepared_command *>(
        checked_malloc(static_cast<size_t>(pipeline.count) * sizeof(prepared_command)));
    for (int i = 0; i < pipeline.count; ++i)
        plan.commands[i] = prepared_command{pipeline.commands[i]};
    plan.count = pipeline.count;
    for (int i = 0; i < pipeline.count; ++i) {
        if (!find(lookup, i, pipeline.commands[i][0], plan.commands[i], failure))
            return false;
        if (os_composes_lines && !compose(plan, i, plan.commands[i], failure))
            return false;
    }
    return true;
}

// The handles the start opens and must close again, whatever happens.
struct opened_handles {
    os_handle input = no_handle;
    os_handle output = no_handle;
    os_handle null_device = no_handle;
    os_handle pipe_read = no_handle;  // for the next command
    os_handle pipe_write = no_handle; // for the command being started
    // Per side: the caller's stream or handle copied, and the commands'
    // end of a pipe the caller reads or writes.
    os_handle copies[3] = {no_handle, no_handle, no_handle};
    os_handle pipe_ends[3] = {no_handle, no_handle, no_handle};
    bool caller_streams_known = false;
    bool caller_open[3] = {false, false, false};
    // What the commands get for the caller's extra handles, closed here
    // when they are copies.
    os_handle *extras = nullptr;
    size_t extra_count = 0;
    bool extras_owned = false;

    ~opened_handles() {
        for (os_handle handle : {input, output, null_device, pipe_read, pipe_write})
            os_close(handle);
        for (int side = 0; side < 3; ++side) {
            os_close(copies[side]);
            os_close(pipe_ends[side]);
        }
        for (size_t i = 0; extras_owned && i < extra_count; ++i)
            os_close(extras[i]);
        std::free(extras);
    }
};

bool open_target(const char *name, const char *directory, int kind, os_handle &handle,
                 start_failure &failure) {
    unsigned long system_error = 0;
    if (os_open_target(name, directory, kind, handle, system_error))
        return true;
    const int error = errno;
    const char *pieces[] = {kind == 0 ? "Input file " : "Output file ", name,
                            " cannot be opened: ", std::strerror(error), "."};
    fail(failure, kind == 0 ? CMDKIT_FAILED_INPUT : CMDKIT_FAILED_OUTPUT, -1, error, system_error,
         pieces, 5);
    return false;
}

bool fail_system(start_failure &failure, unsigned long system_error) {
    const int error = errno;
    const char *pieces[] = {"The pipeline could not be set up: ", std::strerror(error), "."};
    fail(failure, CMDKIT_FAILED_SYSTEM, -1, error, system_error, pieces, 3);
    return false;
}

bool null_device(opened_handles &opened, os_handle &stream, start_failure &failure) {
    unsigned long system_error = 0;
    if (opened.null_device == no_handle && !os_open_null_device(opened.null_device, system_error))
        return fail_system(failure, system_error);
    stream = opened.null_device;
    return true;
}

// The caller's standard stream, or the null device where the caller has
// closed it.
bool caller_stream(stream_side side, opened_handles &opened, os_handle &stream,
                   start_failure &failure) {
    if (!opened.caller_streams_known) {
        os_caller_streams(opened.caller_open);
        opened.caller_streams_known = true;
    }
    unsigned long system_error = 0;
    bool owned = false;
    stream = no_handle;
    if (opened.caller_open[side] && !os_caller_stream(side, stream, owned, system_error)) {
        static const char *const names[] = {"input", "output", "error"};
        const int error = errno;
        const char *pieces[] = {"The caller's standard ", names[side],
                                " could not be copied: ", std::strerror(error), "."};
        fail(failure, CMDKIT_FAILED_SYSTEM, -1, error, system_error, pieces, 5);
        return false;
    }
    if (owned)
        opened.copies[side] = stream;
    return stream != no_handle || null_device(opened, stream, failure);
}

// A copy of the caller's own handle: one closed meanwhile is the request's
// fault, any other failure the system's.
bool handle_copy(const cmdkit_stream &asked, stream_side side, opened_handles &opened,
                 os_handle &stream, start_failure &failure) {
    unsigned long system_error = 0;
    if (!os_copy_handle(asked.handle, opened.copies[side], system_error)) {
        const int error = errno;
        const char *pieces[] = {"The ", side_names[side],
                                " handle could not be copied: ", std::strerror(error), "."};
        fail(failure, error == EBADF ? CMDKIT_FAILED_REQUEST : CMDKIT_FAILED_SYSTEM, -1, error,
             system_error, pieces, 5);
        return false;
    }
    stream = opened.copies[side];
    return true;
}

bool caller_pipe(cmdkit_process *process, stream_side side, opened_handles &opened,
                 os_handle &stream, start_failure &failure) {
    unsigned long system_error = 0;
    os_handle own = no_handle;
    if (!os_make_caller_pipe(side, own, opened.pipe_ends[side], system_error))
        return fail_system(failure, system_error);
    os_keep_pipe(process, side, own);
    stream = opened.pipe_ends[side];
    return true;
}

// What one side gets when no target decides it; `output` is the last
// command's output, where TO_OUTPUT sends the errors.
bool side_stream(cmdkit_process *process, const start_plan &plan, stream_side side,
                 os_handle output, opened_handles &opened, os_handle &stream,
                 start_failure &failure) {
    const cmdkit_stream &asked = plan.streams[side];
    switch (asked.kind) {
    case CMDKIT_STREAM_NULL:
        return null_device(opened, stream, failure);
    case CMDKIT_STREAM_PIPE:
        return caller_pipe(process, side, opened, stream, failure);
    case CMDKIT_STREAM_HANDLE:
        return handle_copy(asked, side, opened, stream, failure);
    case CMDKIT_STREAM_TO_OUTPUT:
        stream = output;
        return true;
    default:
        return caller_stream(side, opened, stream, failure);
    }
}

bool extra_handles(const start_plan &plan, opened_handles &opened, start_failure &failure) {
    if (plan.extra_count == 0)
        return true;
    opened.extras = static_cast<os_handle *>(checked_malloc(plan.extra_count * sizeof(os_handle)));
    for (size_t i = 0; i < plan.extra_count; ++i)
        opened.extras[i] = no_handle;
    opened.extra_count = plan.extra_count;
    unsigned long system_error = 0;
    return os_extra_handles(plan, opened.extras, opened.extras_owned, system_error) ||
           fail_system(failure, system_error);
}

bool start_all(cmdkit_process *process, const start_plan &plan, start_failure &failure) {
    const cmdkit_pipeline &pipeline = *plan.pipeline;
    opened_handles opened;
    if (!extra_handles(plan, opened, failure))
        return false;
    if (pipeline.input != nullptr &&
        !open_target(pipeline.input, plan.directory, 0, opened.input, failure))
        return false;
    if (pipeline.output != nullptr &&
        !open_target(pipeline.output, plan.directory, pipeline.append != 0 ? 2 : 1, opened.output,
                     failure))
        return false;
    os_handle first_input = opened.input;
    os_handle last_output = opened.output;
    os_handle errors = no_handle;
    if (first_input == no_handle &&
        !side_stream(process, plan, input_side, no_handle, opened, first_input, failure))
        return false;
    if (last_output == no_handle &&
        !side_stream(process, plan, output_side, no_handle, opened, last_output, failure))
        return false;
    if (!side_stream(process, plan, errors_side, last_output, opened, errors, failure))
        return false;

    for (int i = 0; i < plan.count; ++i) {
        command_streams streams;
        streams.input = i == 0 ? first_input : opened.pipe_read;
        streams.errors = errors;
        streams.extras = opened.extras;
        streams.extra_count = opened.extra_count;
        if (i + 1 < plan.count) {
            unsigned long system_error = 0;
            os_handle next_read = no_handle;
            if (!os_make_pipe(next_read, opened.pipe_write, system_error))
                return fail_system(failure, system_error);
            streams.output = opened.pipe_write;
            const bool started = os_start_command(process, plan, i, streams, failure);
            // The parent's copies of the ends handed over close at once, so
            // that every reader sees the end when its writers end.
            os_close(opened.pipe_read);
            os_close(opened.pipe_write);
            opened.pipe_write = no_handle;
            opened.pipe_read = next_read;
            if (!started)
                return false;
        } else {
            streams.output = last_output;
            if (!os_start_command(process, plan, i, streams, failure))
                return false;
        }
    }
    return true;
}

} // namespace

namespace cmdkit::internal {

namespace {

// The first versions of the options, whose sizes callers built against
// them pass.
struct start_options_first_version {
    size_t size;
    unsigned flags;
    const cmdkit_lookup_options *lookup;
    const char *directory;
    const char *const *environment;
};
struct start_options_second_version {
    start_options_first_version first;
    cmdkit_stream input;
    cmdkit_stream output;
    cmdkit_stream errors;
    const char *const *environment_changes;
};
struct start_options_third_version {
    start_options_second_version second;
    long grace_ms;
};

} // namespace

void record_end(command_state &state, bool signaled, unsigned long code) {
    if (state.exit.state != CMDKIT_EXIT_RUNNING)
        return;
    state.exit.state = state.kill_requested ? CMDKIT_EXIT_KILLED
                       : signaled           ? CMDKIT_EXIT_SIGNALED
                                            : CMDKIT_EXIT_EXITED;
    state.exit.code = code;
}

bool read_start_options(const cmdkit_start_options *given, cmdkit_start_options &options) {
    const cmdkit_start_options defaults = CMDKIT_START_OPTIONS_INIT;
    if (given == nullptr) {
        options = defaults;
        return true;
    }
    const size_t size = given->size;
    const bool earlier = size == sizeof(start_options_first_version) ||
                         size == sizeof(start_options_second_version) ||
                         size == sizeof(start_options_third_version);
    if (!earlier && !acceptable_struct(given, size, sizeof options))
        return false;
    options = cmdkit_start_options{};
    std::memcpy(&options, given, earlier ? size : sizeof options);
    options.size = sizeof options;
    return true;
}

cmdkit_exit reported_exit(const cmdkit_process *process, bool pipefail) {
    int count = 0;
    const command_state *states = os_states(process, count);
    if (pipefail) {
        for (int i = count - 1; i >= 0; --i) {
            const cmdkit_exit &exit = states[i].exit;
            if (exit.state != CMDKIT_EXIT_EXITED || exit.code != 0)
                return exit;
        }
    }
    return states[count - 1].exit;
}

int start_pipeline(const cmdkit_pipeline *pipeline, const cmdkit_start_options &options,
                   bool contained, cmdkit_process **process, start_failure &failure) {
    *process = nullptr;
    if (!check_request(pipeline, options, failure))
        return -1;
    start_plan plan;
    plan.contained = contained;
    cmdkit_process *started = nullptr;
    if (prepare(*pipeline, options, plan, failure) && os_check_directory(plan.directory, failure)) {
        started = os_new_process(plan);
        if (!start_all(started, plan, failure)) {
            const int error = errno;
            os_free_process(started);
            started = nullptr;
            errno = error;
        }
    }
    const int error = errno;
    release(plan);
    errno = error;
    *process = started;
    return started != nullptr ? 0 : -1;
}

} // namespace cmdkit::internal

extern "C" int cmdkit_start(const cmdkit_pipeline *pipeline, const cmdkit_start_options *options,
                            cmdkit_process **process, cmdkit_failure *failure) {
    if (process != nullptr)
        *process = nullptr;
    return reporting(
        options, failure,
        [&](const cmdkit_start_options &settled, const held_traces &, start_failure &outcome) {
            if (process == nullptr) {
                refuse(outcome, "no place for the process");
                return -1;
            }
            return start_pipeline(pipeline, settled, false, process, outcome);
        });
}
