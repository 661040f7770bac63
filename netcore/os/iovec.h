// The scatter/gather record the OS layer reads into and writes from; the
// byte queues above hand out their blocks in this form.
#pragma once
#include <cstddef>

namespace netcore {

// One scatter/gather record.
struct Iovec {
  void* iov_base;
  size_t iov_len;
};

}  // namespace netcore
