// Small helpers the tests share: a private temporary directory to work in,
// environment variables set for the length of a test, and files to create.
#ifndef CMDKIT_TESTS_ENVIRONMENT_H
#define CMDKIT_TESTS_ENVIRONMENT_H

#include <filesystem>
#include <optional>
#include <string>

namespace testing_support {

// A fresh directory that becomes the current directory for the object's
// lifetime and is removed with everything in it afterwards.
class scratch_directory {
  public:
    scratch_directory();
    ~scratch_directory();
    scratch_directory(const scratch_directory &) = delete;
    scratch_directory &operator=(const scratch_directory &) = delete;

    const std::filesystem::path &path() const { return path_; }

    // Creates an empty file (and its parent folders); `relative` uses `/`.
    void add_file(const std::string &relative) const;
    void add_directory(const std::string &relative) const;

  private:
    std::filesystem::path path_;
    std::filesystem::path previous_;
};

// Sets (or, with nullopt, unsets) an environment variable and restores the
// earlier value when it goes out of scope.
class scoped_variable {
  public:
    scoped_variable(const char *name, std::optional<std::string> value);
    ~scoped_variable();
    scoped_variable(const scoped_variable &) = delete;
    scoped_variable &operator=(const scoped_variable &) = delete;

  private:
    std::string name_;
    std::optional<std::string> previous_;
};

void set_variable(const char *name, const std::optional<std::string> &value);

// The folder of the running test program, where its helper programs are.
std::filesystem::path programs_folder();

#ifdef _WIN32
// WTF-8 to UTF-16 and back, by the library's conversion ("" if not WTF-8).
std::wstring wide(const std::string &text);
std::string narrow(const std::wstring &text);
#endif

} // namespace testing_support

#endif
