// Points at which a test can stop or step the processes that share a
// collection, so that every interleaving of a writer and a reader can be
// driven one step at a time instead of being hoped for.
//
// Store points. Every store a writer makes to a shared file passes
// PLOOM_STORE_POINT() first: the words of the slot file and of the bucket
// file (the bucket-file component's own stores included), and also the
// unlinking of a file, which readers see as well. A crash test installs
// Ploom::Testing::storeHook in a forked writer and exits the process at the
// k-th point, for every k of an operation; an interleaving test runs a
// reader's step there.
//
// Reader points. A reader passes PLOOM_READER_POINT(stage, index) at each
// stage where a writer's stores may fall between two of its steps:
//   bucketsAttached  the bucket file is mapped, the slot file not yet;
//   slotsAttached    the slot file's header is mapped, nothing checked yet;
//   slotRead         slot `index` was copied, the link that led to it not
//                    yet validated;
//   pollVersionRead  a poll read slot `index`'s version word and has not
//                    handled it yet.
// An interleaving test installs Ploom::Testing::readerHook and makes the
// writer change the files there.
//
// In production both hooks are null and a point is one load and a
// well-predicted branch. A reader's look-up and its iteration step (its hot
// paths) go without their points altogether while no hook is installed when
// they begin: the call a point might make costs the walk around it registers
// and reloads even when it is never made. They live in the platform
// library, once per process, so that its bucket-file component and the
// collection code stop at the same points.
#pragma once

#include <cstdint>

namespace Ploom::Testing {

enum class ReaderStage : std::uint32_t { bucketsAttached, slotsAttached, slotRead, pollVersionRead };

extern void (*storeHook)();
extern void (*readerHook)(ReaderStage stage, std::uint32_t index);

}  // namespace Ploom::Testing

#define PLOOM_STORE_POINT()                         \
  do {                                              \
    if (::Ploom::Testing::storeHook) [[unlikely]] { \
      ::Ploom::Testing::storeHook();                \
    }                                               \
  } while (0)

#define PLOOM_READER_POINT(stage, index)                                           \
  do {                                                                             \
    if (::Ploom::Testing::readerHook) [[unlikely]] {                               \
      ::Ploom::Testing::readerHook(::Ploom::Testing::ReaderStage::stage, (index)); \
    }                                                                              \
  } while (0)
