#include "cmdkit.h"
#include "cmdline.h"
#include "cmdline_internal.h"
#include "cmdrun_internal.h"
#include "platform.h"
#include "process_win32.h"
#include "wtf8.h"
#include "xalloc_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>
#include <windows.h>

using namespace cmdkit::internal;

#ifdef CMDKIT_ALLOC_SEAM
// Test builds: while set, job assignments fail as on a system that refuses
// nested jobs (Wine always allows them).
extern "C" {
int cmdkit_refuse_job_assignment = 0;
// While set, copies of the caller's standard handles fail as on a system
// out of handles (Wine cannot run out).
int cmdkit_refuse_stream_copy = 0;
}
#endif

namespace {

struct wide_text {
    wchar_t *units = nullptr;
    explicit wide_text(const char *text)
        : units(text != nullptr ? cmdkit_to_utf16(text) : nullptr) {}
    ~wide_text() { std::free(units); }
    wide_text(const wide_text &) = delete;
    wide_text &operator=(const wide_text &) = delete;
};

char *narrow(const wchar_t *units, size_t count) {
    auto *text = static_cast<char *>(checked_malloc(3 * count + 1));
    text[utf16_to_wtf8(units, count, text)] = '\0';
    return text;
}

// errno from the system's last error, which stays in `system_error`.
int set_errno_from_system(unsigned long &system_error) {
    system_error = GetLastError();
    errno = errno_of_windows_error(system_error);
    return errno;
}

// The name part of a UTF-16 entry, up to the `=` after its first unit.
size_t name_length(const wchar_t *entry) {
    const wchar_t *equals = entry[0] != L'\0' ? std::wcschr(entry + 1, L'=') : nullptr;
    return equals != nullptr ? static_cast<size_t>(equals - entry) : 0;
}

// Ordinally, each unit upper-cased, never by locale: the system's rule.
int compare_names(const wchar_t *a, const wchar_t *b) {
    const int order = CompareStringOrdinal(a, static_cast<int>(name_length(a)), b,
                                           static_cast<int>(name_length(b)), TRUE);
    return order - CSTR_EQUAL;
}

// The entries in UTF-16, sorted by name; null when one is not WTF-8.
wchar_t **sorted_entries(const char *const *environment, size_t &count) {
    count = 0;
    while (environment[count] != nullptr)
        ++count;
    auto **entries = static_cast<wchar_t **>(checked_malloc((count + 1) * sizeof(wchar_t *)));
    for (size_t i = 0; i < count; ++i) {
        entries[i] = cmdkit_to_utf16(environment[i]);
        if (entries[i] == nullptr) {
            for (size_t j = 0; j < i; ++j)
                std::free(entries[j]);
            std::free(entries);
            return nullptr;
        }
    }
    std::sort(entries, entries + count,
              [](const wchar_t *a, const wchar_t *b) { return compare_names(a, b) < 0; });
    return entries;
}

void free_entries(wchar_t **entries, size_t count) {
    for (size_t i = 0; i < count; ++i)
        std::free(entries[i]);
    std::free(entries);
}

// Entries one after the other, each with its NUL, and one NUL more: two
// units even for an empty environment.
wchar_t *environment_block(const char *const *environment) {
    size_t count = 0;
    wchar_t **entries = sorted_entries(environment, count);
    size_t units = 2;
    for (size_t i = 0; i < count; ++i)
        units += std::wcslen(entries[i]) + 1;
    auto *block = static_cast<wchar_t *>(checked_malloc(units * sizeof(wchar_t)));
    wchar_t *at = block;
    for (size_t i = 0; i < count; ++i) {
        const size_t length = std::wcslen(entries[i]) + 1;
        std::wmemcpy(at, entries[i], length);
        at += length;
    }
    at[0] = L'\0';
    at[1] = L'\0';
    free_entries(entries, count);
    return block;
}

bool is_absolute(const char *path) {
    const bool drive = has_drive_prefix(path) && (path[2] == '\\' || path[2] == '/');
    return drive || ((path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/'));
}

bool assign_to_job(cmdkit_process *process, HANDLE child, unsigned long &system_error) {
#ifdef CMDKIT_ALLOC_SEAM
    if (cmdkit_refuse_job_assignment != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        system_error = ERROR_ACCESS_DENIED;
        return false;
    }
#endif
    if (AssignProcessToJobObject(process->job, child))
        return true;
    system_error = GetLastError();
    return false;
}

// One job per pipeline, tried with the first command: everything the
// commands start stays in it, dies with it, and no error dialog can hold an
// unattended wait.  A system that refuses the job (ERROR_ACCESS_DENIED)
// gets a pipeline without one; any other failure fails the start.
bool contain(cmdkit_process *process, HANDLE child, unsigned long &system_error) {
    if (!process->job_tried) {
        process->job_tried = true;
        process->job = CreateJobObjectW(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE |
                                                  JOB_OBJECT_LIMIT_BREAKAWAY_OK |
                                                  JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
        if (process->job == nullptr ||
            !SetInformationJobObject(process->job, JobObjectExtendedLimitInformation, &limits,
                                     sizeof limits)) {
            system_error = GetLastError();
            return false;
        }
        if (assign_to_job(process, child, system_error))
            return true;
        CloseHandle(process->job);
        process->job = nullptr;
        if (system_error != ERROR_ACCESS_DENIED || process->job_required)
            return false;
        trace_text("The pipeline runs without a job: the system refused one.");
        return true;
    }
    return process->job == nullptr || assign_to_job(process, child, system_error);
}

// The attribute list that makes the child inherit these handles and no
// other, whatever else the process holds as inheritable.
// The caller's extra handles go into the list as they are, each once: the
// commands see them at the caller's values.
struct inherited_handles {
    HANDLE duplicates[3] = {};
    size_t count = 0;
    HANDLE *listed = nullptr; // the duplicates, then the extra handles
    LPPROC_THREAD_ATTRIBUTE_LIST attributes = nullptr;

    ~inherited_handles() {
        if (attributes != nullptr) {
            DeleteProcThreadAttributeList(attributes);
            std::free(attributes);
        }
        for (size_t i = 0; i < count; ++i)
            CloseHandle(duplicates[i]);
        std::free(listed);
    }

    bool make(const handle_list &list, const command_streams &streams) {
        for (size_t i = 0; i < list.count; ++i) {
            if (!DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>(list.handles[i]),
                                 GetCurrentProcess(), &duplicates[count], 0, TRUE,
                                 DUPLICATE_SAME_ACCESS))
                return false;
            ++count;
        }
        listed =
            static_cast<HANDLE *>(checked_malloc((count + streams.extra_count) * sizeof(HANDLE)));
        size_t listed_count = count;
        std::copy(duplicates, duplicates + count, listed);
        for (size_t k = 0; k < streams.extra_count; ++k) {
            HANDLE extra = reinterpret_cast<HANDLE>(streams.extras[k]);
            if (std::find(listed, listed + listed_count, extra) == listed + listed_count)
                listed[listed_count++] = extra;
        }
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        attributes = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(checked_malloc(size));
        if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size)) {
            std::free(attributes);
            attributes = nullptr;
            return false;
        }
        return UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, listed,
                                         listed_count * sizeof(HANDLE), nullptr, nullptr);
    }
};

