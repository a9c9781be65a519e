// Ploom::SlotHeaderCommon: the common part (bytes 0-557) of a collection's
// slot-file header, written when the file is formatted.
//
// Layout (all little-endian 32-bit words unless noted):
//     0 magic "PSLT"          4 format version       8 common header size (608)
//    12 reserved (0)         16 restart identity     20 value size
//    24 slot size            28 initial slot count   32 maximum slot count
//    36 reserved (0)         40 value size (again)   44 hash seed at creation
//    48 value type name, NUL-terminated, 256 bytes
// The collection's own fields start at 558. Validation reads only the words
// in the first 24 bytes, so a file cut short still reports its size as the
// reason it is bad.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Ploom {

class SlotHeaderCommon {
 public:
  static constexpr std::uint32_t kMagic = 0x544C5350;  // "PSLT"
  static constexpr std::uint32_t kFormatVersion = 1;
  static constexpr std::size_t kEnd = 558;
  static constexpr std::size_t kPalvoOffset = 16;
  static constexpr std::size_t kTypeNameOffset = 48;
  static constexpr std::size_t kTypeNameSize = 256;

  // Writes the common header at `base` (which must hold kEnd bytes).
  SlotHeaderCommon(void* base, std::uint32_t headerSize, std::uint32_t reserved0, std::uint32_t valueSize,
                   std::uint32_t slotSize, std::uint32_t initialSlots, std::uint32_t maxSlots, std::uint32_t reserved1,
                   std::uint32_t palvoId, const std::string& typeName, std::uint32_t valueSize2, std::uint32_t seed);

  // Checks magic, format version, header size and restart identity of the
  // header at `base`. Returns false with the reason in `err`.
  template <class DebugHandle>
  static bool validate(const DebugHandle&, const void* base, std::uint32_t headerSize, std::size_t fileSize,
                       std::uint32_t palvoId, std::string& err) {
    return validateWords(base, headerSize, fileSize, palvoId, err);
  }
  static bool validateWords(const void* base, std::uint32_t headerSize, std::size_t fileSize, std::uint32_t palvoId,
                            std::string& err);

  static std::uint32_t palvoId(const void* base);
  static std::string typeName(const void* base);
  static std::uint32_t valueSize(const void* base);
  static std::uint32_t slotSize(const void* base);
  static std::uint32_t maxSlots(const void* base);
  // The common header as one line, for traces.
  static std::string toString(const void* base);
};

}  // namespace Ploom
