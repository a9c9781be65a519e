// The common part of a slot file's header: created, read and checked here.
#include "PloomCore/SlotHeaderCommon.h"

#include <algorithm>
#include <cstring>

#include <fmt/format.h>

#include "PloomCore/SharedWords.h"

namespace Ploom {

namespace Words = detail::Words;

SlotHeaderCommon::SlotHeaderCommon(void* base, std::uint32_t headerSize, std::uint32_t reserved0,
                                   std::uint32_t valueSize, std::uint32_t slotSize, std::uint32_t initialSlots,
                                   std::uint32_t maxSlots, std::uint32_t reserved1, std::uint32_t palvoId,
                                   const std::string& typeName, std::uint32_t valueSize2, std::uint32_t seed) {
  PLOOM_STORE_POINT();
  std::memset(base, 0, kEnd);
  Words::wordAtIs(base, 0, kMagic);
  Words::wordAtIs(base, 4, kFormatVersion);
  Words::wordAtIs(base, 8, headerSize);
  Words::wordAtIs(base, 12, reserved0);
  Words::wordAtIs(base, kPalvoOffset, palvoId);
  Words::wordAtIs(base, 20, valueSize);
  Words::wordAtIs(base, 24, slotSize);
  Words::wordAtIs(base, 28, initialSlots);
  Words::wordAtIs(base, 32, maxSlots);
  Words::wordAtIs(base, 36, reserved1);
  Words::wordAtIs(base, 40, valueSize2);
  Words::wordAtIs(base, 44, seed);
  std::memcpy(static_cast<std::uint8_t*>(base) + kTypeNameOffset, typeName.data(),
              std::min(typeName.size(), kTypeNameSize - 1));
}

bool SlotHeaderCommon::validateWords(const void* base, std::uint32_t headerSize, std::size_t fileSize,
                                     std::uint32_t palvoId, std::string& err) {
  if (fileSize < 24) {
    err = fmt::format("bad common header: file size {} below 24", fileSize);
    return false;
  }
  if (Words::wordAt(base, 0) != kMagic || Words::wordAt(base, 4) != kFormatVersion) {
    err = fmt::format("bad common header: magic {:#x} version {}", Words::wordAt(base, 0), Words::wordAt(base, 4));
    return false;
  }
  if (Words::wordAt(base, 8) != headerSize) {
    err = fmt::format("bad common header size: {} wanted:{}", Words::wordAt(base, 8), headerSize);
    return false;
  }
  if (Words::wordAt(base, kPalvoOffset) != palvoId) {
    err = fmt::format("mismatching palvo:{}, oldPalvo:{}", palvoId, Words::wordAt(base, kPalvoOffset));
    return false;
  }
  return true;
}

std::uint32_t SlotHeaderCommon::palvoId(const void* base) { return Words::wordAt(base, kPalvoOffset); }
std::uint32_t SlotHeaderCommon::valueSize(const void* base) { return Words::wordAt(base, 20); }
std::uint32_t SlotHeaderCommon::slotSize(const void* base) { return Words::wordAt(base, 24); }
std::uint32_t SlotHeaderCommon::maxSlots(const void* base) { return Words::wordAt(base, 32); }

std::string SlotHeaderCommon::typeName(const void* base) {
  const char* text = static_cast<const char*>(base) + kTypeNameOffset;
  return std::string(text, strnlen(text, kTypeNameSize));
}

std::string SlotHeaderCommon::toString(const void* base) {
  return fmt::format("headerSize:{} palvo:{} valueSize:{} slotSize:{} initialSlots:{} maxSlots:{} type:{}",
                     Words::wordAt(base, 8), palvoId(base), valueSize(base), slotSize(base), Words::wordAt(base, 28),
                     Words::wordAt(base, 32), typeName(base));
}

}  // namespace Ploom
