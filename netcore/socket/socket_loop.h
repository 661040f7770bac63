// The part of an IO thread a socket uses: knowing whether it runs there,
// handing work to it, and its timers. The thread layer implements it.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>

#include "netcore/event/event_handler.h"

namespace netcore {

using Task = std::function<void()>;

class SocketLoop {
 public:
  virtual ~SocketLoop() = default;

  virtual bool OnLoopThread() const = 0;
  // Runs `task` on the loop's thread at its next turn.
  virtual void PostTask(Task task) = 0;
  // At once when called on the loop's thread, else posted.
  virtual void RunOnLoop(Task task) = 0;
  // A timer calling `handler`'s OnTimer; the id is valid at once, from any thread.
  virtual uint32_t AddSocketTimer(uint32_t interval_ms, bool always, std::weak_ptr<EventHandler> handler) = 0;
  virtual void StopTimer(uint32_t timer_id) = 0;
};

}  // namespace netcore