bool fail_start(start_failure &failure, int index, const char *name, unsigned long system_error,
                int stage) {
    errno = errno_of_windows_error(system_error);
    char position[24];
    std::snprintf(position, sizeof position, "%d", index + 1);
    const char *pieces[] = {
        "Command ", position, " (", name, ") could not be started: ", std::strerror(errno), "."};
    fail(failure, stage, index, errno, system_error, pieces, 7);
    return false;
}

ptrdiff_t take(pipe_reader &reader, char *buffer, size_t size) {
    const DWORD count = static_cast<DWORD>(std::min<size_t>(size, reader.end - reader.begin));
    std::memcpy(buffer, reader.buffer + reader.begin, count);
    reader.begin += count;
    return static_cast<ptrdiff_t>(count);
}

ptrdiff_t failed_read(pipe_reader &reader) {
    errno = errno_of_windows_error(reader.failure);
    return -1;
}

VOID CALLBACK close_when_written(PVOID context, BOOLEAN) {
    auto *writer = static_cast<pipe_writer *>(context);
    DWORD count = 0;
    GetOverlappedResult(writer->pipe, &writer->overlapped, &count, TRUE);
    CloseHandle(writer->pipe);
    InterlockedExchange(&writer->closed_late, 1);
}

// A pending operation is cancelled and its end awaited before the buffer
// and the OVERLAPPED it uses go.
void cancel_pending(HANDLE pipe, OVERLAPPED &overlapped) {
    DWORD count = 0;
    CancelIoEx(pipe, &overlapped);
    GetOverlappedResult(pipe, &overlapped, &count, TRUE);
}

// Our end of a pipe: what is pending cancelled and awaited, then closed,
// with its event and buffer.
void release_end(HANDLE pipe, bool pending, OVERLAPPED &overlapped, HANDLE event, char *buffer) {
    if (pipe != nullptr) {
        if (pending)
            cancel_pending(pipe, overlapped);
        CloseHandle(pipe);
    }
    if (event != nullptr)
        CloseHandle(event);
    std::free(buffer);
}

void release_reader(pipe_reader &reader) {
    release_end(reader.pipe, reader.pending, reader.overlapped, reader.event, reader.buffer);
}

