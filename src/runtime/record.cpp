#include "runtime/record.hpp"

#include "blocking/queue.hpp"
#include "io/registration_map.hpp"
#include "io/schedule.hpp"
#include "runtime/signal_table.hpp"
#include "work/global_queue.hpp"
#include "work/worker_set.hpp"

#include <cerrno>
#include <cstdint>
#include <unistd.h>

namespace quorlin {

RuntimeRecord::RuntimeRecord(size_t threads_, size_t threads_blocking_, uint64_t blocking_timeout_seconds,
                             bool context_, std::vector<uint8_t> signals)
    : io_registrations(std::make_unique<IoRegistrationMap>()),
      signal_events(std::make_unique<SignalTable>()),
      blocking_queue(make_blocking_queue()),
      blocking_idle_timeout{blocking_timeout_seconds, 0},
      blocking_live(std::make_shared<std::atomic<size_t>>(0)),
      threads_blocking(threads_blocking_),
      clock_base(monotonic_now()),
      signal_set(std::move(signals)),
      global_queue(std::make_shared<GlobalQueue>()),
      threads(threads_),
      context(context_) {}

RuntimeRecord::~RuntimeRecord() = default;

int wake_loop(RuntimeRecord& record) noexcept {
    std::shared_ptr<LoopWaker> waker = record.loop_waker.load();
    if (!waker) return 0;
    const uint64_t one = 1;
    for (;;) {
        if (::write(waker->fd.get(), &one, sizeof one) == static_cast<ssize_t>(sizeof one)) return 0;
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return errno;
        // The counter would overflow: reset it by reading, then write again.
        uint64_t drained = 0;
        (void)!::read(waker->fd.get(), &drained, sizeof drained);
    }
}

}  // namespace quorlin
