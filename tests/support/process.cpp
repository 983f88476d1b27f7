#include "process.h"

#include "environment.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
extern char **environ;
#endif

namespace testing_support {

namespace fs = std::filesystem;

namespace {

// A child that does not end in this time fails the test instead of hanging it.
constexpr unsigned long child_time_limit_ms = 120000;

fs::path temporary_file(const char *tag) {
    static std::mt19937_64 generator(std::random_device{}());
    return fs::temp_directory_path() / ("cmdkit-proc-" + std::to_string(generator()) + "-" + tag);
}

std::string read_file(const fs::path &file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const fs::path &file, const std::string &text) {
    std::ofstream(file, std::ios::binary)
        .write(text.data(), static_cast<std::streamsize>(text.size()));
}

// The child's environment: ours with the changes applied, as NAME=VALUE.
std::vector<std::string> child_environment(const environment_changes &changes) {
    std::vector<std::string> entries;
#ifdef _WIN32
    wchar_t *block = GetEnvironmentStringsW();
    for (const wchar_t *entry = block; *entry != L'\0'; entry += std::wcslen(entry) + 1)
        entries.push_back(narrow(entry));
    FreeEnvironmentStringsW(block);
#else
    for (char **entry = environ; *entry != nullptr; ++entry)
        entries.emplace_back(*entry);
#endif
    for (const auto &[name, value] : changes) {
        std::vector<std::string> kept;
        for (const std::string &entry : entries) {
            std::string entry_name = entry.substr(0, entry.find('='));
#ifdef _WIN32
            bool same = _stricmp(entry_name.c_str(), name.c_str()) == 0;
#else
            bool same = entry_name == name;
#endif
            if (!same)
                kept.push_back(entry);
        }
        if (value)
            kept.push_back(name + "=" + *value);
        entries = kept;
    }
    return entries;
}

#ifdef _WIN32

// `writing`: the stream the child writes to; `broken`: opened for the other
// direction only, so that the child's first use of it fails.
HANDLE inheritable(const fs::path &file, bool writing, bool broken) {
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, TRUE};
    bool write_access = writing != broken;
    return CreateFileW(file.wstring().c_str(), write_access ? GENERIC_WRITE : GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, &attributes,
                       writing ? CREATE_ALWAYS : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

int spawn(const std::string &program, const std::vector<std::string> &environment,
          const std::string &directory, const fs::path &in, const fs::path &out,
          const fs::path &err, const child_streams &streams) {
    std::wstring block;
    for (const std::string &entry : environment)
        block += wide(entry) + L'\0';
    block += L'\0';
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inheritable(in, false, streams.unreadable_input);
    startup.hStdOutput = inheritable(out, true, streams.unwritable_output);
    startup.hStdError = streams.errors_to_output
                            ? startup.hStdOutput
                            : inheritable(err, true, streams.unwritable_errors);
    std::wstring command_line = L"\"" + wide(program) + L"\"";
    PROCESS_INFORMATION process{};
    // Wine's loader now and then fails a start under load with
    // ERROR_INTERNAL_ERROR; the same start succeeds when tried again.
    BOOL started = FALSE;
    for (int attempt = 0; attempt < 3 && !started; ++attempt) {
        started = CreateProcessW(wide(program).c_str(), command_line.data(), nullptr, nullptr, TRUE,
                                 CREATE_UNICODE_ENVIRONMENT, block.data(),
                                 directory.empty() ? nullptr : wide(directory).c_str(), &startup,
                                 &process);
        if (!started && GetLastError() != ERROR_INTERNAL_ERROR)
            break;
    }
    const DWORD start_error = GetLastError();
    CloseHandle(startup.hStdInput);
    CloseHandle(startup.hStdOutput);
    if (!streams.errors_to_output)
        CloseHandle(startup.hStdError);
    if (!started)
        throw std::runtime_error("cannot start " + program + ": Windows error " +
                                 std::to_string(start_error));
    if (WaitForSingleObject(process.hProcess, child_time_limit_ms) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 1);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
        throw std::runtime_error(program + " did not end in time");
    }
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return static_cast<int>(code);
}

#else

// The child's end of a stream; `broken` opens it for the other direction.
int child_descriptor(const fs::path &file, bool writing, bool broken) {
    if (writing != broken)
        return open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    return open(file.c_str(), writing ? O_RDONLY | O_CREAT : O_RDONLY, 0600);
}

int spawn(const std::string &program, const std::vector<std::string> &environment,
          const std::string &directory, const fs::path &in, const fs::path &out,
          const fs::path &err, const child_streams &streams) {
    std::vector<char *> envp;
    for (const std::string &entry : environment)
        envp.push_back(const_cast<char *>(entry.c_str()));
    envp.push_back(nullptr);
    char *argv[] = {const_cast<char *>(program.c_str()), nullptr};
    pid_t child = fork();
    if (child < 0)
        throw std::runtime_error("fork failed");
    if (child == 0) {
        int in_fd = child_descriptor(in, false, streams.unreadable_input);
        int out_fd = child_descriptor(out, true, streams.unwritable_output);
        int err_fd = child_descriptor(err, true, streams.unwritable_errors);
        dup2(in_fd, 0);
        dup2(out_fd, 1);
        dup2(streams.errors_to_output ? out_fd : err_fd, 2);
        if (!directory.empty() && chdir(directory.c_str()) != 0)
            _exit(126);
        execve(program.c_str(), argv, envp.data());
        _exit(127);
    }
    int status = 0;
    for (unsigned long waited_ms = 0; waitpid(child, &status, WNOHANG) == 0; waited_ms += 5) {
        if (waited_ms >= child_time_limit_ms) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            throw std::runtime_error(program + " did not end in time");
        }
        usleep(5000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

#endif

} // namespace

process_result run_program(const std::string &program, const std::string &input,
                           const environment_changes &changes, const std::string &directory,
                           const child_streams &streams) {
    fs::path in = temporary_file("in");
    fs::path out = temporary_file("out");
    fs::path err = temporary_file("err");
    write_file(in, input);
    auto chosen = [](const std::string &path, const fs::path &file) {
        return path.empty() ? file : fs::path(path);
    };
    process_result result;
    result.exit_code =
        spawn(program, child_environment(changes), directory, chosen(streams.input_path, in),
              chosen(streams.output_path, out), chosen(streams.errors_path, err), streams);
    result.out = read_file(out);
    result.err = read_file(err);
    std::error_code ignored;
    fs::remove(in, ignored);
    fs::remove(out, ignored);
    fs::remove(err, ignored);
    return result;
}

#ifndef _WIN32

coprocess::coprocess(const std::string &program, const environment_changes &changes,
                     const std::string &directory) {
    int in[2];
    int out[2];
    int err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0)
        throw std::runtime_error("pipe failed");
    // Non-blocking, as some parents leave it: the child must wait all the same.
    fcntl(in[0], F_SETFL, O_NONBLOCK);
    std::vector<std::string> environment = child_environment(changes);
    std::vector<char *> envp;
    for (const std::string &entry : environment)
        envp.push_back(const_cast<char *>(entry.c_str()));
    envp.push_back(nullptr);
    char *argv[] = {const_cast<char *>(program.c_str()), nullptr};
    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
            close(fd);
        signal(SIGPIPE, SIG_IGN);
        if (chdir(directory.c_str()) != 0)
            _exit(126);
        execve(program.c_str(), argv, envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    input_ = in[1];
    output_ = out[0];
    error_ = err[0];
}

coprocess::~coprocess() {
    if (pid_ > 0)
        finish();
    for (int fd : {output_, error_}) {
        if (fd >= 0)
            close(fd);
    }
}

void coprocess::write_input(const std::string &text) {
    size_t written = 0;
    while (written < text.size()) {
        ssize_t n = write(input_, text.data() + written, text.size() - written);
        if (n <= 0)
            throw std::runtime_error("write to child failed");
        written += static_cast<size_t>(n);
    }
}

std::string coprocess::read_until(const std::string &ending, bool from_stderr, int seconds) {
    const int fd = from_stderr ? error_ : output_;
    std::string text;
    auto complete = [&] {
        return text.size() >= ending.size() &&
               text.compare(text.size() - ending.size(), ending.size(), ending) == 0;
    };
    while (!complete()) {
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, seconds * 1000) <= 0)
            break;
        char buffer[4096];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

void coprocess::close_output() {
    close(output_);
    output_ = -1;
}

void coprocess::close_input() {
    if (input_ >= 0)
        close(input_);
    input_ = -1;
}

int coprocess::finish() {
    close_input();
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

#endif

std::string sibling_program(const char *argv0, const std::string &name) {
    fs::path self = fs::absolute(fs::path(argv0));
#ifdef _WIN32
    return (self.parent_path() / (name + ".exe")).string();
#else
    return (self.parent_path() / name).string();
#endif
}

} // namespace testing_support
