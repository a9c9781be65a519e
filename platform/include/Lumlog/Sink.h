// Lumlog: where trace lines go.
//
// A trace statement that passes its handle's level filter hands one formatted
// record to the current sink. The default sink writes lines through spdlog to
// stderr; tests install a CaptureSink and read the records back.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace Lumlog {

struct Record {
  std::string handle;    // trace handle name
  std::uint16_t level;   // 0..9
  std::string file;      // source file
  std::string function;  // calling function
  int line;
  std::string tag;      // class name of the caller
  std::string message;  // formatted text, may be empty
};

class Sink {
 public:
  virtual ~Sink() = default;
  virtual void write(const Record& record) = 0;
};

// Formats a record as one line: "<handle>/<level> <tag>::<function> <file>:<line> <message>".
std::string formatLine(const Record& record);

// Writes formatted lines to stderr through spdlog.
class StderrSink final : public Sink {
 public:
  StderrSink();
  ~StderrSink() override;
  void write(const Record& record) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Keeps every record in memory, for tests.
class CaptureSink final : public Sink {
 public:
  void write(const Record& record) override;
  std::vector<Record> records() const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<Record> records_;
};

// The sink trace statements write to; the StderrSink unless replaced.
Sink& currentSink();
// Replaces the current sink (null restores the default). The caller keeps
// `sink` alive until it is replaced again.
void currentSinkIs(Sink* sink);

// Events: one record per noteworthy operation (a shadow download), whatever
// the trace levels, kept in memory for diagnostics. The log keeps the last
// kEventCapacity events; older ones are dropped first.
struct Event {
  std::string source;   // who recorded it (e.g. "Shadow")
  std::string message;  // formatted text
};
inline constexpr std::size_t kEventCapacity = 4096;
void eventRecord(std::string source, std::string message);
// The events kept, oldest first.
std::vector<Event> events();
void eventsClear();

}  // namespace Lumlog
