#pragma once
#include <memory>
#include <vector>

#include "netcore/event/event_actions.h"

namespace netcore {

// Level-triggered epoll backend with a wake-up channel for other threads.
class EpollEventActions : public EventActions {
 public:
  static constexpr int kMaxEvents = 1024;

  EpollEventActions() = default;
  ~EpollEventActions() override;
  EpollEventActions(const EpollEventActions&) = delete;
  EpollEventActions& operator=(const EpollEventActions&) = delete;

  bool Init() override;
  bool AddSendEvent(Event* event) override;
  bool RemoveSendEvent(Event* event) override;
  bool AddRecvEvent(Event* event) override;
  bool AddAcceptEvent(Event* event) override;
  bool AddConnection(Event* event) override;
  bool AddDisconnection(Event* event) override;
  bool RemoveEvent(Event* event) override;
  void WaitAndDispatch(int32_t timeout_ms) override;
  void WakeUp() override;

 private:
  bool AddEvent(Event* event, uint32_t flag, uint32_t interest, const char* name);

  EpollHandle epoll_ = kInvalidEpoll;
  SocketHandle wake_rd_ = kInvalidSocket;
  SocketHandle wake_wr_ = kInvalidSocket;
  char wake_tag_ = 0;  // its address is the wake-up channel's user data
  std::vector<ReadyEvent> ready_;
  std::vector<std::shared_ptr<EventHandler>> pinned_;
};

}  // namespace netcore
