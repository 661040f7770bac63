#include "netcore/log/logger.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace netcore {

uint32_t FormatLogLine(char* out, const char* tag, const char* file, uint32_t line, const char* fmt,
                       va_list ap) {
  const auto now = std::chrono::system_clock::now();
  const std::time_t secs = std::chrono::system_clock::to_time_t(now);
  const int ms = static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm tm{};
#ifdef _WIN32
  localtime_s(&tm, &secs);
#else
  localtime_r(&secs, &tm);
#endif
  int n = std::snprintf(out, Log::kCapacity, "[%s|%04d-%02d-%02d:%02d:%02d:%02d:%03d|%s:%u] ", tag,
                        tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                        tm.tm_sec, ms, file, static_cast<unsigned>(line));
  if (n < 0) n = 0;
  if (static_cast<uint32_t>(n) >= Log::kCapacity) return Log::kCapacity - 1;
  int m = std::vsnprintf(out + n, Log::kCapacity - static_cast<uint32_t>(n), fmt, ap);
  if (m < 0) m = 0;
  const uint32_t total = static_cast<uint32_t>(n) + static_cast<uint32_t>(m);
  return total >= Log::kCapacity ? Log::kCapacity - 1 : total;
}

void BaseLogger::SetLogger(std::shared_ptr<BaseLogger> next) {
  std::lock_guard<std::mutex> lock(mutex_);
  next_ = std::move(next);
}

std::unique_ptr<Log> BaseLogger::Take() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (pool_.empty()) return std::make_unique<Log>();
  auto log = std::move(pool_.back());
  pool_.pop_back();
  return log;
}

void BaseLogger::Give(std::unique_ptr<Log> log) {
  std::lock_guard<std::mutex> lock(mutex_);
  pool_.push_back(std::move(log));
}

void BaseLogger::Produce(uint16_t level, const char* tag, const char* file, uint32_t line,
                         const char* fmt, va_list ap) {
  if ((level_ & level) == 0) return;
  std::shared_ptr<BaseLogger> next;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    next = next_;
  }
  if (!next) return;
  auto log = Take();
  log->len = FormatLogLine(log->data, tag, file, line, fmt, ap);
  next->Consume(*log);
  Give(std::move(log));
}

#define NETCORE_PRODUCE(level, tag)            \
  va_list ap;                                  \
  va_start(ap, fmt);                           \
  Produce(level, tag, file, line, fmt, ap);    \
  va_end(ap)

void BaseLogger::Debug(const char* file, uint32_t line, const char* fmt, ...) {
  NETCORE_PRODUCE(LOG_DEBUG_LEVEL, "DEB");
}
void BaseLogger::Warn(const char* file, uint32_t line, const char* fmt, ...) {
  NETCORE_PRODUCE(LOG_WARN_LEVEL, "WAR");
}
void BaseLogger::Error(const char* file, uint32_t line, const char* fmt, ...) {
  NETCORE_PRODUCE(LOG_ERROR_LEVEL, "ERR");
}
void BaseLogger::Fatal(const char* file, uint32_t line, const char* fmt, ...) {
  NETCORE_PRODUCE(LOG_FATAL_LEVEL, "FAT");
}

BaseLogger& SingletonLogger::Instance() {
  static BaseLogger logger;
  return logger;
}

}  // namespace netcore
