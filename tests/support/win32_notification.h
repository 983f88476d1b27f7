// GoogleTest's one use of std::mutex and std::condition_variable is its
// Notification class, and GCC 12's win32 thread model (the one the UCRT
// build links, see cmake/mingw-w64-x86_64-ucrt.cmake) has neither.  This is
// the same class over a Win32 event, handed to GoogleTest through its
// GTEST_HAS_NOTIFICATION_ setting; it is forced into every file of the
// tests of that build, GoogleTest's own included.
#ifndef CMDKIT_TESTS_WIN32_NOTIFICATION_H
#define CMDKIT_TESTS_WIN32_NOTIFICATION_H

#ifdef __cplusplus
#include <windows.h>

namespace testing {
namespace internal {

class Notification {
  public:
    Notification() : event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~Notification() { CloseHandle(event_); }
    Notification(const Notification &) = delete;
    Notification &operator=(const Notification &) = delete;

    void Notify() { SetEvent(event_); }
    void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

  private:
    HANDLE event_;
};

} // namespace internal
} // namespace testing
#endif

#endif