// The thread pool's close, when one was asked for, is over once its wait
// is unregistered.
void release_writer(pipe_writer &writer) {
    if (writer.wait != nullptr)
        UnregisterWaitEx(writer.wait, INVALID_HANDLE_VALUE);
    const bool closed = InterlockedCompareExchange(&writer.closed_late, 0, 0) != 0;
    release_end(closed ? nullptr : writer.pipe, writer.pending, writer.overlapped, writer.event,
                writer.buffer);
}

} // namespace

namespace cmdkit::internal {

const bool os_composes_lines = true;

// Sees, without waiting, which commands have ended.
void collect(cmdkit_process *process) {
    for (int i = 0; i < process->count; ++i) {
        command_state &state = process->states[i];
        HANDLE child = process->handles[i];
        if (child == nullptr || state.exit.state != CMDKIT_EXIT_RUNNING ||
            WaitForSingleObject(child, 0) != WAIT_OBJECT_0)
            continue;
        DWORD code = 0;
        GetExitCodeProcess(child, &code);
        record_end(state, false, code);
    }
}

// Milliseconds left of `timeout_ms` (-1: none) since `start`, for a wait.
DWORD time_left(ULONGLONG start, long timeout_ms) {
    if (timeout_ms < 0)
        return INFINITE;
    const ULONGLONG spent = GetTickCount64() - start;
    const ULONGLONG limit = static_cast<ULONGLONG>(timeout_ms);
    return static_cast<DWORD>(std::min<ULONGLONG>(spent < limit ? limit - spent : 0, INFINITE - 1));
}

bool is_broken_pipe(DWORD error) {
    return error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA || error == ERROR_HANDLE_EOF ||
           error == ERROR_PIPE_NOT_CONNECTED;
}

// Issues the pending read unless one is pending, data is held or the pipe
// has ended.
void start_read(pipe_reader &reader) {
    if (reader.pending || reader.ended || reader.failure != 0 || reader.begin < reader.end)
        return;
    reader.overlapped = OVERLAPPED{};
    reader.overlapped.hEvent = reader.event;
    ResetEvent(reader.event);
    if (ReadFile(reader.pipe, reader.buffer, pipe_buffer_size, nullptr, &reader.overlapped) ||
        GetLastError() == ERROR_IO_PENDING) {
        reader.pending = true;
        return;
    }
    const DWORD error = GetLastError();
    reader.ended = is_broken_pipe(error);
    reader.failure = reader.ended ? 0 : error;
}

// Takes the result of a read whose event is set; a read of 0 bytes is no
// end (the end is a broken pipe) and the next one is issued later.
void complete_read(pipe_reader &reader) {
    if (!reader.pending)
        return;
    DWORD count = 0;
    if (GetOverlappedResult(reader.pipe, &reader.overlapped, &count, FALSE)) {
        reader.pending = false;
        reader.begin = 0;
        reader.end = count;
        return;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_IO_INCOMPLETE)
        return;
    reader.pending = false;
    reader.ended = is_broken_pipe(error);
    reader.failure = reader.ended ? 0 : error;
}

// Waits at most `limit` for the pending write; false when it is still
// pending.  A write that failed marks the pipe broken.
bool settle_write(pipe_writer &writer, DWORD limit) {
    if (!writer.pending)
        return true;
    if (WaitForSingleObject(writer.event, limit) == WAIT_TIMEOUT)
        return false;
    DWORD count = 0;
    if (!GetOverlappedResult(writer.pipe, &writer.overlapped, &count, TRUE))
        writer.broken = true;
    writer.pending = false;
    return true;
}

int64_t os_now_ms() {
    return static_cast<int64_t>(GetTickCount64());
}

char *os_absolute_path(const char *path, unsigned long &system_error) {
    system_path wide;
    if (!wide.assign(path)) {
        system_error = ERROR_INVALID_NAME;
        errno = EINVAL;
        return nullptr;
    }
    const DWORD size = GetFullPathNameW(wide.get(), 0, nullptr, nullptr);
    auto *full = static_cast<wchar_t *>(checked_malloc((size + 1) * sizeof(wchar_t)));
    const DWORD written = size != 0 ? GetFullPathNameW(wide.get(), size, full, nullptr) : 0;
    if (written == 0 || written >= size) {
        set_errno_from_system(system_error);
        std::free(full);
        return nullptr;
    }
    char *absolute = narrow(full, written);
    std::free(full);
    return absolute;
}

bool os_is_relative(const char *entry) {
    return !is_absolute(entry);
}

// Each name converted once into one block; a unit count never passes the
// byte count.
void *os_name_keys(const char *const *names, const size_t *lengths, size_t count, name_key *keys) {
    size_t total = 0;
    for (size_t i = 0; i < count; ++i)
        total += lengths[i];
    auto *block = static_cast<wchar_t *>(checked_malloc((total + 1) * sizeof(wchar_t)));
    wchar_t *at = block;
    for (size_t i = 0; i < count; ++i) {
        size_t units = 0;
        const bool valid = wtf8_to_utf16(names[i], lengths[i], at, units);
        keys[i] = name_key{at, valid ? units : 0, valid};
        at += valid ? units : 0;
    }
    return block;
}

// Ordinally, each unit upper-cased, never by locale: the system's rule; a
// name that is not WTF-8 after any that is.
int os_compare_keys(const name_key &a, const name_key &b) {
    if (!a.valid || !b.valid)
        return static_cast<int>(!a.valid) - static_cast<int>(!b.valid);
    return CompareStringOrdinal(static_cast<const wchar_t *>(a.units), static_cast<int>(a.length),
                                static_cast<const wchar_t *>(b.units), static_cast<int>(b.length),
                                TRUE) -
           CSTR_EQUAL;
}

int os_compare_names(const char *a, size_t a_length, const char *b, size_t b_length) {
    const char *names[] = {a, b};
    const size_t lengths[] = {a_length, b_length};
    name_key keys[2];
    void *storage = os_name_keys(names, lengths, 2, keys);
    const int order = os_compare_keys(keys[0], keys[1]);
    std::free(storage);
    return order;
}

bool os_check_environment(const char *const *environment, start_failure &failure) {
    for (const char *const *entry = environment; *entry != nullptr; ++entry) {
        wide_text wide(*entry);
        if (wide.units == nullptr) {
            const char *pieces[] = {"Refused: an environment entry that is not UTF-8."};
            fail(failure, CMDKIT_FAILED_REQUEST, -1, EINVAL, EINVAL, pieces, 1);
            return false;
        }
    }
    return true;
}

char *os_interpreter_path() {
    wchar_t folder[MAX_PATH + 16];
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return checked_strdup("C:\\Windows\\System32\\cmd.exe");
    std::wcscpy(folder + length, L"\\cmd.exe");
    return narrow(folder, length + 8);
}

bool os_check_directory(const char *directory, start_failure &failure) {
    if (directory == nullptr)
        return true;
    wide_text wide(directory);
    unsigned long system_error = ERROR_INVALID_NAME;
    int error = EINVAL;
    if (wide.units != nullptr && std::wcslen(wide.units) > MAX_PATH - 1) {
        system_error = ERROR_FILENAME_EXCED_RANGE;
        error = ENAMETOOLONG;
    } else if (wide.units != nullptr) {
        const DWORD attributes = GetFileAttributesW(wide.units);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            return true;
        system_error = attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_DIRECTORY;
        error = errno_of_windows_error(system_error);
    }
    const char *pieces[] = {"Directory ", directory, " cannot be used: ", std::strerror(error),
                            "."};
    fail(failure, CMDKIT_FAILED_DIRECTORY, -1, error, system_error, pieces, 5);
    return false;
}

// A bare device name is the device wherever the commands run.
bool os_open_target(const char *name, const char *directory, int kind, os_handle &handle,
                    unsigned long &system_error) {
    const bool device =
        std::strpbrk(name, "\\/:") == nullptr && is_device_name(name, std::strlen(name));
    const bool join = directory != nullptr && !device && !is_absolute(name) &&
                      !has_drive_prefix(name) && name[0] != '\\' && name[0] != '/';
    char *path = join ? join3(directory, "\\", name) : checked_strdup(name);
    system_path wide;
    const bool named = wide.assign(path);
    std::free(path);
    if (!named) {
        system_error = ERROR_INVALID_NAME;
        errno = EINVAL;
        return false;
    }
    static const DWORD access[] = {GENERIC_READ, GENERIC_WRITE, FILE_APPEND_DATA | SYNCHRONIZE};
    static const DWORD disposition[] = {OPEN_EXISTING, CREATE_ALWAYS, OPEN_ALWAYS};
    HANDLE file = CreateFileW(wide.get(), access[kind],
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              disposition[kind], FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        set_errno_from_system(system_error);
        return false;
    }
    handle = reinterpret_cast<os_handle>(file);
    return true;
}

bool os_open_null_device(os_handle &handle, unsigned long &system_error) {
    HANDLE device =
        CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        set_errno_from_system(system_error);
        return false;
    }
    handle = reinterpret_cast<os_handle>(device);
    return true;
}

