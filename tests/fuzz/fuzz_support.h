// Shared pieces of the libFuzzer harnesses: a check that stops the run on a
// wrong result (not only on a crash), and the private folders the programs'
// code expects.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

// A wrong answer is a finding like a crash: abort so libFuzzer keeps the input.
#define FUZZ_CHECK(cond)                                                                  \
  do {                                                                                    \
    if (!(cond)) {                                                                        \
      std::fprintf(stderr, "wrong result: %s (%s:%d)\n", #cond, __FILE__, __LINE__);      \
      std::abort();                                                                       \
    }                                                                                     \
  } while (0)

namespace vantrel::fuzz {

// Once per process: a temporary tree for the state dir (registry.db), the
// runtime dir (pipes, so nothing reaches a running service), ProgramData and
// the configuration file, removed at exit. Returns its root.
const std::string& PrivateDirs();

// Code under test that reports errors on standard output (the cipher) would
// flood the run's log; its output goes to /dev/null instead.
void SilenceStdout();

inline std::span<const uint8_t> Bytes(const uint8_t* data, size_t size) { return {data, size}; }

}  // namespace vantrel::fuzz
