// Default contents of TarSnifActionTableHwDirect.
#include "Common/DefaultContents.h"
#include "Hardware/Vovu/DestinationId.h"
#include "TarSnifActionTableHwDirect.h"

#include <fmt/format.h>

#include "Orvel/Exception.h"

namespace bcm88490_a0 {

namespace {

// The L3 snoop commands whose entries the system owns, in the order they are written.
constexpr std::uint32_t l3SnoopCmds[] = {2, 3, 8, 11, 1, 7, 12, 19, 16, 17};

constexpr Hardware::Vovu::FapType kFapType{4};

Hardware::Vovu::DestinationId destIdFor(std::uint32_t command) {
  switch (command) {
    case 1:
      return {51, 0, 8, false};
    case 2:
      return {19, 0, 8, false};
    case 3:
      return {16, 0, 8, false};
    case 7:
    case 12:
    case 19:
      return {28, 0, 8, false};
    case 8:
      return {12, 0, 8, false};
    case 11:
      return {20, 0, 8, false};
    case 16:
    case 17:
      return {67, 0, 1, false};
  }
  throw Orvel::Exception(fmt::format("Unexpected snoop command: {}", command));
}

}  // namespace

// Each L3 snoop command gets its destination (destinationOw set); every other field is 0.
void TarSnifActionTableHwDirect::userInitHwTable(const VovuAsicUtils::HwShadowKey& key) {
  VOVU_DEFAULTS_TRACE(TarSnifActionTableHwDirect, key);
  for (std::uint32_t command : l3SnoopCmds) {
    Entry entry{EntryKey(command)};
    entry.destinationIs(Orvel::U21(destIdFor(command).encodedDestId(kFapType)));
    entry.destinationOwIs(1);
    setEntry(key, entry);
  }
}

}  // namespace bcm88490_a0