bool os_make_pipe(os_handle &read_end, os_handle &write_end, unsigned long &system_error) {
    HANDLE ends[2];
    if (!CreatePipe(&ends[0], &ends[1], nullptr, 0)) {
        set_errno_from_system(system_error);
        return false;
    }
    read_end = reinterpret_cast<os_handle>(ends[0]);
    write_end = reinterpret_cast<os_handle>(ends[1]);
    return true;
}

// A standard handle that is NULL or a pseudo-handle value, or that is no
// handle at all (ERROR_INVALID_HANDLE), is a closed stream: duplicating
// INVALID_HANDLE_VALUE would give the child a handle to this process.  Any
// other failure to copy it fails the start.
const DWORD standard_slots[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};

void os_caller_streams(bool open[3]) {
    for (int i = 0; i < 3; ++i)
        open[i] =
            !is_absent_handle_value(reinterpret_cast<uintptr_t>(GetStdHandle(standard_slots[i])));
}

bool os_caller_stream(int which, os_handle &copy, bool &owned, unsigned long &system_error) {
    copy = no_handle;
    owned = true;
    HANDLE stream = GetStdHandle(standard_slots[which]);
    if (is_absent_handle_value(reinterpret_cast<uintptr_t>(stream)))
        return true;
    HANDLE duplicate = nullptr;
#ifdef CMDKIT_ALLOC_SEAM
    if (cmdkit_refuse_stream_copy != 0) {
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    } else
#endif
        if (DuplicateHandle(GetCurrentProcess(), stream, GetCurrentProcess(), &duplicate, 0, FALSE,
                            DUPLICATE_SAME_ACCESS)) {
        copy = reinterpret_cast<os_handle>(duplicate);
        return true;
    }
    if (GetLastError() == ERROR_INVALID_HANDLE)
        return true;
    set_errno_from_system(system_error);
    return false;
}

