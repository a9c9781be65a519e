// Chip-side host objects a shadow keeps: the chip status and the
// cmdlet-required status of its table manager.
#pragma once

#include "Orvel/Node.h"

namespace Hardware::Vovu {

class Status : public Orvel::Node {};
class VovuCmdletRequiredStatus : public Orvel::Node {};

}  // namespace Hardware::Vovu
