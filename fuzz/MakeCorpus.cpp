// Writes seed inputs for the collection-file fuzz target: real collections of
// a few sizes, packed as the target reads them.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "Mem/OrlRootPath.h"
#include "Ploom/PloomWriter.h"
#include "Ploom/TestValues.h"
#include "PloomFilesFuzz.h"

namespace {
using test_values::Key;
using test_values::Value;

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
    return 2;
  }
  std::filesystem::create_directories(argv[1]);
  std::string base = "/dev/shm/vovu-corpus-XXXXXX";
  if (!mkdtemp(base.data())) return 1;
  Mem::baseDirIs(base);
  Orvel::Platform::DebugHandler dh("corpus");
  for (std::uint32_t size : {0u, 1u, 5u, 64u, 70u}) {
    const std::string path = "/corpus/" + std::to_string(size);
    {
      Ploom::MapDescriptor d;
      d.capacity = 64;
      Ploom::PloomWriter<Value> writer(dh, path, d, path);
      writer.initialize(path);
      for (std::uint32_t i = 0; i < size; ++i) writer.write(Value{Key{i}, {i, i}}, true);
    }
    const Mem::OrlRootPath root(path);
    std::ofstream(std::string(argv[1]) + "/collection-" + std::to_string(size), std::ios::binary)
        << ploom_fuzz::pack(slurp(root.file("slots")), slurp(root.file("buckets")));
  }
  std::filesystem::remove_all(base);
  return 0;
}
