#include <windows.h>

#include "common/single_instance.h"

namespace vantrel {

std::unique_ptr<SingleInstance> SingleInstance::Acquire(const std::wstring& name) {
  std::unique_ptr<SingleInstance> guard(new SingleInstance());
  HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
  const DWORD error = GetLastError();
  if (error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED) {
    if (mutex != nullptr) CloseHandle(mutex);
    guard->outcome_ = Outcome::kAlreadyRunning;
    return guard;
  }
  if (mutex == nullptr) {
    guard->outcome_ = Outcome::kUnguarded;
    return guard;
  }
  guard->native_ = reinterpret_cast<intptr_t>(mutex);
  guard->outcome_ = Outcome::kAcquired;
  return guard;
}

SingleInstance::~SingleInstance() {
  if (outcome_ == Outcome::kAcquired) CloseHandle(reinterpret_cast<HANDLE>(native_));
}

}  // namespace vantrel
