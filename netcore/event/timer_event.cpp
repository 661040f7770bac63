#include "netcore/event/timer_event.h"

#include <algorithm>
#include <bit>

#include "netcore/log/logger.h"

namespace netcore {

TimerEvent::TimerEvent(uint32_t interval, bool always, std::function<void()> cb)
    : Event(std::weak_ptr<EventHandler>()), interval_(interval), always_(always), callback_(std::move(cb)) {
  flags_ = EVENT_TIMER;
}

TimerEvent::TimerEvent(uint32_t interval, bool always, std::weak_ptr<EventHandler> handler)
    : Event(std::move(handler)), interval_(interval), always_(always) {
  flags_ = EVENT_TIMER_SOCK;
}

void TimerEvent::Fire() {
  if (flags_ & EVENT_TIMER) {
    if (callback_) callback_();
  } else if (flags_ & EVENT_TIMER_SOCK) {
    if (auto s = handler_.lock()) s->OnTimer();
  } else {
    NETCORE_LOG_ERROR("invalid timer type. type:%d", static_cast<int>(flags_));
  }
}

TimerContainer::TimerContainer(uint32_t accuracy_ms, uint32_t capacity_ms)
    : accuracy_(accuracy_ms == 0 ? 1 : accuracy_ms),
      slot_count_(std::max<uint32_t>(1, capacity_ms / (accuracy_ms == 0 ? 1 : accuracy_ms))),
      bitmap_((slot_count_ + 63) / 64, 0),
      slots_(slot_count_) {}

void TimerContainer::Place(const std::shared_ptr<TimerEvent>& ev) {
  uint64_t span = (static_cast<uint64_t>(ev->interval_) + accuracy_ - 1) / accuracy_;
  if (span == 0) span = 1;
  ev->expire_tick_ = tick_ + span;
  ev->slot_ = static_cast<uint32_t>((index_ + span) % slot_count_);
  slots_[ev->slot_].push_back(ev->timer_id_);
  bitmap_[ev->slot_ / 64] |= uint64_t(1) << (ev->slot_ % 64);
}

void TimerContainer::Unplace(const TimerEvent& ev) {
  auto& slot = slots_[ev.slot_];
  slot.erase(std::remove(slot.begin(), slot.end(), ev.timer_id_), slot.end());
  if (slot.empty()) bitmap_[ev.slot_ / 64] &= ~(uint64_t(1) << (ev.slot_ % 64));
}

uint32_t TimerContainer::AddTimer(std::shared_ptr<TimerEvent> event) {
  if (event->timer_id_ == 0) {
    do {
      event->timer_id_ = next_id_++;
    } while (event->timer_id_ == 0 || timers_.count(event->timer_id_) != 0);
  } else if (auto it = timers_.find(event->timer_id_); it != timers_.end()) {
    Unplace(*it->second);
    timers_.erase(it);
  }
  Place(event);
  const uint32_t id = event->timer_id_;
  timers_[id] = std::move(event);
  return id;
}

bool TimerContainer::RmTimer(uint32_t timer_id) {
  auto it = timers_.find(timer_id);
  if (it == timers_.end()) return false;
  Unplace(*it->second);
  timers_.erase(it);
  return true;
}

bool TimerContainer::TimerRun(uint32_t elapsed) {
  const uint64_t total = static_cast<uint64_t>(elapsed) + remainder_;
  const uint64_t steps = total / accuracy_;
  remainder_ = static_cast<uint32_t>(total % accuracy_);
  if (steps == 0) return false;

  const uint64_t new_tick = tick_ + steps;
  const bool wrapped = index_ + steps >= slot_count_;
  std::vector<std::shared_ptr<TimerEvent>> due;
  const uint64_t visit = std::min<uint64_t>(steps, slot_count_);
  for (uint64_t i = 1; i <= visit; ++i) {
    const uint32_t s = static_cast<uint32_t>((index_ + i) % slot_count_);
    if ((bitmap_[s / 64] & (uint64_t(1) << (s % 64))) == 0) continue;
    auto& slot = slots_[s];
    for (auto it = slot.begin(); it != slot.end();) {
      auto& ev = timers_.at(*it);
      if (ev->expire_tick_ <= new_tick) {
        due.push_back(ev);
        it = slot.erase(it);
      } else {
        ++it;
      }
    }
    if (slot.empty()) bitmap_[s / 64] &= ~(uint64_t(1) << (s % 64));
  }
  index_ = static_cast<uint32_t>((index_ + steps) % slot_count_);
  tick_ = new_tick;

  std::stable_sort(due.begin(), due.end(),
                   [](const auto& a, const auto& b) { return a->expire_tick_ < b->expire_tick_; });
  for (auto& ev : due) {
    // A callback may have removed or replaced this timer meanwhile.
    auto it = timers_.find(ev->timer_id_);
    if (it == timers_.end() || it->second != ev) continue;
    // Rescheduled before the call so the callback may remove it for good.
    if (ev->always_) {
      Place(ev);
    } else {
      timers_.erase(it);
    }
    ev->Fire();
  }
  return wrapped;
}

int32_t TimerContainer::NextOccupied(uint32_t from) const {
  for (uint32_t w = from / 64; w < bitmap_.size(); ++w) {
    uint64_t bits = bitmap_[w];
    if (w == from / 64) bits &= ~uint64_t(0) << (from % 64);
    if (bits != 0) {
      const uint32_t s = w * 64 + static_cast<uint32_t>(std::countr_zero(bits));
      return s < slot_count_ ? static_cast<int32_t>(s) : -1;
    }
  }
  return -1;
}

int32_t TimerContainer::MinTime() {
  if (timers_.empty()) return -1;
  // Search after the current slot to the end, then from slot 0 round to it.
  int32_t s = index_ + 1 < slot_count_ ? NextOccupied(index_ + 1) : -1;
  if (s < 0) s = NextOccupied(0);
  if (s < 0) return -1;
  uint32_t distance = (static_cast<uint32_t>(s) + slot_count_ - index_) % slot_count_;
  if (distance == 0) distance = slot_count_;
  const uint64_t ms = static_cast<uint64_t>(distance) * accuracy_ - remainder_;
  return static_cast<int32_t>(std::min<uint64_t>(ms, INT32_MAX));
}

}  // namespace netcore
