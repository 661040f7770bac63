#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

#include "netcore/event/event.h"

namespace netcore {

// Position of a timer in a wheel.
class TimerSolt {
 public:
  uint32_t timer_id_ = 0;
  uint32_t slot_ = 0;
  uint64_t expire_tick_ = 0;  // absolute slot count at which it is due
};

class TimerEvent : public Event, public TimerSolt {
 public:
  // Calls `cb` (flag 8).
  TimerEvent(uint32_t interval, bool always, std::function<void()> cb);
  // Calls its socket's timer handling (flag 16).
  TimerEvent(uint32_t interval, bool always, std::weak_ptr<EventHandler> handler);
  void Fire();

  uint32_t interval_;
  bool always_;
  std::function<void()> callback_;
};

class Timer {
 public:
  virtual ~Timer() = default;
  // Schedules at its interval from now; a timer id of 0 is replaced by a fresh one.
  virtual uint32_t AddTimer(std::shared_ptr<TimerEvent> event) = 0;
  virtual bool RmTimer(uint32_t timer_id) = 0;
  // Advances by `elapsed` ms and fires what came due; true when the index wrapped.
  virtual bool TimerRun(uint32_t elapsed) = 0;
  // Ms until the next occupied slot, -1 when no timer is pending.
  virtual int32_t MinTime() = 0;
};

// A timing wheel of capacity / accuracy slots. Each entry keeps its absolute
// due tick, so intervals longer than one revolution stay in their slot until
// their turn; sub-slot remainders of elapsed time are carried to the next run.
class TimerContainer : public Timer {
 public:
  TimerContainer(uint32_t accuracy_ms, uint32_t capacity_ms);

  uint32_t AddTimer(std::shared_ptr<TimerEvent> event) override;
  bool RmTimer(uint32_t timer_id) override;
  bool TimerRun(uint32_t elapsed) override;
  int32_t MinTime() override;

  uint32_t CurrentIndex() const { return index_; }
  size_t Size() const { return timers_.size(); }

 private:
  int32_t NextOccupied(uint32_t from) const;  // first set bit in [from, slots), -1 when none
  void Place(const std::shared_ptr<TimerEvent>& ev);
  void Unplace(const TimerEvent& ev);

  const uint32_t accuracy_;
  const uint32_t slot_count_;
  uint32_t index_ = 0;
  uint64_t tick_ = 0;
  uint32_t remainder_ = 0;
  uint32_t next_id_ = 1;
  std::vector<uint64_t> bitmap_;
  std::vector<std::vector<uint32_t>> slots_;
  std::unordered_map<uint32_t, std::shared_ptr<TimerEvent>> timers_;
};

}  // namespace netcore
