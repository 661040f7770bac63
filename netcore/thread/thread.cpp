#include "netcore/thread/thread.h"

namespace netcore {

Thread::~Thread() {
  // Derived classes stop and join before their own members go; this only
  // keeps a forgotten thread from terminating the process.
  if (thread_ && thread_->joinable() && thread_->get_id() != std::this_thread::get_id()) {
    stop_.exchange(true);
    thread_->join();
  } else if (thread_ && thread_->joinable()) {
    thread_->detach();
  }
}

void Thread::Start() {
  if (!stop_.exchange(false)) return;  // already running
  thread_ = std::make_unique<std::thread>([this] { Run(); });
}

void Thread::Stop() { stop_.exchange(true); }

void Thread::Join() {
  if (thread_ && thread_->joinable()) thread_->join();
}

}  // namespace netcore
