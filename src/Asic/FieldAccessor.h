// Asic::FieldAccessor: reaches a register field that is described as pieces.
//
// A field is a list of Asic::SubField pieces, each a run of `width` bits that
// sits at `dataOffset` in the entry data and at `valueOffset` in the field's
// value. Reading a piece copies min(width, 8N - dataOffset) bits when the
// piece starts inside the N data bytes and nothing otherwise; writing copies
// the full width (bits past the data are dropped). For a field in one piece
// the result equals the direct bit copy of the same offset and width.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "Detail/CopyBits.h"

namespace Asic {

struct SubField {
  std::uint32_t width;
  std::uint32_t valueOffset;
  std::uint32_t dataOffset;
};

class FieldAccessor {
 public:
  constexpr explicit FieldAccessor(std::span<const SubField> pieces) : pieces_(pieces) {}

  std::uint64_t get(const std::uint8_t* data, std::size_t dataBytes) const {
    std::uint64_t value = 0;
    const std::size_t dataBits = dataBytes * 8;
    for (const SubField& piece : pieces_) {
      if (piece.dataOffset >= dataBits) continue;
      const std::size_t bits = piece.width < dataBits - piece.dataOffset ? piece.width : dataBits - piece.dataOffset;
      Detail::copyBits(&value, sizeof value, data, dataBytes, bits, piece.valueOffset, piece.dataOffset);
    }
    return value;
  }

  void set(std::uint8_t* data, std::size_t dataBytes, std::uint64_t value) const {
    for (const SubField& piece : pieces_) {
      Detail::copyBits(data, dataBytes, &value, sizeof value, piece.width, piece.dataOffset, piece.valueOffset);
    }
  }

 private:
  std::span<const SubField> pieces_;
};

}  // namespace Asic
