#include "netcore/thread/dispatcher.h"

#include "netcore/alloter/normal_alloter.h"
#include "netcore/alloter/pool_alloter.h"
#include "netcore/log/logger.h"
#include "netcore/socket/connect_socket.h"
#include "netcore/socket/rw_socket.h"
#include "netcore/socket/socket_map.h"

namespace netcore {

Dispatcher::Dispatcher()
    : timer_(std::make_shared<TimerContainer>(1, 1000)), actions_(std::make_shared<EpollEventActions>()) {
  actions_->Init();
}

Dispatcher::~Dispatcher() {
  if (thread_ && thread_->joinable()) {
    if (thread_->get_id() != std::this_thread::get_id()) {
      stop_.exchange(true);
      actions_->WakeUp();
      thread_->join();
    } else {
      thread_->detach();
    }
  }
}

void Dispatcher::Stop() {
  stop_.exchange(true);
  actions_->WakeUp();
}

void Dispatcher::Run() {
  SocketMap sockets;  // this loop's connections, bound to the thread while it runs
  BindThreadSocketMap(&sockets);
  loop_thread_.store(std::this_thread::get_id());
  thread_id_.store(os::CurrentThreadId());
  last_time_ = os::MonotonicMs();
  while (!stop_.load()) {
    const uint64_t now = os::MonotonicMs();
    timer_->TimerRun(static_cast<uint32_t>(now - last_time_));
    last_time_ = now;
    if (stop_.load()) break;
    actions_->WaitAndDispatch(timer_->MinTime());
    RunTasks();
  }
  // The thread's connections, listeners and pending work end with it.
  ThreadSocketMap().clear();
  listeners_.clear();
  std::vector<Task> rest;
  {
    std::lock_guard<std::mutex> lock(task_mutex_);
    rest.swap(tasks_);
  }
  rest.clear();
  BindThreadSocketMap(nullptr);
  loop_thread_.store(std::thread::id());
}

void Dispatcher::PostTask(Task task) {
  bool first;
  {
    std::lock_guard<std::mutex> lock(task_mutex_);
    first = tasks_.empty();
    tasks_.push_back(std::move(task));
  }
  // One wake-up per batch: the loop swaps the whole list out after each wait,
  // and a non-empty list always has a wake-up byte written after it filled.
  if (first) actions_->WakeUp();
}

void Dispatcher::RunOnLoop(Task task) {
  if (OnLoopThread()) {
    task();
  } else {
    PostTask(std::move(task));
  }
}

void Dispatcher::RunTasks() {
  std::vector<Task> batch;
  {
    std::lock_guard<std::mutex> lock(task_mutex_);
    batch.swap(tasks_);
  }
  for (auto& t : batch) t();
}

uint32_t Dispatcher::NextTimerId() {
  uint32_t id;
  do {
    id = next_timer_id_.fetch_add(1);
  } while (id == 0);
  return id;
}

void Dispatcher::ScheduleTimer(std::shared_ptr<TimerEvent> ev) {
  RunOnLoop([self = shared_from_this(), ev = std::move(ev)] { self->timer_->AddTimer(ev); });
}

uint32_t Dispatcher::AddTimer(uint32_t interval_ms, bool always, std::function<void()> cb) {
  auto ev = std::make_shared<TimerEvent>(interval_ms, always, std::move(cb));
  ev->timer_id_ = NextTimerId();
  const uint32_t id = ev->timer_id_;
  ScheduleTimer(std::move(ev));
  return id;
}

uint32_t Dispatcher::AddSocketTimer(uint32_t interval_ms, bool always, std::weak_ptr<EventHandler> handler) {
  auto ev = std::make_shared<TimerEvent>(interval_ms, always, std::move(handler));
  ev->timer_id_ = NextTimerId();
  const uint32_t id = ev->timer_id_;
  ScheduleTimer(std::move(ev));
  return id;
}

void Dispatcher::StopTimer(uint32_t timer_id) {
  if (OnLoopThread()) {
    timer_->RmTimer(timer_id);
    return;
  }
  // Weak: a socket dropped after its dispatcher must not revive it.
  PostTask([weak = weak_from_this(), timer_id] {
    if (auto self = weak.lock()) self->timer_->RmTimer(timer_id);
  });
}

void Dispatcher::Listen(SocketHandle handle, const std::string& ip, uint16_t port,
                        std::weak_ptr<const Handlers> handlers) {
  RunOnLoop([self = shared_from_this(), handle, ip, port, handlers = std::move(handlers)] {
    auto sock = std::make_shared<ConnectSocket>(handle, std::make_shared<AlloterWrap>(MakeNormalAlloter()));
    sock->SetEventActions(self->actions_);
    sock->SetHandlers(handlers);
    sock->SetLoop(self->weak_from_this());
    if (sock->Bind(ip, port) && sock->Listen()) self->listeners_.push_back(sock);
  });
}

void Dispatcher::Connect(const std::string& ip, uint16_t port, std::weak_ptr<const Handlers> handlers) {
  RunOnLoop([self = shared_from_this(), ip, port, weak_handlers = std::move(handlers)] {
    const bool ipv6 = ip.find(':') != std::string::npos;
    const SocketHandle h = os::TcpSocket(ipv6);
    auto handlers = weak_handlers.lock();
    if (h == kInvalidSocket) {
      const int err = os::LastError();
      NETCORE_LOG_FATAL("create socket failed. errno:%d, info:%s", err, os::ErrorText(err).c_str());
      return;
    }
    os::SetNonBlocking(h);
    os::SetNoDelay(h);
    auto sock = std::make_shared<RWSocket>(h, std::make_shared<AlloterWrap>(MakePoolAlloter()));
    sock->SetEventActions(self->actions_);
    sock->SetHandlers(weak_handlers);
    sock->SetLoop(self->weak_from_this());
    // The map keeps a connecting socket alive like an accepted one.
    ThreadSocketMap()[h] = sock;
    if (!sock->StartConnect(ipv6, ip, port)) {
      const int err = os::LastError();
      ThreadSocketMap().erase(h);
      sock->SetShutdown();
      sock->CloseHandle();
      if (handlers && handlers->connect) handlers->connect(sock, static_cast<uint32_t>(err == 0 ? 1 : err));
    }
  });
}

}  // namespace netcore
