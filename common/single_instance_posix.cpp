#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "common/paths.h"
#include "common/single_instance.h"
#include "common/text.h"

namespace vantrel {

std::unique_ptr<SingleInstance> SingleInstance::Acquire(const std::wstring& name) {
  std::unique_ptr<SingleInstance> guard(new SingleInstance());
  std::string file = text::ToUtf8(name);
  for (char& c : file) {
    if (c == '/' || c == '\\' || c == '\0') c = '_';
  }
  const std::string dir = paths::RuntimeDir();
  paths::MakeDirs(text::FromUtf8(dir));
  const std::string path = dir + "/" + file + ".lock";

  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    // A lock file we may not open belongs to someone else's instance, as a
    // mutex we may not open does on Windows.
    guard->outcome_ = (errno == EACCES || errno == EPERM) ? Outcome::kAlreadyRunning : Outcome::kUnguarded;
    return guard;
  }
  int rc;
  do {
    rc = flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const int error = errno;
    close(fd);
    guard->outcome_ = (error == EWOULDBLOCK) ? Outcome::kAlreadyRunning : Outcome::kUnguarded;
    return guard;
  }
  guard->native_ = fd;
  guard->outcome_ = Outcome::kAcquired;
  return guard;
}

SingleInstance::~SingleInstance() {
  // The file stays: removing it would let a third process lock a fresh inode
  // while a second still waits on the old one.
  if (outcome_ == Outcome::kAcquired) close(static_cast<int>(native_));
}

}  // namespace vantrel
