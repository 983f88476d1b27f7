#include "environment.h"

#include "cmdkit.hpp"
#include "platform.h"
#include "wtf8.h"

#include <cstdlib>
#include <fstream>
#include <random>

#ifdef _WIN32
#include <windows.h>
#endif

namespace testing_support {

namespace fs = std::filesystem;

scratch_directory::scratch_directory() : previous_(fs::current_path()) {
    std::random_device seed;
    std::mt19937_64 generator(seed());
    for (;;) {
        path_ = fs::temp_directory_path() / ("cmdkit-test-" + std::to_string(generator()));
        if (fs::create_directory(path_))
            break;
    }
    fs::current_path(path_);
}

scratch_directory::~scratch_directory() {
    std::error_code ignored;
    fs::current_path(previous_, ignored);
    fs::remove_all(path_, ignored);
}

void scratch_directory::add_file(const std::string &relative) const {
    fs::path file = path_ / fs::u8path(relative);
    fs::create_directories(file.parent_path());
    std::ofstream(file).flush();
}

void scratch_directory::add_directory(const std::string &relative) const {
    fs::create_directories(path_ / fs::u8path(relative));
}

#ifdef _WIN32
std::wstring wide(const std::string &text) {
    return cmdkit::to_utf16(text).value_or(std::wstring());
}

std::string narrow(const std::wstring &text) {
    std::string bytes(3 * text.size(), '\0');
    bytes.resize(cmdkit::internal::utf16_to_wtf8(text.data(), text.size(), bytes.data()));
    return bytes;
}
#endif

void set_variable(const char *name, const std::optional<std::string> &value) {
#ifdef _WIN32
    // The system's wide environment, where the library reads it.
    SetEnvironmentVariableW(wide(name).c_str(), value ? wide(*value).c_str() : nullptr);
#else
    if (value)
        setenv(name, value->c_str(), 1);
    else
        unsetenv(name);
#endif
}

std::filesystem::path programs_folder() {
#ifdef _WIN32
    wchar_t self[MAX_PATH * 4];
    return std::filesystem::path(
               std::wstring(self, GetModuleFileNameW(nullptr, self, MAX_PATH * 4)))
        .parent_path();
#else
    return std::filesystem::read_symlink("/proc/self/exe").parent_path();
#endif
}

scoped_variable::scoped_variable(const char *name, std::optional<std::string> value) : name_(name) {
    char *old = cmdkit::internal::platform_getenv(name);
    previous_ = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
    std::free(old);
    set_variable(name, value);
}

scoped_variable::~scoped_variable() {
    set_variable(name_.c_str(), previous_);
}

} // namespace testing_support
