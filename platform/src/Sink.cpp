#include "Lumlog/Sink.h"

#include <atomic>
#include <deque>

#include <fmt/format.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

namespace Lumlog {

std::string formatLine(const Record& r) {
  std::string line = fmt::format("{}/{} {}::{} {}:{}", r.handle, r.level, r.tag, r.function, r.file, r.line);
  if (!r.message.empty()) {
    line += ' ';
    line += r.message;
  }
  return line;
}

struct StderrSink::Impl {
  std::shared_ptr<spdlog::logger> logger;
};

StderrSink::StderrSink() : impl_(std::make_unique<Impl>()) {
  // A private logger (not in spdlog's registry) so that no other user of
  // spdlog in the process can change or drop it.
  impl_->logger = std::make_shared<spdlog::logger>("vovu-trace", std::make_shared<spdlog::sinks::stderr_sink_mt>());
  impl_->logger->set_pattern("%Y-%m-%d %H:%M:%S.%f %v");
  impl_->logger->set_level(spdlog::level::trace);
}

StderrSink::~StderrSink() = default;

void StderrSink::write(const Record& record) { impl_->logger->info(formatLine(record)); }

void CaptureSink::write(const Record& record) {
  std::lock_guard lock(mutex_);
  records_.push_back(record);
}

std::vector<Record> CaptureSink::records() const {
  std::lock_guard lock(mutex_);
  return records_;
}

void CaptureSink::clear() {
  std::lock_guard lock(mutex_);
  records_.clear();
}

namespace {
std::atomic<Sink*>& installed() {
  static std::atomic<Sink*> sink{nullptr};
  return sink;
}
}  // namespace

Sink& currentSink() {
  if (Sink* sink = installed().load(std::memory_order_acquire)) return *sink;
  static StderrSink fallback;
  return fallback;
}

void currentSinkIs(Sink* sink) { installed().store(sink, std::memory_order_release); }

namespace {
struct EventLog {
  std::mutex mutex;
  std::deque<Event> events;
};
EventLog& eventLog() {
  static EventLog log;
  return log;
}
}  // namespace

void eventRecord(std::string source, std::string message) {
  EventLog& log = eventLog();
  std::lock_guard lock(log.mutex);
  if (log.events.size() == kEventCapacity) log.events.pop_front();
  log.events.push_back(Event{std::move(source), std::move(message)});
}

std::vector<Event> events() {
  EventLog& log = eventLog();
  std::lock_guard lock(log.mutex);
  return {log.events.begin(), log.events.end()};
}

void eventsClear() {
  EventLog& log = eventLog();
  std::lock_guard lock(log.mutex);
  log.events.clear();
}

}  // namespace Lumlog
