// DmaMemPoolManager::DmaMemPoolManager: the host's pool of DMA-able memory a
// shadow downloads through.
#pragma once

#include "Orvel/Node.h"

namespace DmaMemPoolManager {

class DmaMemPoolManager : public Orvel::Node {};

}  // namespace DmaMemPoolManager
