#include "cmdkit.h"
#include "cmdline.h"
#include "cmdline_internal.h"
#include "platform.h"
#include "xalloc_internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

using namespace cmdkit::internal;

namespace {

// Room for 127 commands and the terminator to begin with; longer pipelines
// grow the list instead of being refused.
constexpr size_t initial_list_capacity = 128;

// The pipeline being built.  The vector of the command under construction
// lives in list[index] from its first word on and has no terminator until
// the command ends.
struct pipeline_builder {
    char ***list = nullptr;
    size_t capacity = 0;
    size_t index = 0;
    size_t entries = 0;
    bool vector_started = false;
};

char *copy_unquoted(const char *begin, const char *end) {
    auto length = static_cast<size_t>(end - begin);
    return unquote_word(static_cast<char *>(checked_malloc(length + 1)), begin, end);
}

char *copy_raw(const char *begin, const char *end) {
    auto length = static_cast<size_t>(end - begin);
    char *copy = static_cast<char *>(checked_malloc(length + 1));
    std::memcpy(copy, begin, length);
    copy[length] = '\0';
    return copy;
}

void start_list(pipeline_builder &builder) {
    builder.capacity = initial_list_capacity;
    builder.list = static_cast<char ***>(checked_malloc(builder.capacity * sizeof(char **)));
    builder.list[0] = nullptr;
}

// Keeps room for the current command's entry and the list terminator after it.
void make_room_for_command(pipeline_builder &builder) {
    if (builder.index + 2 <= builder.capacity)
        return;
    builder.capacity *= 2;
    builder.list =
        static_cast<char ***>(checked_realloc(builder.list, builder.capacity * sizeof(char **)));
}

void start_command(pipeline_builder &builder, char *name) {
    make_room_for_command(builder);
    char **vector = static_cast<char **>(checked_malloc(sizeof(char *)));
    vector[0] = name;
    builder.list[builder.index] = vector;
    builder.entries = 1;
    builder.vector_started = true;
}

// Vectors grow one entry at a time, exactly as long as their content.
void append_entry(pipeline_builder &builder, char *entry) {
    char **vector = builder.list[builder.index];
    vector = static_cast<char **>(checked_realloc(vector, (builder.entries + 1) * sizeof(char *)));
    vector[builder.entries++] = entry;
    builder.list[builder.index] = vector;
}

void end_command(pipeline_builder &builder) {
    append_entry(builder, nullptr);
    builder.vector_started = false;
    ++builder.index;
}

void free_vector(char **vector, size_t entries) {
    for (size_t i = 0; i < entries; ++i)
        std::free(vector[i]);
    std::free(vector);
}

void free_terminated_vector(char **vector) {
    size_t entries = 0;
    while (vector[entries] != nullptr)
        ++entries;
    free_vector(vector, entries);
}

void discard(pipeline_builder &builder) {
    for (size_t i = 0; i < builder.index; ++i)
        free_terminated_vector(builder.list[i]);
    if (builder.vector_started)
        free_vector(builder.list[builder.index], builder.entries);
    std::free(builder.list);
    builder = pipeline_builder{};
}

// Traces `label`, the text from `text` to the end of the line, and a line
// feed, as one line.  Every token repeats the rest of the line, so the
// lengths come from the line's end instead of being measured again, and
// nothing is assembled at all while tracing is off.
template <size_t label_size>
void trace(trace_line &line, const char (&label)[label_size], const char *text,
           const char *line_end) {
    if (line_end == nullptr || !tracing())
        return;
    line.put(label, label_size - 1).put(text, static_cast<size_t>(line_end - text)).put("\n", 1);
    line.send();
}

// Reports a rule violation; `invalid` says whether errno becomes EINVAL
// (callers have long told the two kinds of message apart by it).
bool refuse(const char *message, bool invalid) {
    trace_text(message);
    if (invalid)
        errno = EINVAL;
    return false;
}

bool only_white_space(const char *text) {
    while (is_white_space(*text))
        ++text;
    return *text == '\0';
}

struct parse_state {
    parse_details *details;
    const char *line;
    const char *line_end;
    const char *cursor;
    char **input;
    char **output;
    pipeline_builder builder;
    trace_line trace;
    bool expecting_command = true;
    int previous_kind = 0;
    int current_kind = 0;
};

bool take_word(parse_state &state, const char *start, const char *end) {
    // After a `<` or `>` target another word is ambiguous: it could be meant
    // as a second target.  After `>>` it is taken as an argument.
    if (state.previous_kind == TOKEN_REDIRECT_IN || state.previous_kind == TOKEN_REDIRECT_OUT)
        return refuse("Ambigous input/output redirect.", false);
    char *word = copy_unquoted(start, end);
    if (state.expecting_command) {
        start_command(state.builder, word);
        if (word[0] == '(') {
            if (messages_wanted()) {
                state.trace.put("parse_cmdline(").put(state.line);
                state.trace.put("): Parenthesized groups not allowed.\n").send();
            }
            return false;
        }
        state.expecting_command = false;
    } else {
        append_entry(state.builder, word);
    }
    state.cursor = end;
    return true;
}

bool take_redirection(parse_state &state, int kind, const char *operator_end) {
    char **slot = kind == TOKEN_REDIRECT_IN ? state.input : state.output;
    // Every shell feeds the file to the command it is written on; the first
    // command is the only one that can read it, so anywhere else it would
    // go to the wrong command.
    if (kind == TOKEN_REDIRECT_IN && state.details->input_on_first_command &&
        state.builder.index > 0)
        return refuse("Input redirect after a pipe: the input file belongs to the first command.",
                      true);
    if (*slot != nullptr)
        return refuse(kind == TOKEN_REDIRECT_IN ? "Ambiguous input redirect."
                                                : "Ambiguous output redirect.",
                      true);
    // The target is read here and never traced; the current kind stays the
    // operator's, which is what the next word is checked against.
    const char *start = nullptr;
    const char *end = nullptr;
    if (next_token(operator_end, &start, &end) != TOKEN_WORD)
        return refuse("Target of redirect is not a filename.", true);
    *slot = copy_raw(start, end);
    if (kind != TOKEN_REDIRECT_IN)
        state.details->append = kind == TOKEN_REDIRECT_APPEND;
    state.cursor = end;
    return true;
}

bool take_pipe(parse_state &state, const char *end) {
    if (*state.output != nullptr)
        return refuse("Ambiguous output redirect.", true);
    if (state.expecting_command)
        return refuse("No command name seen.", true);
    end_command(state.builder);
    state.expecting_command = true;
    state.cursor = end;
    return true;
}

bool finish(parse_state &state) {
    if (state.expecting_command)
        return refuse("No command name seen.", true);
    end_command(state.builder);
    state.builder.list[state.builder.index] = nullptr;
    return true;
}

// Runs the token loop; returns true when the line ended (or reached a
// separator) with every rule kept.
bool parse_tokens(parse_state &state) {
    for (;;) {
        state.previous_kind = state.current_kind;
        const char *start = nullptr;
        const char *end = nullptr;
        state.current_kind = next_token(state.cursor, &start, &end);
        trace(state.trace, "token = ", start, state.line_end);
        bool kept = true;
        switch (state.current_kind) {
        case TOKEN_WORD:
            kept = take_word(state, start, end);
            break;
        case TOKEN_REDIRECT_IN:
        case TOKEN_REDIRECT_OUT:
        case TOKEN_REDIRECT_APPEND:
            kept = take_redirection(state, state.current_kind, end);
            break;
        case TOKEN_PIPE:
            kept = take_pipe(state, end);
            break;
        case TOKEN_SEPARATOR:
            if (state.details->whole_line && !only_white_space(end))
                return refuse("Text after a separator would not run.", true);
            return finish(state);
        case TOKEN_END:
            return finish(state);
        default:
            return refuse("Unmatched quote character.", true);
        }
        if (!kept)
            return false;
    }
}

} // namespace

