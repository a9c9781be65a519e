#include "Orvel/Node.h"

namespace Orvel {

std::atomic<bool>& ThreadControl::flag() noexcept {
  static std::atomic<bool> shared{false};
  return shared;
}

Node::~Node() = default;

}  // namespace Orvel
