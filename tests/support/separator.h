#ifndef CMDKIT_TESTS_SEPARATOR_H
#define CMDKIT_TESTS_SEPARATOR_H

#include "cmdline.h"

namespace testing_support {

// Turns the separator setting on or off for one scope.
class separator_setting {
  public:
    explicit separator_setting(bool on) : previous_(semicolon_is_separator) {
        semicolon_is_separator = on ? 1 : 0;
    }
    ~separator_setting() { semicolon_is_separator = previous_; }
    separator_setting(const separator_setting &) = delete;
    separator_setting &operator=(const separator_setting &) = delete;

  private:
    int previous_;
};

} // namespace testing_support

#endif