extern "C" void free_pipeline(char ***list) {
    if (list == nullptr)
        return;
    for (char ***command = list; *command != nullptr; ++command)
        free_terminated_vector(*command);
    std::free(list);
}

extern "C" char ***parse_cmdline(const char *line, char **input, char **output, int *count) {
    parse_details details;
    return parse_line(line, input, output, count, details);
}

char ***cmdkit::internal::parse_line(const char *line, char **input, char **output, int *count,
                                     parse_details &details) {
    // Targets the caller did not ask for are still parsed, so the rules about
    // them hold, and are freed before returning.
    char *unwanted_input = nullptr;
    char *unwanted_output = nullptr;
    parse_state state{};
    state.details = &details;
    state.line = line;
    state.cursor = line;
    state.input = input != nullptr ? input : &unwanted_input;
    state.output = output != nullptr ? output : &unwanted_output;
    *state.input = nullptr;
    *state.output = nullptr;
    if (count != nullptr)
        *count = 0;
    if (line == nullptr) {
        errno = EINVAL;
        return nullptr;
    }

    // The end of the line is only needed for the traces, which repeat the
    // rest of the line at every token; silenced, the line is not measured.
    state.line_end = tracing() ? line + std::strlen(line) : nullptr;
    if (state.line_end != nullptr)
        state.trace.reserve(sizeof "token = " + static_cast<size_t>(state.line_end - line));
    start_list(state.builder);
    trace(state.trace, "line = ", line, state.line_end);
    bool parsed = parse_tokens(state);
    if (!parsed)
        discard(state.builder);
    else if (count != nullptr)
        *count = static_cast<int>(state.builder.index);

    std::free(unwanted_input);
    std::free(unwanted_output);
    return state.builder.list;
}
