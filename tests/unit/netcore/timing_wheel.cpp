// The timing wheel: firing order, repetition, removal from callbacks,
// intervals beyond one revolution and the distance to the next timer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "netcore/event/timer_event.h"

using netcore::TimerContainer;
using netcore::TimerEvent;

namespace {

struct Wheel {
  TimerContainer wheel{1, 1000};
  std::vector<std::string> fired;
  uint32_t Add(const std::string& name, uint32_t ms, bool repeat) {
    return wheel.AddTimer(std::make_shared<TimerEvent>(ms, repeat, [this, name] { fired.push_back(name); }));
  }
};

}  // namespace

TEST(TimingWheel, FiresOneShotAndRepeatingInDueOrder) {
  Wheel w;
  w.Add("a30", 30, false);
  w.Add("r10", 10, true);
  w.Add("b15", 15, false);
  EXPECT_EQ(w.wheel.MinTime(), 10);
  for (int i = 0; i < 35; ++i) w.wheel.TimerRun(1);
  // Timers due in the same slot fire in the order they were put there.
  EXPECT_EQ(w.fired, (std::vector<std::string>{"r10", "b15", "r10", "a30", "r10"}));
  EXPECT_EQ(w.wheel.Size(), 1u);  // only the repeating one is left
  EXPECT_EQ(w.wheel.MinTime(), 5);
}

TEST(TimingWheel, OneLargeStepFiresEachDueTimerOnceInOrder) {
  Wheel w;
  w.Add("late", 40, false);
  w.Add("early", 5, false);
  w.Add("rep", 10, true);
  w.wheel.TimerRun(50);
  // A repeating timer is put back at its interval from now, not caught up.
  EXPECT_EQ(w.fired, (std::vector<std::string>{"early", "rep", "late"}));
  EXPECT_EQ(w.wheel.MinTime(), 10);
}

TEST(TimingWheel, MinTimeAcrossTheWrap) {
  Wheel w;
  EXPECT_EQ(w.wheel.MinTime(), -1);
  EXPECT_FALSE(w.wheel.TimerRun(990));
  EXPECT_EQ(w.wheel.CurrentIndex(), 990u);
  w.Add("x", 15, false);  // slot 5 after the wrap
  w.Add("y", 8, false);   // slot 998 before it
  EXPECT_EQ(w.wheel.MinTime(), 8);
  EXPECT_FALSE(w.wheel.TimerRun(8));
  EXPECT_EQ(w.fired, std::vector<std::string>{"y"});
  EXPECT_EQ(w.wheel.MinTime(), 7);
  EXPECT_TRUE(w.wheel.TimerRun(7));  // the index wraps
  EXPECT_EQ(w.fired, (std::vector<std::string>{"y", "x"}));
  EXPECT_EQ(w.wheel.CurrentIndex(), 5u);
  EXPECT_EQ(w.wheel.MinTime(), -1);
}

TEST(TimingWheel, IntervalsOfAFullRevolutionAndMore) {
  Wheel w;
  w.wheel.TimerRun(123);
  w.Add("rev", 1000, false);   // lands on the current slot, one turn ahead
  w.Add("long", 2500, false);  // needs more than two turns
  EXPECT_EQ(w.wheel.MinTime(), 500);  // the slot of "long" comes first, early
  w.wheel.TimerRun(500);
  EXPECT_TRUE(w.fired.empty());
  EXPECT_EQ(w.wheel.MinTime(), 500);
  w.wheel.TimerRun(500);
  EXPECT_EQ(w.fired, std::vector<std::string>{"rev"});
  w.wheel.TimerRun(1499);
  EXPECT_EQ(w.fired.size(), 1u);
  w.wheel.TimerRun(1);
  EXPECT_EQ(w.fired, (std::vector<std::string>{"rev", "long"}));
}

TEST(TimingWheel, CallbacksMayRemoveTimers) {
  TimerContainer wheel(1, 1000);
  int a = 0, b = 0;
  uint32_t id_b = 0;
  uint32_t id_a = 0;
  id_a = wheel.AddTimer(std::make_shared<TimerEvent>(5, true, [&] {
    ++a;
    wheel.RmTimer(id_a);  // a repeating timer stopping itself
    wheel.RmTimer(id_b);  // and one due in the same step
  }));
  id_b = wheel.AddTimer(std::make_shared<TimerEvent>(5, false, [&] { ++b; }));
  wheel.TimerRun(20);
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, 0);
  EXPECT_EQ(wheel.Size(), 0u);
  EXPECT_EQ(wheel.MinTime(), -1);
  EXPECT_FALSE(wheel.RmTimer(id_a));
}

TEST(TimingWheel, CoarseWheelCarriesTheRemainder) {
  TimerContainer wheel(10, 1000);  // 100 slots of 10 ms
  int fired = 0;
  wheel.AddTimer(std::make_shared<TimerEvent>(30, false, [&] { ++fired; }));
  EXPECT_EQ(wheel.MinTime(), 30);
  for (int i = 0; i < 29; ++i) wheel.TimerRun(1);
  EXPECT_EQ(fired, 0);
  EXPECT_EQ(wheel.MinTime(), 1);
  wheel.TimerRun(1);
  EXPECT_EQ(fired, 1);
}