char **os_caller_environment(bool &owned) {
    owned = true;
    wchar_t *block = GetEnvironmentStringsW();
    size_t count = 0;
    for (const wchar_t *entry = block; entry != nullptr && *entry != L'\0';
         entry += std::wcslen(entry) + 1)
        ++count;
    auto **entries = static_cast<char **>(checked_malloc((count + 1) * sizeof(char *)));
    size_t at = 0;
    for (const wchar_t *entry = block; at < count; entry += std::wcslen(entry) + 1)
        entries[at++] = narrow(entry, std::wcslen(entry));
    entries[count] = nullptr;
    if (block != nullptr)
        FreeEnvironmentStringsW(block);
    return entries;
}

// No Windows program ends by a signal.
const char *os_signal_name(unsigned long) {
    return nullptr;
}

// The exception codes a crashed or refused program ends with, as the
// system's own messages name them.
const char *os_exit_code_name(unsigned long code) {
    static const struct {
        unsigned long code;
        const char *name;
    } names[] = {
        {0x80000003ul, "breakpoint"},
        {0xC0000005ul, "access violation"},
        {0xC0000017ul, "out of memory"},
        {0xC000001Dul, "illegal instruction"},
        {0xC000008Eul, "floating-point division by zero"},
        {0xC0000094ul, "integer division by zero"},
        {0xC0000095ul, "integer overflow"},
        {0xC0000096ul, "privileged instruction"},
        {0xC00000FDul, "stack overflow"},
        {0xC0000135ul, "a DLL was not found"},
        {0xC0000139ul, "an entry point was not found"},
        {0xC000013Aul, "Ctrl+C"},
        {0xC0000142ul, "a DLL failed to initialise"},
        {0xC0000374ul, "heap corruption"},
        {0xC0000409ul, "stack buffer overrun"},
    };
    for (const auto &known : names) {
        if (known.code == code)
            return known.name;
    }
    return nullptr;
}

// Codes with the top bit set are the system's status values, written in hex.
bool os_exit_code_in_hex(unsigned long code) {
    return code >= 0x80000000ul;
}

// NULL is no handle at all; the other pseudo-handle values name this
// process or thread, which no command may get.
int os_check_handle(intptr_t handle) {
    const auto value = static_cast<uintptr_t>(handle);
    if (value == 0)
        return EBADF;
    if (is_absent_handle_value(value))
        return EINVAL;
    DWORD flags = 0;
    return GetHandleInformation(reinterpret_cast<HANDLE>(handle), &flags) ? 0 : EBADF;
}

bool os_copy_handle(intptr_t handle, os_handle &copy, unsigned long &system_error) {
    HANDLE duplicate = nullptr;
    copy = no_handle;
    if (!DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>(handle), GetCurrentProcess(),
                         &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        set_errno_from_system(system_error);
        if (system_error == ERROR_INVALID_HANDLE)
            errno = EBADF;
        return false;
    }
    copy = reinterpret_cast<os_handle>(duplicate);
    return true;
}

