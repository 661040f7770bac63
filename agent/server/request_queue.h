// Received blocks waiting for the processing loop, kept per client. Each pass
// takes at most one message of every client, oldest first, so a client's
// requests are answered in arrival order while a client with a backlog delays
// the others by at most one pass.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "netcore/socket/net_socket.h"

namespace vantrel::agent {

// One block a read pass delivered, with the connection to answer; the
// reference keeps the connection alive until the reply is written.
struct QueuedMessage {
  std::vector<uint8_t> data;  // at most kMessageBufferSize bytes
  std::shared_ptr<netcore::NetSocket> connection;
};

class MessageQueue {
 public:
  // A polite client has one request waiting at a time (it waits for each
  // reply); eight leave room for a burst of notifications' worth of requests
  // while bounding what a flooding client holds to 8 x 32 KiB.
  static constexpr size_t kMaxPerClient = 8;

  enum class Pushed {
    kQueued,
    kDropped,       // the client already has kMaxPerClient messages waiting
    kFirstDropped,  // as kDropped, and the first drop since its queue was last empty
  };
  Pushed Push(QueuedMessage message);
  // False when a message of this client would be dropped: checked before a
  // message is built, so a flood costs no copies. Only the IO thread pushes,
  // so the answer holds until its Push.
  bool HasRoom(const netcore::NetSocket* connection);
  // Counts a message dropped without being built; kDropped or kFirstDropped.
  Pushed NoteDropped(const netcore::NetSocket* connection);
  // Removes and returns the oldest message of every client that has one,
  // in arrival order.
  std::vector<QueuedMessage> TakeRound();
  // Forgets a departed client's waiting messages; returns how many.
  size_t DropClient(const netcore::NetSocket* connection);
  // Messages waiting, all clients together.
  size_t Size();

 private:
  struct Waiting {
    uint64_t seq;
    QueuedMessage message;
  };
  struct ClientQueue {
    std::deque<Waiting> messages;
    bool overflow_reported = false;
  };
  Pushed DropLocked(ClientQueue& client);

  std::mutex mutex_;
  uint64_t next_seq_ = 0;
  size_t size_ = 0;
  // Keyed by the connection object, which the waiting messages keep alive,
  // so a key cannot be taken over by another connection while it is in use.
  std::map<const netcore::NetSocket*, ClientQueue> clients_;
};

}  // namespace vantrel::agent
