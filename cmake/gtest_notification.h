// Forced into every GoogleTest compile of the Windows test suite.
// mingw-w64's default (win32) thread model has no std::mutex, which GoogleTest
// needs only for Notification, its hand-off to threads it starts itself. The
// virtual-time suite runs on one thread, so a flag is enough.
#pragma once
#include <atomic>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
 public:
  void Notify() { notified_.store(true, std::memory_order_release); }
  void WaitForNotification() {
    while (!notified_.load(std::memory_order_acquire)) {
    }
  }

 private:
  std::atomic<bool> notified_{false};
};

}  // namespace internal
}  // namespace testing
