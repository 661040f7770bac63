// The command processor's tests use the shared in-memory registry and the
// wrapper that denies access a given number of times.
#pragma once
#include "tests/support/memory_registry.h"

namespace vantrel::testing {

using FakeRegistry = MemoryRegistry;

}  // namespace vantrel::testing
