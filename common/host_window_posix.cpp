#include <pthread.h>
#include <signal.h>

#include <cerrno>

#include "common/host_window.h"

namespace vantrel {

struct HostWindow::Impl {
  pthread_t loop_thread{};
  bool created = false;
  sigset_t signals{};
  // Set by Quit(); the wake-up itself is a SIGHUP sent to the loop thread.
  std::atomic<bool> quit_requested{false};
  std::atomic<int> quit_code{0};
};

HostWindow::HostWindow(HostWindowConfig config) : config_(std::move(config)), impl_(new Impl()) {}

HostWindow::~HostWindow() { delete impl_; }

bool HostWindow::Create() {
  sigemptyset(&impl_->signals);
  sigaddset(&impl_->signals, SIGTERM);
  sigaddset(&impl_->signals, SIGINT);
  sigaddset(&impl_->signals, SIGHUP);
  // Blocked here and in every thread started from now on, so the signals stay
  // pending until the loop takes them.
  if (pthread_sigmask(SIG_BLOCK, &impl_->signals, nullptr) != 0) return false;
  impl_->loop_thread = pthread_self();
  impl_->created = true;
  if (config_.on_create && !config_.on_create(*this)) {
    impl_->created = false;
    return false;
  }
  return true;
}

namespace {

// Takes a wake-up that Quit() sent but the loop did not need, so it cannot
// reach a later loop as a close request.
int EndLoop(const HostWindow::Impl& impl) {
  sigset_t wake;
  sigemptyset(&wake);
  sigaddset(&wake, SIGHUP);
  const timespec none{0, 0};
  while (sigtimedwait(&wake, nullptr, &none) > 0) {
  }
  return impl.quit_code.load();
}

}  // namespace

int HostWindow::RunMessageLoop() {
  if (!impl_->created) return 0;
  for (;;) {
    if (impl_->quit_requested.load()) return EndLoop(*impl_);
    int signal_number = 0;
    if (sigwait(&impl_->signals, &signal_number) != 0) continue;
    if (impl_->quit_requested.load()) return EndLoop(*impl_);
    // A signal is the close request.
    if (config_.on_close && config_.on_close(*this)) continue;
    if (config_.on_destroy) config_.on_destroy(*this);
    return 0;
  }
}

void HostWindow::RequestClose() {
  if (impl_->created) pthread_kill(impl_->loop_thread, SIGTERM);
}

void HostWindow::Quit(int exit_code) {
  impl_->quit_code.store(exit_code);
  impl_->quit_requested.store(true);
  if (impl_->created && !pthread_equal(pthread_self(), impl_->loop_thread)) pthread_kill(impl_->loop_thread, SIGHUP);
}

}  // namespace vantrel
