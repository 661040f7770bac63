#pragma once
#include <cstdint>
#include <memory>
#include <unordered_map>

namespace netcore {

class RWSocket;

// 64-bit FNV-1a over the handle's 8 bytes, low byte first.
struct HandleHash {
  size_t operator()(uint64_t handle) const {
    uint64_t h = 0xcbf29ce484222325ull;
    for (int i = 0; i < 8; ++i) {
      h ^= (handle >> (8 * i)) & 0xff;
      h *= 0x100000001b3ull;
    }
    return static_cast<size_t>(h);
  }
};

using SocketMap = std::unordered_map<uint64_t, std::shared_ptr<RWSocket>, HandleHash>;

// The calling IO thread's open connections; the map keeps them alive.
SocketMap& ThreadSocketMap();

// Makes `map` the calling thread's map until it is unbound with nullptr. An
// IO thread binds a map it owns for as long as it runs: the thread-local
// slot then only holds a plain pointer, because with MinGW's emulated TLS a
// thread_local object's storage can be freed before its destructor runs at
// thread exit.
void BindThreadSocketMap(SocketMap* map);

}  // namespace netcore
