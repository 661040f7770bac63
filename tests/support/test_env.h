// The sandbox helpers (private folders, programs, ports) are shared with the
// benches, so they live in sandbox/; tests reach them through this name.
#pragma once
#include "sandbox/test_env.h"
