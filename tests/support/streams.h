#ifndef CMDKIT_TESTS_STREAMS_H
#define CMDKIT_TESTS_STREAMS_H

namespace testing_support {

// Sends standard error to the null device for one scope: the parser traces
// the rest of the line at every token, so a line with thousands of tokens
// writes hundreds of megabytes that no test wants to keep.
class discarded_stderr {
  public:
    discarded_stderr();
    ~discarded_stderr();
    discarded_stderr(const discarded_stderr &) = delete;
    discarded_stderr &operator=(const discarded_stderr &) = delete;

  private:
    int saved_;
};

} // namespace testing_support

#endif
