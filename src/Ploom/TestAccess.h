// Ploom::Testing::Access: the one way tests and benchmarks reach a writer's
// internals (its slot table and hash map) to inspect, corrupt or drive them.
// Production code goes through the writer's own operations.
#pragma once

#include "Ploom/WriterAttachment.h"

namespace Ploom::Testing {

struct Access {
  template <CollectionValue V>
  static SlotWriterTable<V>& slots(WriterAttachment<V>& writer) noexcept {
    return writer.slots_;
  }
  template <CollectionValue V>
  static PloomCore::WriterHashMap<V>& map(WriterAttachment<V>& writer) noexcept {
    return writer.map_;
  }
};

}  // namespace Ploom::Testing