int os_check_extra_handle(intptr_t handle, const char *&why) {
    const auto value = static_cast<uintptr_t>(handle);
    DWORD flags = 0;
    why = value != 0 && is_absent_handle_value(value) ? "is a pseudo-handle" : "is not open";
    if (value == 0 || is_absent_handle_value(value) ||
        !GetHandleInformation(reinterpret_cast<HANDLE>(handle), &flags))
        return EBADF;
    // Wine takes a handle that is not inheritable into the list without a
    // word; Windows refuses the start.  Either way the request is unclear.
    why = "is not inheritable";
    return (flags & HANDLE_FLAG_INHERIT) != 0 ? 0 : EINVAL;
}

// The commands get the caller's own handles, at the caller's values.
bool os_extra_handles(const start_plan &plan, os_handle *handles, bool &owned, unsigned long &) {
    owned = false;
    for (size_t i = 0; i < plan.extra_count; ++i)
        handles[i] = plan.extra_handles[i];
    return true;
}

void os_close(os_handle handle) {
    if (handle != no_handle && handle != 0)
        CloseHandle(reinterpret_cast<HANDLE>(handle));
}

cmdkit_process *os_new_process(const start_plan &plan) {
    auto *process = static_cast<cmdkit_process *>(checked_malloc(sizeof(cmdkit_process)));
    new (process) cmdkit_process();
    InitializeCriticalSection(&process->lock);
    process->count = plan.count;
    const auto count = static_cast<size_t>(plan.count);
    process->states = static_cast<command_state *>(checked_malloc(count * sizeof(command_state)));
    process->handles = static_cast<HANDLE *>(checked_malloc(count * sizeof(HANDLE)));
    for (size_t i = 0; i < count; ++i) {
        process->states[i] = command_state{};
        process->handles[i] = nullptr;
    }
    process->creation_flags = EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT |
                              CREATE_SUSPENDED |
                              ((plan.flags & CMDKIT_START_NO_WINDOW) != 0 ? CREATE_NO_WINDOW : 0);
    if (plan.environment != nullptr)
        process->environment = environment_block(plan.environment);
    for (int side = 0; side < 3; ++side)
        process->pipe_asked[side] = plan.streams[side].kind == CMDKIT_STREAM_PIPE;
    process->job_required = plan.contained;
    return process;
}

// Created suspended, put in the job, then resumed: nothing it starts can
// escape the job.
bool os_start_command(cmdkit_process *process, const start_plan &plan, int index,
                      const command_streams &streams, start_failure &failure) {
    const prepared_command &command = plan.commands[index];
    const uintptr_t standard[3] = {static_cast<uintptr_t>(streams.input),
                                   static_cast<uintptr_t>(streams.output),
                                   static_cast<uintptr_t>(streams.errors)};
    const handle_list list = build_handle_list(standard, 0);
    inherited_handles inherited;
    if (!inherited.make(list, streams))
        return fail_start(failure, index, command.argv[0], GetLastError(), CMDKIT_FAILED_SYSTEM);
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = inherited.duplicates[list.slot[0]];
    startup.StartupInfo.hStdOutput = inherited.duplicates[list.slot[1]];
    startup.StartupInfo.hStdError = inherited.duplicates[list.slot[2]];
    startup.lpAttributeList = inherited.attributes;
    wide_text application(command.application);
    wide_text line(command.line);
    wide_text directory(plan.directory);
    PROCESS_INFORMATION started{};
    if (application.units == nullptr || line.units == nullptr ||
        !CreateProcessW(application.units, line.units, nullptr, nullptr, TRUE,
                        process->creation_flags, process->environment, directory.units,
                        &startup.StartupInfo, &started))
        return fail_start(failure, index, command.argv[0],
                          application.units == nullptr || line.units == nullptr ? ERROR_INVALID_NAME
                                                                                : GetLastError(),
                          CMDKIT_FAILED_START);
    unsigned long system_error = 0;
    if (!contain(process, started.hProcess, system_error)) {
        TerminateProcess(started.hProcess, 1);
        WaitForSingleObject(started.hProcess, INFINITE);
        CloseHandle(started.hThread);
        CloseHandle(started.hProcess);
        return fail_start(failure, index, command.argv[0], system_error, CMDKIT_FAILED_SYSTEM);
    }
    ResumeThread(started.hThread);
    CloseHandle(started.hThread);
    locked guard(process);
    process->handles[index] = started.hProcess;
    return true;
}

// Waits command by command, so a pipeline of any length is covered.
int os_wait(cmdkit_process *process, long timeout_ms, int &) {
    const ULONGLONG start = GetTickCount64();
    for (int i = 0; i < process->count; ++i) {
        HANDLE child = process->handles[i];
        if (child == nullptr)
            continue;
        DWORD limit = INFINITE;
        if (timeout_ms >= 0) {
            const ULONGLONG spent = GetTickCount64() - start;
            const ULONGLONG left = static_cast<ULONGLONG>(timeout_ms) > spent
                                       ? static_cast<ULONGLONG>(timeout_ms) - spent
                                       : 0;
            limit = static_cast<DWORD>(std::min<ULONGLONG>(left, INFINITE - 1));
        }
        const DWORD waited = WaitForSingleObject(child, limit);
        {
            locked guard(process);
            collect(process);
        }
        if (waited == WAIT_TIMEOUT)
            return 1;
    }
    return 0;
}

