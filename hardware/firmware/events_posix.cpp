// Linux has no firmware event class to subscribe to: the firmware backends
// answer method calls only. The service says so once and goes on.
#include "common/diag_log.h"
#include "hardware/firmware/events.h"

namespace vantrel::hw {

void SubscribeFirmwareEvents(void*) {
  LogInfo(L"velmont::VmWmiEventSink::Initialize", L"no firmware event source on this platform; not subscribed");
}

}  // namespace vantrel::hw
