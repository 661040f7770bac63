#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "netcore/event/epoll/epoll_action.h"
#include "netcore/event/timer_event.h"
#include "netcore/socket/handlers.h"
#include "netcore/socket/socket_loop.h"
#include "netcore/thread/thread.h"

namespace netcore {

class ConnectSocket;

// One IO thread: its epoll set, timing wheel, task queue and the sockets
// accepted on it. Other threads reach it only through PostTask.
class Dispatcher : public Thread, public SocketLoop, public std::enable_shared_from_this<Dispatcher> {
 public:
  Dispatcher();
  ~Dispatcher() override;

  void Stop() override;
  void Run() override;

  // Runs `task` on this dispatcher's thread: at the next loop turn.
  void PostTask(Task task) final;
  // At once when called on the IO thread, else posted.
  void RunOnLoop(Task task) final;
  bool OnLoopThread() const final { return loop_thread_.load() == std::this_thread::get_id(); }
  // OS id of the IO thread (0 until it runs).
  uint64_t ThreadId() const { return thread_id_.load(); }

  // Timers run on the IO thread; ids are handed out at once from any thread.
  uint32_t AddTimer(uint32_t interval_ms, bool always, std::function<void()> cb);
  uint32_t AddSocketTimer(uint32_t interval_ms, bool always, std::weak_ptr<EventHandler> handler) final;
  void StopTimer(uint32_t timer_id) final;

  // Binds and listens on the shared handle (from ListenOn); the accepted
  // connections report to `handlers`.
  void Listen(SocketHandle handle, const std::string& ip, uint16_t port, std::weak_ptr<const Handlers> handlers);
  // Starts an outgoing connection on this dispatcher.
  void Connect(const std::string& ip, uint16_t port, std::weak_ptr<const Handlers> handlers);

  const std::shared_ptr<EpollEventActions>& GetEventActions() const { return actions_; }

 private:
  void RunTasks();
  uint32_t NextTimerId();
  void ScheduleTimer(std::shared_ptr<TimerEvent> ev);

  uint64_t last_time_ = 0;
  std::mutex task_mutex_;
  std::vector<Task> tasks_;
  std::atomic<uint64_t> thread_id_{0};
  std::atomic<std::thread::id> loop_thread_{};
  std::shared_ptr<TimerContainer> timer_;
  std::shared_ptr<EpollEventActions> actions_;
  std::atomic<uint32_t> next_timer_id_{1};
  std::vector<std::shared_ptr<ConnectSocket>> listeners_;
};

}  // namespace netcore
