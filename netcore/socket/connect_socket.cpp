#include "netcore/socket/connect_socket.h"

#include "netcore/alloter/pool_alloter.h"
#include "netcore/event/event_actions.h"
#include "netcore/log/logger.h"
#include "netcore/socket/rw_socket.h"
#include "netcore/socket/socket_map.h"

namespace netcore {

ConnectSocket::ConnectSocket(SocketHandle handle, std::shared_ptr<AlloterWrap> alloter)
    : Socket(handle, std::move(alloter)) {}

ConnectSocket::~ConnectSocket() {
  alloter_->PoolDelete(accept_event_);
  if (owns_handle_) CloseHandle();
}

bool ConnectSocket::Bind(const std::string& ip, uint16_t port) {
  const bool ipv6 = ip.find(':') != std::string::npos;
  if (handle_ == kInvalidSocket) {
    handle_ = os::TcpSocket(ipv6);
    if (handle_ == kInvalidSocket) {
      const int err = os::LastError();
      NETCORE_LOG_FATAL("create socket failed. errno:%d, info:%s", err, os::ErrorText(err).c_str());
      return false;
    }
    owns_handle_ = true;
  }
  family_ = ipv6 ? 2 : 1;
  ip_ = ip;
  port_ = port;
  os::SetListenOptions(handle_);
  bound_ = os::Bind(handle_, ipv6, ip, port);
  if (!bound_) {
    // Dispatchers share one listening handle: the first one bound it.
    const uint16_t local = os::LocalPort(handle_);
    bound_ = local != 0 && (port == 0 || local == port);
  }
  if (!bound_) {
    const int err = os::LastError();
    NETCORE_LOG_FATAL("bind socket failed. errno:%d, info:%s", err, os::ErrorText(err).c_str());
  }
  return bound_;
}

bool ConnectSocket::Listen() {
  if (!bound_) return false;
  if (!os::Listen(handle_, kBacklog)) {
    const int err = os::LastError();
    NETCORE_LOG_FATAL("listen socket failed. errno:%d, info:%s", err, os::ErrorText(err).c_str());
    return false;
  }
  os::SetNonBlocking(handle_);
  if (accept_event_ == nullptr) accept_event_ = alloter_->PoolNew<Event>(weak_from_this());
  auto actions = actions_.lock();
  listening_ = actions && actions->AddAcceptEvent(accept_event_);
  return listening_;
}

void ConnectSocket::OnAccept() {
  auto handlers = handlers_.lock();
  auto actions = actions_.lock();
  // Until "would block" or the pass's share, so a burst of connections is
  // taken in one readiness.
  for (int taken = 0; taken < kAcceptsPerPass; ++taken) {
    std::string ip;
    uint16_t port = 0;
    const SocketHandle h = os::Accept(handle_, ip, port);
    if (h == kInvalidSocket) {
      const int err = os::LastError();
      if (!os::IsWouldBlock(err) && !os::IsInterrupted(err)) {
        NETCORE_LOG_ERROR("accept socket filed! errno:%d, info:%s", err, os::ErrorText(err).c_str());
      }
      if (os::IsInterrupted(err)) continue;
      return;
    }
    os::SetNonBlocking(h);
    os::SetNoDelay(h);
    auto alloter = std::make_shared<AlloterWrap>(MakePoolAlloter());
    auto sock = std::make_shared<RWSocket>(h, alloter);
    sock->SetAddress(ip, port, family_ == 2);
    sock->SetListenPort(port_);
    sock->SetEventActions(actions_);
    sock->SetHandlers(handlers_);
    sock->SetLoop(loop_);
    ThreadSocketMap()[h] = sock;
    if (handlers && handlers->accept) handlers->accept(sock, 0);
    // The accept handler may already have closed it.
    if (!sock->IsShutdown()) sock->Recv();
  }
}

}  // namespace netcore
