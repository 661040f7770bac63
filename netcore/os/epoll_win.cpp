#include "netcore/os/epoll_win.h"

#include <winsock2.h>
#include <windows.h>

#include <mutex>
#include <unordered_map>
#include <vector>

namespace netcore::winepoll {

struct Instance {
  struct Entry {
    uint32_t events;
    void* data;
  };
  std::mutex mutex;
  std::unordered_map<SOCKET, Entry> entries;
  std::vector<WSAPOLLFD> fds;  // rebuilt when `dirty`
  bool dirty = true;
};

namespace {

SHORT PollMask(uint32_t events) {
  SHORT m = 0;
  if (events & kEpollIn) m |= POLLRDNORM;
  if (events & kEpollOut) m |= POLLWRNORM;
  return m;
}

}  // namespace

Instance* epoll_create() { return new (std::nothrow) Instance(); }

void epoll_close(Instance* ep) { delete ep; }

int epoll_ctl(Instance* ep, int op, uint64_t socket, const ReadyEvent* event) {
  if (ep == nullptr || (op != EPOLL_CTL_DEL && event == nullptr)) {
    WSASetLastError(WSAEINVAL);
    return -1;
  }
  const SOCKET s = static_cast<SOCKET>(socket);
  std::lock_guard<std::mutex> lock(ep->mutex);
  auto it = ep->entries.find(s);
  switch (op) {
    case EPOLL_CTL_ADD:
      if (it != ep->entries.end()) {
        WSASetLastError(ERROR_ALREADY_EXISTS);
        return -1;
      }
      ep->entries.emplace(s, Instance::Entry{event->events, event->data});
      break;
    case EPOLL_CTL_MOD:
      if (it == ep->entries.end()) {
        WSASetLastError(ERROR_NOT_FOUND);
        return -1;
      }
      it->second = {event->events, event->data};
      break;
    case EPOLL_CTL_DEL:
      if (it == ep->entries.end()) {
        WSASetLastError(ERROR_NOT_FOUND);
        return -1;
      }
      ep->entries.erase(it);
      break;
    default:
      WSASetLastError(WSAEINVAL);
      return -1;
  }
  ep->dirty = true;
  return 0;
}

int epoll_wait(Instance* ep, ReadyEvent* events, int max, int timeout_ms) {
  if (ep == nullptr || events == nullptr || max <= 0) {
    WSASetLastError(WSAEINVAL);
    return -1;
  }
  std::vector<WSAPOLLFD> fds;
  {
    std::lock_guard<std::mutex> lock(ep->mutex);
    if (ep->dirty) {
      ep->fds.clear();
      for (const auto& [s, e] : ep->entries) {
        // A member without interest is left out: WSAPoll cannot watch
        // "nothing", and the core never relies on unrequested reports.
        const SHORT mask = PollMask(e.events);
        if (mask != 0) ep->fds.push_back(WSAPOLLFD{s, mask, 0});
      }
      ep->dirty = false;
    }
    fds = ep->fds;
  }
  if (fds.empty()) {
    if (timeout_ms < 0) {
      WSASetLastError(WSAEINVAL);  // would sleep for ever
      return -1;
    }
    ::Sleep(static_cast<DWORD>(timeout_ms));
    return 0;
  }
  const int r = ::WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeout_ms);
  if (r == SOCKET_ERROR) return -1;
  if (r == 0) return 0;

  std::lock_guard<std::mutex> lock(ep->mutex);
  int count = 0;
  for (const WSAPOLLFD& p : fds) {
    if (p.revents == 0) continue;
    auto it = ep->entries.find(p.fd);
    if (it == ep->entries.end()) continue;  // removed while waiting
    if (p.revents & POLLNVAL) {
      // A closed socket leaves the set, as closing does on Linux.
      ep->entries.erase(it);
      ep->dirty = true;
      continue;
    }
    const uint32_t want = it->second.events;
    uint32_t ev = 0;
    if (p.revents & (POLLRDNORM | POLLRDBAND)) ev |= kEpollIn;
    if (p.revents & POLLWRNORM) ev |= kEpollOut;
    if (p.revents & POLLHUP) ev |= kEpollHup | (want & kEpollIn);
    if (p.revents & POLLERR) ev |= kEpollErr | (want & kEpollIn);
    ev &= want | kEpollHup | kEpollErr;
    if (ev == 0) continue;
    events[count++] = ReadyEvent{ev, it->second.data};
    if (count == max) break;
  }
  return count;
}

}  // namespace netcore::winepoll
