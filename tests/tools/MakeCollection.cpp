// Writes a shared-memory collection of catalogue entries for the shadowctl
// tests: make_collection BASE_DIR COLLECTION FIRST COUNT [DATA_BYTE] writes
// COUNT entries of TarSnifActionTableHwDirect with keys FIRST.., data byte 0 =
// DATA_BYTE (default: the key's low byte).
#include <cstdio>
#include <exception>
#include <string>

#include "Mem/OrlRootPath.h"
#include "Ploom/PloomWriter.h"
#include "TarSnifActionTableHwDirect.h"

int main(int argc, char** argv) {
  using Table = bcm88490_a0::TarSnifActionTableHwDirect;
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s BASE_DIR COLLECTION FIRST COUNT [DATA_BYTE]\n", argv[0]);
    return 2;
  }
  try {
    Mem::baseDirIs(argv[1]);
    const std::string collection = argv[2];
    const auto first = static_cast<std::uint32_t>(std::stoul(argv[3]));
    const auto count = static_cast<std::uint32_t>(std::stoul(argv[4]));
    const int dataByte = argc > 5 ? std::stoi(argv[5]) : -1;
    Orvel::Platform::DebugHandler dh("make_collection");
    Ploom::PloomWriter<Table::Entry> writer(dh, collection, {.capacity = 512}, collection);
    writer.initialize(collection);
    for (std::uint32_t i = first; i < first + count; ++i) {
      Table::Entry entry{Table::EntryKey(i)};
      entry.dataByte0Is(0, static_cast<unsigned char>(dataByte >= 0 ? dataByte : static_cast<int>(i & 0xff)));
      writer.write(entry, true);
    }
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_collection: %s\n", e.what());
  }
  return 2;
}
