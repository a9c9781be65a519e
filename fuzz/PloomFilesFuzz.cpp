// Fuzz target: mutated slot and bucket files fed to the writer's attach and
// validation, and, when they validate, to its iteration and look-ups. Any
// outcome but a crash, a hang or a sanitizer report is fine: corrupt files
// must be reported (exceptions, failed validation), never trusted.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "Mem/OrlRootPath.h"
#include "Ploom/TestValues.h"
#include "Ploom/Validator.h"
#include "PloomCore/WriterHashMap.h"

namespace {

using test_values::Key;
using test_values::Value;

const std::string& root() {
  static const std::string path = [] {
    std::string base = "/dev/shm/vovu-fuzz-XXXXXX";
    if (!mkdtemp(base.data())) abort();
    Mem::baseDirIs(base);
    // The fuzzer ends with exit(): the files go with the process.
    static const std::string made = base;
    std::atexit([] { std::filesystem::remove_all(made); });
    Mem::OrlRootPath root("/fuzz/collection");
    root.create();
    return root.path();
  }();
  return path;
}

void writeFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

void exercise(const std::string& dir, std::uint32_t palvo) {
  Orvel::Platform::DebugHandler dh("fuzz");
  Ploom::Writer::Counters counters;
  std::uint32_t seed = 0;
  Ploom::SlotWriterTable<Value> slots(dh, "fuzz", dir, 64, false, true, &counters);
  PloomCore::WriterHashMap<Value> map(slots, PloomCore::HashMapContext{&dh, &seed, &counters, {}, "fuzz"}, dir, true);
  try {
    const Ploom::AttachResult slotResult = slots.attach(palvo, seed);
    const Ploom::AttachResult mapResult = map.attach(palvo);
    if (slotResult != Ploom::AttachResult::attached || mapResult != Ploom::AttachResult::attached) return;
    Ploom::Validator<Value> validator(dh, slots, map, "fuzz");
    const bool valid = validator.validate(palvo);
    // Look-ups and iteration must not crash whether or not the files are valid.
    for (std::uint32_t id = 0; id < 8; ++id) {
      try {
        bool found = false;
        map.lookup(Key{id}, found);
      } catch (const Orvel::Exception&) {
      }
    }
    if (valid) {
      Value value;
      Ploom::IterHint hint;
      std::uint32_t count = 0;
      if (map.first(0, value, hint)) {
        while (map.next(value.key, value, hint)) {
          if (++count > slots.numSlots()) abort();  // validation said every entry is reachable once
        }
      }
    }
  } catch (const Orvel::Exception&) {
    // Corruption, resource and initialisation errors are reports, not failures.
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t slotSize = std::min<std::size_t>(data[0] | data[1] << 8, size - 2);
  const std::string& dir = root();
  std::filesystem::remove(dir + "/slots");
  std::filesystem::remove(dir + "/buckets");
  if (slotSize > 0) writeFile(dir + "/slots", data + 2, slotSize);
  if (size - 2 - slotSize > 0) writeFile(dir + "/buckets", data + 2 + slotSize, size - 2 - slotSize);
  // Take the restart identity the slot header claims, so that consistent
  // files get past the identity checks and the walks are reached.
  std::uint32_t palvo = 0;
  if (slotSize >= 20) std::memcpy(&palvo, data + 2 + 16, 4);
  exercise(dir, palvo);
  return 0;
}