bool os_kill(cmdkit_process *process) {
    locked guard(process);
    collect(process);
    bool running = false;
    for (int i = 0; i < process->count; ++i) {
        command_state &state = process->states[i];
        if (process->handles[i] != nullptr && state.exit.state == CMDKIT_EXIT_RUNNING) {
            state.kill_requested = true;
            running = true;
            // A process that ended meanwhile may refuse: that is success.
            if (process->job == nullptr)
                TerminateProcess(process->handles[i], 1);
        }
    }
    if (process->job != nullptr)
        TerminateJobObject(process->job, 1);
    return running;
}

// No signal exists that every Windows program honours: the stop kills.
bool os_terminate(cmdkit_process *) {
    return false;
}

void os_free_process(cmdkit_process *process) {
    os_kill(process);
    int ignored = -1;
    os_wait(process, -1, ignored);
    for (int i = 0; i < process->count; ++i) {
        if (process->handles[i] != nullptr)
            CloseHandle(process->handles[i]);
    }
    if (process->job != nullptr)
        CloseHandle(process->job);
    release_writer(process->input);
    for (pipe_reader &reader : process->readers)
        release_reader(reader);
    DeleteCriticalSection(&process->lock);
    std::free(process->states);
    std::free(process->handles);
    std::free(process->environment);
    process->~cmdkit_process();
    std::free(process);
}

// A pipe of our own making, never one that exists already: a name with our
// process id, a counter and bits of the clock, created as its first
// instance, local clients only.  Its server end, ours, is overlapped, so
// that reads and writes can wait with a limit; the client end is the
// commands'.
bool os_make_caller_pipe(stream_side side, os_handle &own_end, os_handle &command_end,
                         unsigned long &system_error) {
    static volatile LONG counter = 0;
    const bool inbound = side != input_side;
    for (int attempt = 0; attempt < 16; ++attempt) {
        LARGE_INTEGER ticks{};
        QueryPerformanceCounter(&ticks);
        wchar_t name[96];
        std::swprintf(name, sizeof name / sizeof name[0], L"\\\\.\\pipe\\cmdkit-%lu-%ld-%llx",
                      GetCurrentProcessId(), InterlockedIncrement(&counter),
                      static_cast<unsigned long long>(ticks.QuadPart) * 0x9E3779B97F4A7C15ull);
        HANDLE server = CreateNamedPipeW(
            name,
            (inbound ? PIPE_ACCESS_INBOUND : PIPE_ACCESS_OUTBOUND) | FILE_FLAG_OVERLAPPED |
                FILE_FLAG_FIRST_PIPE_INSTANCE,
            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
            inbound ? 0 : pipe_buffer_size, inbound ? pipe_buffer_size : 0, 0, nullptr);
        if (server == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            if (error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY)
                continue;
            set_errno_from_system(system_error);
            return false;
        }
        HANDLE client = CreateFileW(name, inbound ? GENERIC_WRITE : GENERIC_READ, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        if (client == INVALID_HANDLE_VALUE) {
            set_errno_from_system(system_error);
            CloseHandle(server);
            return false;
        }
        own_end = reinterpret_cast<os_handle>(server);
        command_end = reinterpret_cast<os_handle>(client);
        return true;
    }
    system_error = ERROR_PIPE_BUSY;
    errno = EIO;
    return false;
}

void os_keep_pipe(cmdkit_process *process, stream_side side, os_handle own_end) {
    HANDLE pipe = reinterpret_cast<HANDLE>(own_end);
    // The input's event is set while a write would be accepted: from the
    // start, and again whenever the write in flight is done.
    HANDLE event = CreateEventW(nullptr, TRUE, side == input_side ? TRUE : FALSE, nullptr);
    auto *buffer = static_cast<char *>(checked_malloc(pipe_buffer_size));
    if (side == input_side) {
        process->input.pipe = pipe;
        process->input.event = event;
        process->input.buffer = buffer;
    } else {
        process->readers[side].pipe = pipe;
        process->readers[side].event = event;
        process->readers[side].buffer = buffer;
    }
}

bool os_has_pipe(const cmdkit_process *process, stream_side side) {
    return process->pipe_asked[side];
}

bool os_pipe_ended(const cmdkit_process *process, stream_side side) {
    const pipe_reader &reader = process->readers[side];
    return reader.pipe == nullptr || (reader.ended && reader.begin == reader.end);
}

ptrdiff_t os_read_pipe(cmdkit_process *process, stream_side side, char *buffer, size_t size,
                       long timeout_ms) {
    pipe_reader &reader = process->readers[side];
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        // What was taken to the last byte makes way for the next read at
        // once: the reader's event, which a loop may watch, is then set
        // only while there is something to take.
        if (reader.begin < reader.end) {
            const ptrdiff_t taken = take(reader, buffer, size);
            start_read(reader);
            return taken;
        }
        if (reader.failure != 0)
            return failed_read(reader);
        if (reader.pipe == nullptr || reader.ended)
            return 0;
        start_read(reader);
        if (reader.pending &&
            WaitForSingleObject(reader.event, time_left(start, timeout_ms)) == WAIT_TIMEOUT) {
            errno = ETIMEDOUT;
            return -1;
        }
        complete_read(reader);
    }
}

