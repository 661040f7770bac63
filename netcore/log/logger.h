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

#define NETCORE_LOG_DEBUG(fmt, ...) \
  ::netcore::SingletonLogger::Instance().Debug(__FILE__, __LINE__, fmt __VA_OPT__(, ) __VA_ARGS__)
#define NETCORE_LOG_WARN(fmt, ...) \
  ::netcore::SingletonLogger::Instance().Warn(__FILE__, __LINE__, fmt __VA_OPT__(, ) __VA_ARGS__)
#define NETCORE_LOG_ERROR(fmt, ...) \
  ::netcore::SingletonLogger::Instance().Error(__FILE__, __LINE__, fmt __VA_OPT__(, ) __VA_ARGS__)
#define NETCORE_LOG_FATAL(fmt, ...) \
  ::netcore::SingletonLogger::Instance().Fatal(__FILE__, __LINE__, fmt __VA_OPT__(, ) __VA_ARGS__)
