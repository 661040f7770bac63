#include "agent/server/request_queue.h"

#include <algorithm>

namespace vantrel::agent {

MessageQueue::Pushed MessageQueue::Push(QueuedMessage message) {
  const netcore::NetSocket* key = message.connection.get();
  std::lock_guard<std::mutex> lock(mutex_);
  ClientQueue& client = clients_[key];
  if (client.messages.size() >= kMaxPerClient) return DropLocked(client);
  client.messages.push_back(Waiting{next_seq_++, std::move(message)});
  ++size_;
  return Pushed::kQueued;
}

MessageQueue::Pushed MessageQueue::DropLocked(ClientQueue& client) {
  if (client.overflow_reported) return Pushed::kDropped;
  client.overflow_reported = true;
  return Pushed::kFirstDropped;
}

MessageQueue::Pushed MessageQueue::NoteDropped(const netcore::NetSocket* connection) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = clients_.find(connection);
  // A client with nothing waiting has room; only a full one drops.
  if (it == clients_.end()) return Pushed::kDropped;
  return DropLocked(it->second);
}

bool MessageQueue::HasRoom(const netcore::NetSocket* connection) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = clients_.find(connection);
  return it == clients_.end() || it->second.messages.size() < kMaxPerClient;
}

std::vector<QueuedMessage> MessageQueue::TakeRound() {
  std::vector<Waiting> round;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    round.reserve(clients_.size());
    for (auto it = clients_.begin(); it != clients_.end();) {
      ClientQueue& client = it->second;
      round.push_back(std::move(client.messages.front()));
      client.messages.pop_front();
      --size_;
      // An emptied client is forgotten, which also re-arms its overflow report.
      it = client.messages.empty() ? clients_.erase(it) : std::next(it);
    }
  }
  std::sort(round.begin(), round.end(), [](const Waiting& a, const Waiting& b) { return a.seq < b.seq; });
  std::vector<QueuedMessage> out;
  out.reserve(round.size());
  for (Waiting& w : round) out.push_back(std::move(w.message));
  return out;
}

size_t MessageQueue::DropClient(const netcore::NetSocket* connection) {
  std::deque<Waiting> dropped;  // destroyed outside the lock
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = clients_.find(connection);
    if (it == clients_.end()) return 0;
    dropped.swap(it->second.messages);
    clients_.erase(it);
    size_ -= dropped.size();
  }
  return dropped.size();
}

size_t MessageQueue::Size() {
  std::lock_guard<std::mutex> lock(mutex_);
  return size_;
}

}  // namespace vantrel::agent
