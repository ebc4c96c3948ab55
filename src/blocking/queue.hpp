// The runtime's ends of the blocking pool's queue.
#pragma once

#include "blocking/channel.hpp"
#include "blocking/task.hpp"

#include <memory>

namespace quorlin {

// The Runtime keeps the sending end and one receiving end; every blocking worker clones a receiving
// end of its own.  Because the Runtime holds a receiving end, a send can never go unheard while it
// exists; once it is freed, live workers drain the queue and then see disconnection.
struct BlockingQueueEnds {
    ChannelSender<TaskPtr> sender;
    ChannelReceiver<TaskPtr> receiver;
};

inline std::unique_ptr<BlockingQueueEnds> make_blocking_queue() {
    auto [sender, receiver] = make_channel<TaskPtr>();
    return std::make_unique<BlockingQueueEnds>(BlockingQueueEnds{std::move(sender), std::move(receiver)});
}

}  // namespace quorlin
