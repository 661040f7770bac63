#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "agent/report/parker.h"

namespace vantrel::agent {
namespace {

constexpr uint32_t kEmpty = 0;
constexpr uint32_t kNotified = 1;
constexpr uint32_t kParked = 2;

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free,
              "the futex word is the atomic itself");

long Futex(std::atomic<uint32_t>* word, int op, uint32_t value) {
  return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), op, value, nullptr, nullptr, 0);
}

}  // namespace

void Parker::Park() {
  uint32_t expected = kNotified;
  if (state_.compare_exchange_strong(expected, kEmpty, std::memory_order_acquire)) return;
  expected = kEmpty;
  if (!state_.compare_exchange_strong(expected, kParked, std::memory_order_acquire)) {
    state_.store(kEmpty, std::memory_order_relaxed);  // notified in between
    return;
  }
  for (;;) {
    // Returns at once when the word is no longer kParked; spurious returns loop.
    Futex(&state_, FUTEX_WAIT_PRIVATE, kParked);
    expected = kNotified;
    if (state_.compare_exchange_strong(expected, kEmpty, std::memory_order_acquire)) return;
  }
}

void Parker::Unpark() {
  if (state_.exchange(kNotified, std::memory_order_release) == kParked) Futex(&state_, FUTEX_WAKE_PRIVATE, 1);
}

}  // namespace vantrel::agent
