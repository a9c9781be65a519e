// Reading a collection from outside, for tools: every entry in iteration
// order, the figures of its headers, and a read-only structural check. Opens
// the files read-only through Ploom::PloomReader and never writes a byte.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include <chrono>
#include <cstring>
#include <map>
#include <thread>

#include "Ploom/PloomReader.h"
#include "Ploom/PloomShadow.h"

namespace Ploom {

struct CollectionReport {
  std::string typeName;
  std::uint32_t members = 0;   // occupied count in the slot header
  std::uint32_t capacity = 0;  // slot count
  std::uint32_t buckets = 0;
  std::uint32_t maxSlotsEver = 0;
  std::uint32_t highestOccupied = 0;
  std::uint32_t slotGeneration = 0;
  std::uint32_t bucketGeneration = 0;
  std::uint32_t runtimeFlags = 0;
  std::uint32_t palvoId = 0;
  std::uint32_t seed = 0;
  std::uint32_t entriesRead = 0;
  std::uint32_t freeSlots = 0;  // counted by the check
  std::uint32_t retries = 0;
  std::uint32_t rewriteCopies = 0;
  std::uint32_t slowPaths = 0;
  std::uint32_t resizeRetries = 0;
  std::vector<std::string> problems;  // what the check found wrong (empty: consistent)
};

using EntryVisitor = std::function<void(const void* entry)>;

// Reads the collection at `collectionPath` (below the collection base
// directory) as values of type V. Returns false with the reason in
// report.problems when it cannot be attached.
template <CollectionValue V>
bool inspectCollection(const std::string& collectionPath, const EntryVisitor& visit, CollectionReport& report,
                       bool check) {
  Orvel::Platform::DebugHandler dh("inspect");
  PloomReader<V> reader(dh, collectionPath, collectionPath);
  if (!reader.initialize(collectionPath)) {
    report.problems.push_back("cannot attach the collection's files as a reader (missing, or not valid)");
    return false;
  }
  const std::uint8_t* header = reader.slotTable().base();
  report.typeName = SlotHeaderCommon::typeName(header);
  report.members = reader.members();
  report.capacity = reader.capacity();
  report.buckets = reader.buckets();
  report.maxSlotsEver = SlotHeader::word(header, SlotHeader::kMaxSlotsEver);
  report.highestOccupied = SlotHeader::word(header, SlotHeader::kHighestOccupied);
  report.slotGeneration = SlotHeader::countPair(header).version;
  report.bucketGeneration = static_cast<std::uint32_t>(reader.bucketReader().countPair());
  report.runtimeFlags = SlotHeader::runtimeFlags(header);
  report.palvoId = reader.palvoId();
  report.seed = reader.seed();

  std::vector<std::uint8_t> reached(check ? reader.capacity() : 0, 0);
  try {
    V value;
    IterHint hint;
    bool more = reader.first(value, hint);
    while (more) {
      ++report.entriesRead;
      if (check) {
        if (hint.slot < reached.size() && reached[hint.slot]++) {
          report.problems.push_back(fmt::format("slot {} reached twice", hint.slot));
        }
        if (report.entriesRead > reader.capacity()) {
          report.problems.push_back("more entries reachable than slots: a cycle");
          break;
        }
      }
      if (visit) visit(&value);
      more = reader.next(value.entryKey(), value, hint);
    }
  } catch (const Orvel::CorruptionDetectedException& e) {
    report.problems.push_back(std::string("chain walk: ") + e.what());
  }
  if (check) {
    if (report.runtimeFlags & SlotHeader::kInCriticalSection) {
      report.problems.push_back("the writer stopped inside a critical section (the next writer re-formats)");
    }
    if (report.entriesRead != report.members) {
      report.problems.push_back(
          fmt::format("{} entries reachable but the header counts {} occupied", report.entriesRead, report.members));
    }
    // The free list, read-only.
    const auto& slots = reader.slotTable();
    std::uint32_t s = SlotHeader::word(header, SlotHeader::kFreeHead);
    while (s != SlotLink::kNothing) {
      if (s >= slots.numSlots()) {
        report.problems.push_back(fmt::format("free list leads to slot {} past the {} slots", s, slots.numSlots()));
        break;
      }
      if (reached[s]) {
        report.problems.push_back(fmt::format("free-list slot {} is also reachable or listed twice", s));
        break;
      }
      reached[s] = 1;
      ++report.freeSlots;
      const SlotLink link = SlotLink::read(slots.slot(s));
      if (link.occupied()) report.problems.push_back(fmt::format("free-list slot {} is marked occupied", s));
      s = link.link & ~SlotLink::kMark;
    }
    if (report.freeSlots + report.entriesRead != report.capacity) {
      report.problems.push_back(fmt::format("{} free + {} occupied slots do not add up to {} slots", report.freeSlots,
                                            report.entriesRead, report.capacity));
    }
  }
  const auto& counters = reader.readerCounters();
  report.retries = counters[Reader::Counters::retries];
  report.rewriteCopies = counters[Reader::Counters::rewriteCopies];
  report.slowPaths = counters[Reader::Counters::slowPaths];
  report.resizeRetries = counters[Reader::Counters::resizeRetries];
  return true;
}

enum class Change { added, changed, removed };
using ChangeVisitor = std::function<void(Change change, const void* entry)>;

// Follows the collection at `collectionPath` with a local shadow, calling
// `visit` for every entry added, changed (new data) or removed (with its last
// data), until `stop()` returns true; looks again every `interval` seconds.
// Returns false when the collection cannot be attached.
template <CollectionValue V>
bool watchCollection(const std::string& collectionPath, const ChangeVisitor& visit, const std::function<bool()>& stop,
                     double interval) {
  using Key = typename V::EntryKey;
  Orvel::Platform::DebugHandler dh("watch");
  PloomShadow<V> shadow(dh, collectionPath, collectionPath);
  if (!shadow.initialize(collectionPath)) return false;
  // The current value of every key, to tell additions from changes and to
  // report removals with their last data.
  std::map<Key, V> known;
  std::vector<Key> touched, gone;
  shadow.keyChangedIs([&](const Key& key) { touched.push_back(key); });
  shadow.keyRemovedIs([&](const Key& key) { gone.push_back(key); });
  shadow.sync();
  for (const Key& key : touched) {
    bool found = false;
    V value;
    shadow.lookup(key, found, &value);
    if (found) known[key] = value;
  }
  touched.clear();
  gone.clear();
  while (!stop()) {
    std::this_thread::sleep_for(std::chrono::duration<double>(interval));
    try {
      // Every slot is looked at; rewrites in place change no index, so the
      // values of known keys are compared too.
      shadow.sync();
    } catch (const Orvel::CorruptionDetectedException&) {
      continue;  // the writer is away or re-formatting: look again later
    }
    for (const Key& key : gone) {
      auto it = known.find(key);
      bool found = false;
      V value;
      shadow.lookup(key, found, &value);
      if (found || it == known.end()) continue;  // moved, not removed
      visit(Change::removed, &it->second);
      known.erase(it);
    }
    for (auto& [key, value] : known) {
      bool found = false;
      V now;
      shadow.lookup(key, found, &now);
      if (found && std::memcmp(&now, &value, sizeof(V)) != 0) {
        value = now;
        visit(Change::changed, &value);
      }
    }
    for (const Key& key : touched) {
      bool found = false;
      V value;
      shadow.lookup(key, found, &value);
      if (!found || known.count(key)) continue;
      known[key] = value;
      visit(Change::added, &known[key]);
    }
    touched.clear();
    gone.clear();
  }
  return true;
}

// The value type a collection's slot file names, read from its header alone;
// empty when the directory holds no readable slot file.
std::string collectionTypeName(const std::string& directory);

}  // namespace Ploom
