// A duplicate of the run loop's epoll descriptor, shared with the threads that add or remove
// descriptors; closed when its last holder lets go.
#pragma once

#include "common/sys.hpp"

namespace quorlin {

struct EpollHandle {
    UniqueFd fd;
};

}  // namespace quorlin
