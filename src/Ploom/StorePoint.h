// Points between the writer's stores at which a test can stop the process.
//
// Every store the writer makes to a shared file passes PLOOM_STORE_POINT()
// first. A crash test installs Ploom::Testing::storeHook in a forked writer
// and exits the process at the k-th point, for every k of an operation; in
// production the hook is null and the point is one load and a
// well-predicted branch.
#pragma once

namespace Ploom::Testing {
inline void (*storeHook)() = nullptr;
}  // namespace Ploom::Testing

#define PLOOM_STORE_POINT()                                        \
  do {                                                             \
    if (::Ploom::Testing::storeHook) [[unlikely]] {                \
      ::Ploom::Testing::storeHook();                               \
    }                                                              \
  } while (0)
