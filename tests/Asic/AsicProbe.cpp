// A process with the plug-in linked in, so its assertion mode is read from
// GRACEFUL_ASSERT_MODE while it loads. Commands:
//   check        run a failing check; print the graceful assertion's text
//   check-twice  run a check whose condition fails once, then holds; print
//                how often it was evaluated
#include <cstdio>
#include <cstring>

#include "Asic/GracefulAssert.h"

int main(int argc, char** argv) {
  const char* command = argc > 1 ? argv[1] : "check";
  try {
    if (std::strcmp(command, "check") == 0) {
      const int entries = 3;
      ASIC_CHECK(entries < 2, "too many entries: {}", entries);
      std::printf("passed\n");
    } else if (std::strcmp(command, "check-twice") == 0) {
      int evaluations = 0;
      ASIC_CHECK(++evaluations > 1, "first evaluation fails");
      std::printf("continued after %d evaluations\n", evaluations);
    }
  } catch (const Asic::OrderedTableException& e) {
    std::printf("caught: %s\n", e.what());
  }
  return 0;
}