// The named pipe's size was chosen when it was made.
void os_enlarge_pipe(cmdkit_process *, stream_side) {}

ptrdiff_t os_read_ready_pipe(cmdkit_process *process, stream_side side, char *buffer, size_t size) {
    return os_read_pipe(process, side, buffer, size, 0);
}

int os_wait_pipes(cmdkit_process *process, bool want_input, long timeout_ms) {
    int ready = 0;
    HANDLE events[3];
    int sides[3];
    DWORD count = 0;
    pipe_writer &writer = process->input;
    if (want_input && writer.pipe != nullptr && !writer.closing) {
        if (!writer.pending || WaitForSingleObject(writer.event, 0) == WAIT_OBJECT_0) {
            ready |= 1 << input_side;
        } else {
            events[count] = writer.event;
            sides[count++] = input_side;
        }
    }
    for (int side : {output_side, errors_side}) {
        pipe_reader &reader = process->readers[side];
        if (os_pipe_ended(process, static_cast<stream_side>(side)))
            continue;
        start_read(reader);
        if (!reader.pending || WaitForSingleObject(reader.event, 0) == WAIT_OBJECT_0) {
            ready |= 1 << side;
        } else {
            events[count] = reader.event;
            sides[count++] = side;
        }
    }
    if (ready != 0 || count == 0)
        return ready;
    const DWORD waited =
        WaitForMultipleObjects(count, events, FALSE, time_left(GetTickCount64(), timeout_ms));
    if (waited == WAIT_FAILED) {
        unsigned long ignored = 0;
        set_errno_from_system(ignored);
        return -1;
    }
    for (DWORD i = 0; i < count; ++i)
        ready |= WaitForSingleObject(events[i], 0) == WAIT_OBJECT_0 ? 1 << sides[i] : 0;
    return ready;
}

ptrdiff_t os_write_input(cmdkit_process *process, const char *data, size_t size, long timeout_ms) {
    pipe_writer &writer = process->input;
    if (writer.pipe == nullptr || writer.closing) {
        errno = EINVAL;
        return -1;
    }
    if (!settle_write(writer, time_left(GetTickCount64(), timeout_ms))) {
        errno = ETIMEDOUT;
        return -1;
    }
    if (writer.broken) {
        errno = EPIPE;
        return -1;
    }
    const DWORD count = static_cast<DWORD>(std::min<size_t>(size, pipe_buffer_size));
    std::memcpy(writer.buffer, data, count);
    writer.overlapped = OVERLAPPED{};
    writer.overlapped.hEvent = writer.event;
    ResetEvent(writer.event);
    if (!WriteFile(writer.pipe, writer.buffer, count, nullptr, &writer.overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
        const DWORD error = GetLastError();
        writer.broken = is_broken_pipe(error);
        errno = writer.broken ? EPIPE : errno_of_windows_error(error);
        return -1;
    }
    writer.pending = true;
    return static_cast<ptrdiff_t>(count);
}

void os_close_input(cmdkit_process *process) {
    pipe_writer &writer = process->input;
    if (writer.pipe == nullptr || writer.closing)
        return;
    writer.closing = true;
    if (!settle_write(writer, 0) &&
        RegisterWaitForSingleObject(&writer.wait, writer.event, close_when_written, &writer,
                                    INFINITE, WT_EXECUTEONLYONCE))
        return;
    settle_write(writer, INFINITE);
    CloseHandle(writer.pipe);
    writer.pipe = nullptr;
}

stream_side &os_last_ready(cmdkit_process *process) {
    return process->last_ready;
}

const command_state *os_states(const cmdkit_process *process, int &count) {
    count = process->count;
    return process->states;
}

bool os_contained(const cmdkit_process *process) {
    return process->job != nullptr;
}

} // namespace cmdkit::internal
