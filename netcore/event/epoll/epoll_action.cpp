#include "netcore/event/epoll/epoll_action.h"

#include "netcore/log/logger.h"

namespace netcore {

EpollEventActions::~EpollEventActions() {
  os::EpollClose(epoll_);
  os::CloseWakeChannel(wake_rd_, wake_wr_);
}

bool EpollEventActions::Init() {
  os::NetInit();
  epoll_ = os::EpollCreate();
  if (epoll_ == kInvalidEpoll) {
    NETCORE_LOG_FATAL("EPOLL init failed! error : %d", os::LastError());
    return false;
  }
  if (!os::MakeWakeChannel(wake_rd_, wake_wr_)) {
    NETCORE_LOG_FATAL("pipe init failed! error : %d", os::LastError());
    return false;
  }
  if (os::EpollCtl(epoll_, EpollOp::kAdd, wake_rd_, kEpollIn, &wake_tag_) != 0) {
    NETCORE_LOG_FATAL("add pipe handle to EPOLL failed! error :%d", os::LastError());
    return false;
  }
  ready_.resize(kMaxEvents);
  pinned_.resize(kMaxEvents);
  return true;
}

bool EpollEventActions::AddEvent(Event* event, uint32_t flag, uint32_t interest, const char* name) {
  if (event->flags_ & flag) return true;
  if (!event->has_record_) {
    auto sock = event->handler_.lock();
    if (!sock) {
      NETCORE_LOG_WARN("socket is already destroyed! event %s", name);
      return false;
    }
    event->record_.handle = sock->Handle();
    event->has_record_ = true;
  }
  event->flags_ |= flag;
  if (event->record_.events & interest) return true;
  const uint32_t events = event->record_.events | interest;
  const EpollOp op = (event->flags_ & EVENT_ADDED) ? EpollOp::kMod : EpollOp::kAdd;
  if (os::EpollCtl(epoll_, op, event->record_.handle, events, event) != 0) {
    NETCORE_LOG_ERROR("modify event to EPOLL failed! error :%d, sock: %d", os::LastError(),
                      static_cast<int>(event->record_.handle));
    NETCORE_LOG_ERROR("add event to socket failed! event %s", name);
    // Keep flags and mask equal to what the kernel holds.
    event->flags_ &= ~flag;
    return false;
  }
  event->record_.events = events;
  event->flags_ |= EVENT_ADDED;
  return true;
}

bool EpollEventActions::AddSendEvent(Event* event) {
  return AddEvent(event, EVENT_WRITE, kEpollOut, "AddSendEvent");
}

bool EpollEventActions::AddRecvEvent(Event* event) {
  return AddEvent(event, EVENT_READ, kEpollIn, "AddRecvEvent");
}

bool EpollEventActions::AddAcceptEvent(Event* event) {
  return AddEvent(event, EVENT_ACCEPT, kEpollIn, "AddSendEvent");
}

bool EpollEventActions::AddConnection(Event* event) {
  return AddEvent(event, EVENT_CONNECT, kEpollOut, "AddSendEvent");
}

bool EpollEventActions::RemoveSendEvent(Event* event) {
  // Level-triggered write interest on an empty send queue would wake the loop
  // on every turn; it is withdrawn as soon as the queue drains.
  if ((event->flags_ & (EVENT_WRITE | EVENT_CONNECT)) == 0) return true;
  event->flags_ &= ~(EVENT_WRITE | EVENT_CONNECT);
  if ((event->record_.events & kEpollOut) == 0 || (event->flags_ & EVENT_ADDED) == 0) return true;
  const uint32_t events = event->record_.events & ~kEpollOut;
  if (os::EpollCtl(epoll_, EpollOp::kMod, event->record_.handle, events, event) != 0) {
    NETCORE_LOG_ERROR("modify event to EPOLL failed! error :%d, sock: %d", os::LastError(),
                      static_cast<int>(event->record_.handle));
    return false;
  }
  event->record_.events = events;
  return true;
}

bool EpollEventActions::RemoveEvent(Event* event) {
  if (!event->has_record_ || (event->flags_ & EVENT_ADDED) == 0) {
    // Never entered the set: nothing to delete.
    event->flags_ &= EVENT_DISCONNECT;
    return true;
  }
  if (os::EpollCtl(epoll_, EpollOp::kDel, event->record_.handle, 0, event) != 0) {
    NETCORE_LOG_ERROR("remove event from EPOLL failed! error :%d, socket : %d", os::LastError(),
                      static_cast<int>(event->record_.handle));
    return false;
  }
  // The disconnect mark survives so a second close request stays a no-op.
  event->flags_ &= EVENT_DISCONNECT;
  event->record_.events = 0;
  NETCORE_LOG_DEBUG("remove a socket from EPOLL, %d", static_cast<int>(event->record_.handle));
  return true;
}

bool EpollEventActions::AddDisconnection(Event* event) {
  if (event->flags_ & EVENT_DISCONNECT) return true;
  event->flags_ |= EVENT_DISCONNECT;
  auto sock = event->handler_.lock();
  if (!sock) return false;
  RemoveEvent(event);
  sock->CloseHandle();
  sock->OnDisConnect(0);
  return true;
}

void EpollEventActions::WakeUp() {
  if (!os::WakeWrite(wake_wr_)) {
    // A full channel is still readable, so the loop wakes anyway.
    NETCORE_LOG_ERROR("write to pipe failed when weak up.");
  }
}

void EpollEventActions::WaitAndDispatch(int32_t timeout_ms) {
  const int n = os::EpollWait(epoll_, ready_.data(), kMaxEvents, timeout_ms);
  if (n < 0) {
    const int err = os::LastError();
    if (!os::IsInterrupted(err)) {
      NETCORE_LOG_ERROR("EPOLL wait failed! error:%d, info:%s", err, os::ErrorText(err).c_str());
    }
    return;
  }
  NETCORE_LOG_DEBUG("EPOLL get events! num:%d, TheadId: %llu", n,
                    static_cast<unsigned long long>(os::CurrentThreadId()));

  // Pin every socket of this batch first: a handler may drop the last
  // reference to a socket whose record comes later in the same batch.
  for (int i = 0; i < n; ++i) {
    if (ready_[i].data != &wake_tag_) {
      pinned_[i] = static_cast<Event*>(ready_[i].data)->handler_.lock();
    }
  }
  for (int i = 0; i < n; ++i) {
    const ReadyEvent& r = ready_[i];
    if (r.data == &wake_tag_) {
      NETCORE_LOG_WARN("weak up the IO thread, index : %d", i);
      if (!os::WakeRead(wake_rd_)) NETCORE_LOG_ERROR("read from pipe failed when weak up.");
      continue;
    }
    std::shared_ptr<EventHandler> sock = std::move(pinned_[i]);
    if (!sock) {
      NETCORE_LOG_WARN("EPOLL weak up but socket already destroy, index : %d", i);
      continue;
    }
    const Event* event = static_cast<Event*>(r.data);
    if (event->flags_ & EVENT_ACCEPT) {
      sock->OnAccept();
      continue;
    }
    if (r.events & kEpollIn) {
      if (r.events & kEpollRdHup) {
        sock->OnDisConnect(1);
      } else {
        sock->OnRead();
      }
    }
    if (r.events & kEpollOut) {
      if (event->flags_ & EVENT_CONNECT) {
        sock->OnConnect();
      } else {
        sock->OnWrite();
      }
    }
    if (r.events & kEpollHup) sock->OnDisConnect(1);
  }
}

}  // namespace netcore
