// Chip-side host objects a shadow keeps: the chip status and the
// cmdlet-required status of its table manager.
#pragma once

#include "Orvel/Node.h"

namespace Hardware::Vovu {

class Status : public Orvel::Node {};
class VovuCmdletRequiredStatus : public Orvel::Node {
 public:
  // True when the chip's commands must run as cmdlets (the host's choice; off by default).
  bool cmdletRequired() const noexcept { return required_; }
  void cmdletRequiredIs(bool required) noexcept { required_ = required; }

 private:
  bool required_ = false;
};

}  // namespace Hardware::Vovu
