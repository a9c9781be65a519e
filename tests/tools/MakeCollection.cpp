// Writes a shared-memory collection of catalogue entries for the shadowctl
// tests: make_collection BASE_DIR COLLECTION TABLE FIRST COUNT [DATA_BYTE]
// writes COUNT entries with keys FIRST.. (value keys, or entry indices of the
// first array index) of TABLE, data byte 0 = DATA_BYTE (default: the key's low byte).
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "LpmEntryTypeMapHwDirect.h"
#include "Mem/OrlRootPath.h"
#include "Ploom/PloomWriter.h"
#include "TarSnifActionTableHwDirect.h"

namespace {

template <class Table, class MakeKey>
int write(const std::string& collection, std::uint32_t first, std::uint32_t count, int dataByte, MakeKey makeKey) {
  Orvel::Platform::DebugHandler dh("make_collection");
  Ploom::MapDescriptor d;
  d.capacity = 512;
  Ploom::PloomWriter<typename Table::Entry> writer(dh, collection, d, collection);
  writer.initialize(collection);
  for (std::uint32_t i = first; i < first + count; ++i) {
    typename Table::Entry entry(makeKey(i));
    entry.dataByte0Is(0, static_cast<unsigned char>(dataByte >= 0 ? dataByte : static_cast<int>(i & 0xff)));
    writer.write(entry, true);
  }
  return 0;
}

// Writes the collection the arguments describe; returns the exit status.
int makeCollection(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: %s BASE_DIR COLLECTION TABLE FIRST COUNT [DATA_BYTE]\n", argv[0]);
    return 2;
  }
  Mem::baseDirIs(argv[1]);
  const std::string table = argv[3];
  const auto first = static_cast<std::uint32_t>(std::stoul(argv[4]));
  const auto count = static_cast<std::uint32_t>(std::stoul(argv[5]));
  const int dataByte = argc > 6 ? std::stoi(argv[6]) : -1;
  using namespace bcm88490_a0;
  if (table == "TarSnifActionTableHwDirect") {
    return write<TarSnifActionTableHwDirect>(argv[2], first, count, dataByte,
                                             [](std::uint32_t i) { return TarSnifActionTableHwDirect::EntryKey(i); });
  }
  if (table == "LpmEntryTypeMapHwDirect") {
    return write<LpmEntryTypeMapHwDirect>(argv[2], first, count, dataByte, [](std::uint32_t i) {
      return LpmEntryTypeMapHwDirect::EntryKey(static_cast<unsigned char>(i / 1024), i % 1024);
    });
  }
  std::fprintf(stderr, "make_collection: no writer for table %s\n", table.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return makeCollection(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_collection: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "make_collection: unexpected failure\n");
  }
  return 2;
}
