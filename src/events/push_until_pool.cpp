// Stand-ins for the push operations until the worker pool is merged; its definitions replace
// these (they are weak).  Nothing can be pushed before then: reaching one is a build fault.
#include "work/push.hpp"

#include "common/py.hpp"

namespace quorlin {

__attribute__((weak)) void push_soon(RuntimeRecord&, ItemPtr) noexcept { fatal("push_soon: no worker pool built in"); }
__attribute__((weak)) void push_deferred(RuntimeRecord&, ItemPtr) noexcept {
    fatal("push_deferred: no worker pool built in");
}

}  // namespace quorlin
