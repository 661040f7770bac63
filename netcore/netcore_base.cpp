#include "netcore/netcore_base.h"

#include <random>

#include "netcore/log/logger.h"
#include "netcore/thread/dispatcher.h"

namespace netcore {

NetCoreBase::NetCoreBase() { os::NetInit(); }

NetCoreBase::~NetCoreBase() {
  StopDispatchers();
  for (auto& d : dispatchers_) {
    if (!d->OnLoopThread()) d->Join();
  }
  dispatchers_.clear();
  for (SocketHandle h : listen_handles_) os::CloseSocket(h);
}

bool NetCoreBase::StartDispatchers(uint32_t thread_num) {
  return StartDispatchers(thread_num, os::ProcessorCount());
}

bool NetCoreBase::StartDispatchers(uint32_t thread_num, uint32_t processors) {
  // A machine that cannot tell its processor count still gets its threads;
  // taken literally, 2 * 0 <= n would leave the core with no IO thread.
  if (processors == 0) processors = 1;
  if (2ull * processors <= thread_num) thread_num = processors;
  range_ = {0, thread_num == 0 ? 0 : thread_num - 1};
  for (uint32_t i = 0; i < thread_num; ++i) {
    auto d = std::make_shared<Dispatcher>();
    dispatchers_.push_back(d);
    d->Start();
  }
  return !dispatchers_.empty();
}

void NetCoreBase::StopDispatchers() {
  for (auto& d : dispatchers_) d->Stop();
}

void NetCoreBase::JoinDispatchers() {
  for (auto& d : dispatchers_) d->Join();
}

bool NetCoreBase::ListenOn(const std::string& ip, uint16_t port, int* error) {
  const bool ipv6 = ip.find(':') != std::string::npos;
  const SocketHandle h = os::TcpSocket(ipv6);
  if (h == kInvalidSocket) {
    if (error) *error = os::LastError();
    NETCORE_LOG_FATAL("create socket failed. err:%d", os::LastError());
    return false;
  }
  // The dispatchers find the socket bound and take its port as theirs.
  os::SetListenOptions(h);
  if (!os::Bind(h, ipv6, ip, port)) {
    const int err = os::LastError();
    if (error) *error = err;
    NETCORE_LOG_FATAL("bind socket failed. errno:%d, info:%s", err, os::ErrorText(err).c_str());
    os::CloseSocket(h);
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(listen_mutex_);
    listen_handles_.push_back(h);
  }
  for (auto& d : dispatchers_) d->Listen(h, ip, port, handlers_);
  return true;
}

std::shared_ptr<Dispatcher> NetCoreBase::PickDispatcher() {
  if (dispatchers_.empty()) return nullptr;
  std::lock_guard<std::mutex> lock(listen_mutex_);
  static thread_local std::minstd_rand rng{std::random_device{}()};
  std::uniform_int_distribution<uint32_t> dist(range_.min, range_.max);
  return dispatchers_[dist(rng) % dispatchers_.size()];
}

bool NetCoreBase::Connect(const std::string& ip, uint16_t port) {
  auto d = PickDispatcher();
  if (!d) return false;
  d->Connect(ip, port, handlers_);
  return true;
}

}  // namespace netcore
