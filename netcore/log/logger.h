// The core's own logger. Records are produced only for levels in the mask and
// only when a next logger (a sink) is attached; the system attaches none, so
// call sites cost a mask test.
#pragma once
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace netcore {

enum LogLevel : uint16_t {
  LOG_FATAL_LEVEL = 1,
  LOG_ERROR_LEVEL = 2,
  LOG_WARN_LEVEL = 4,
  LOG_INFO_LEVEL = 8,
  LOG_DEBUG_LEVEL = 16,
};

struct Log {
  static constexpr uint32_t kCapacity = 1024;
  char data[kCapacity];
  uint32_t len = 0;
};

class BaseLogger {
 public:
  virtual ~BaseLogger() = default;
  void SetLevel(uint16_t mask) { level_ = mask; }
  uint16_t GetLevel() const { return level_; }
  // Whether records of `level` are wanted at all: the logging macros test it
  // before they evaluate their arguments, which can cost a system call.
  bool Wants(uint16_t level) const { return (level_.load(std::memory_order_relaxed) & level) != 0; }
  void SetLogger(std::shared_ptr<BaseLogger> next);

  void Debug(const char* file, uint32_t line, const char* fmt, ...);
  void Warn(const char* file, uint32_t line, const char* fmt, ...);
  void Error(const char* file, uint32_t line, const char* fmt, ...);
  void Fatal(const char* file, uint32_t line, const char* fmt, ...);

  // A sink receives each finished record; the record returns to the pool after.
  virtual void Consume(const Log&) {}

 private:
  void Produce(uint16_t level, const char* tag, const char* file, uint32_t line, const char* fmt,
               va_list ap);
  std::unique_ptr<Log> Take();
  void Give(std::unique_ptr<Log> log);

  std::atomic<uint16_t> level_{15};
  std::mutex mutex_;
  std::vector<std::unique_ptr<Log>> pool_;
  std::shared_ptr<BaseLogger> next_;
};

class SingletonLogger {
 public:
  static BaseLogger& Instance();
};

// Formats one record into `out` (capacity Log::kCapacity): "[TAG|time|file:line] msg".
uint32_t FormatLogLine(char* out, const char* tag, const char* file, uint32_t line, const char* fmt,
                       va_list ap);

}  // namespace netcore

#define NETCORE_LOG_AT(level, method, fmt, ...)                                         \
  do {                                                                                  \
    ::netcore::BaseLogger& netcore_logger_ = ::netcore::SingletonLogger::Instance();    \
    if (netcore_logger_.Wants(level)) {                                                 \
      netcore_logger_.method(__FILE__, __LINE__, fmt __VA_OPT__(, ) __VA_ARGS__);       \
    }                                                                                   \
  } while (0)
#define NETCORE_LOG_DEBUG(fmt, ...) NETCORE_LOG_AT(::netcore::LOG_DEBUG_LEVEL, Debug, fmt __VA_OPT__(, ) __VA_ARGS__)
#define NETCORE_LOG_WARN(fmt, ...) NETCORE_LOG_AT(::netcore::LOG_WARN_LEVEL, Warn, fmt __VA_OPT__(, ) __VA_ARGS__)
#define NETCORE_LOG_ERROR(fmt, ...) NETCORE_LOG_AT(::netcore::LOG_ERROR_LEVEL, Error, fmt __VA_OPT__(, ) __VA_ARGS__)
#define NETCORE_LOG_FATAL(fmt, ...) NETCORE_LOG_AT(::netcore::LOG_FATAL_LEVEL, Fatal, fmt __VA_OPT__(, ) __VA_ARGS__)
