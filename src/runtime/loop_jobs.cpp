#include "runtime/loop_jobs.hpp"

#include "events/event.hpp"
#include "events/waiter.hpp"
#include "work/worker_context.hpp"

#include <utility>

namespace quorlin {

namespace {

struct SetEventJob : WorkItem {
    py::Ref event;
};

void run_set_event(ItemPtr item, const WorkerContext&) noexcept {
    set_and_fire(item.as<SetEventJob>().event.get());
}

void release_set_event(WorkItem* item) noexcept { delete static_cast<SetEventJob*>(item); }

constexpr WorkItemOps set_event_ops{run_set_event, release_set_event};

struct TimerExpiryJob : WorkItem {
    TimerEntry entry;
};

void run_timer_expiry(ItemPtr item, const WorkerContext& context) noexcept {
    fire(item.as<TimerExpiryJob>().entry.registration, context.runtime, 0);
}

void release_timer_expiry(WorkItem* item) noexcept { delete static_cast<TimerExpiryJob*>(item); }

constexpr WorkItemOps timer_expiry_ops{run_timer_expiry, release_timer_expiry};

}  // namespace

ItemPtr make_set_event_job(py::Ref event) noexcept {
    auto* job = new SetEventJob{{&set_event_ops}, std::move(event)};
    return ItemPtr(job);
}

ItemPtr make_timer_expiry_job(TimerEntry entry) noexcept {
    auto* job = new TimerExpiryJob{{&timer_expiry_ops}, std::move(entry)};
    return ItemPtr(job);
}

}  // namespace quorlin
