// Session-local single-instance guard of the worker programs. Windows: a named
// mutex without namespace prefix (so it is per session). Linux: an exclusive
// flock on <runtime dir>/NAME.lock (the runtime dir is per user).
//
// Hold the returned guard for the life of the process; the lock is released
// when the process ends, however it ends.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

namespace vantrel {

class SingleInstance {
 public:
  enum class Outcome {
    kAcquired,        // this process is the one instance
    kAlreadyRunning,  // another instance holds the name, or it exists and cannot be opened
    kUnguarded,       // the guard could not be made for another reason; run without it
  };

  // Never null. `name` is used as given on Windows; on Linux characters that
  // cannot appear in a file name ('/', '\\', NUL) become '_'.
  static std::unique_ptr<SingleInstance> Acquire(const std::wstring& name);
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  Outcome outcome() const { return outcome_; }
  // True unless another instance runs: the caller should go on starting.
  bool ShouldRun() const { return outcome_ != Outcome::kAlreadyRunning; }

 private:
  SingleInstance() = default;
  Outcome outcome_ = Outcome::kUnguarded;
  // Windows: the mutex HANDLE; Linux: the lock file descriptor (as intptr).
  intptr_t native_ = -1;
};

}  // namespace vantrel
