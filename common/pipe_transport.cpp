#include <chrono>
#include <exception>
#include <stdexcept>
#include <thread>

#include "common/diag_log.h"
#include "common/pipe_transport.h"
#include "common/pipe_transport_internal.h"
#include "common/win32_errors.h"

namespace vantrel::pipe {
namespace detail {

std::wstring Widen(const char* s) {
  std::wstring out;
  for (; s != nullptr && *s != '\0'; ++s) out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*s)));
  return out;
}

void ServeConnection(ServerChannel& channel, const std::vector<PipeCommandHandler>& table,
                     const std::wstring& base_name, const std::atomic<bool>& stopping) {
  static const wchar_t kFn[] = L"serve_pipe_connection";
  std::vector<uint8_t> message;
  while (!stopping.load()) {
    const uint32_t err = channel.ReadMessage(&message);
    // A zero-byte read is no request: the connection ends as on a failed read.
    if (err != win32::kErrorSuccess || message.empty()) break;

    auto request = PipeRequest::Parse(message, table.size());
    if (!request) {
      Log(kLogWarning, kFn, base_name + L": malformed request of " + std::to_wstring(message.size()) +
                                L" bytes, connection closed");
      break;
    }
    PipeReply reply;
    const PipeCommandHandler& handler = table[request->command()];
    if (handler) {
      // A client request never ends the process: a throwing handler ends its connection only.
      try {
        reply = handler(*request);
      } catch (const std::exception& e) {
        Log(kLogException, kFn, base_name + L": command " + std::to_wstring(request->command()) + L": " +
                                    Widen(e.what()));
        break;
      } catch (...) {
        Log(kLogException, kFn, base_name + L": command " + std::to_wstring(request->command()) + L" failed");
        break;
      }
    }
    if (reply) {
      const uint32_t werr = channel.Write(*reply);
      if (werr != win32::kErrorSuccess) {
        Log(kLogWarning, kFn, base_name + L": reply of " + std::to_wstring(reply->size()) +
                                  L" bytes not written, error " + std::to_wstring(werr));
        break;
      }
    }
  }
}

}  // namespace detail

uint32_t send_pipe_message(PipeClient& pipe, uint16_t command, std::span<const PipeArg> args) {
  std::vector<uint8_t> message;
  try {
    message = PackRequest(command, args);
  } catch (const std::invalid_argument&) {
    return win32::kErrorInvalidParameter;
  }
  return pipe.Write(message);
}

uint32_t PipeTransact(const std::wstring& base_name, uint16_t command, std::span<const PipeArg> args,
                      std::vector<uint8_t>* reply, std::optional<std::chrono::milliseconds> timeout) {
  if (base_name.empty()) return win32::kErrorInvalidParameter;
  PipeClient client(base_name);
  if (timeout) client.SetDeadline(std::chrono::steady_clock::now() + *timeout);
  uint32_t err = client.Connect();
  if (err == win32::kErrorSuccess) err = send_pipe_message(client, command, args);
  if (err == win32::kErrorSuccess) err = client.ReadMessage(reply);
  client.Close();
  return err;
}

// The hosts run their pipe server for the life of the process and neither
// handles a failure of it. So a server that cannot be created (the set-up
// errors), cannot start a worker ("CreateThread failed") or stops accepting is
// logged and started again after a pause that doubles from 1 s up to 60 s
// (reset after a run that lasted a minute): never a busy loop, never a silent
// end of the thread or of the process. Connections already being served go on
// meanwhile. Only a missing base name, a caller's mistake that no retry can
// mend, is logged and thrown.
void run_pipe_server(const std::wstring& base_name, std::vector<PipeCommandHandler> table) {
  static const wchar_t kFn[] = L"run_pipe_server";
  if (base_name.empty()) {
    Log(kLogError, kFn, L"no pipe name");
    throw std::invalid_argument("pipe_name");
  }
  using std::chrono::seconds;
  constexpr seconds kFirstPause{1}, kLongestPause{60};
  PipeServer server(base_name, std::move(table));
  seconds pause = kFirstPause;
  for (;;) {
    const auto started = std::chrono::steady_clock::now();
    try {
      server.Run();
      Log(kLogError, kFn, base_name + L": the server stopped accepting clients; restarting");
    } catch (const std::exception& e) {
      Log(kLogException, kFn, base_name + L": " + detail::Widen(e.what()) + L" Restarting the server.");
    }
    if (std::chrono::steady_clock::now() - started >= kLongestPause) pause = kFirstPause;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, kLongestPause);
  }
}

}  // namespace vantrel::pipe
