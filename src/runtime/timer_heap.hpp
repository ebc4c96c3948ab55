// The runtime's timed waits: a binary min-heap on the deadline.
//
// Most timed waits end some other way (their event fires, they are aborted) long before their
// deadline, and their entries would otherwise stay until it passes: a program that waits with a
// one-hour timeout in a loop would grow the heap without bound.  So the owner sweeps out the
// entries of finished waits whenever the heap has doubled since the last sweep.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <memory>
#include <utility>
#include <vector>

namespace quorlin {

struct WaitRegistration;

struct TimerEntry {
    unsigned __int128 deadline_us;  // whole microseconds after the runtime's clock base
    std::shared_ptr<WaitRegistration> registration;
};

// Not thread-safe: Timers (runtime/timers.hpp) guards it with its mutex.  Entries with equal
// deadlines leave in no defined order.
class TimerHeap {
public:
    TimerHeap() { entries_.reserve(32); }

    [[nodiscard]] bool empty() const noexcept { return entries_.empty(); }
    [[nodiscard]] size_t size() const noexcept { return entries_.size(); }
    [[nodiscard]] const TimerEntry& top() const noexcept { return entries_.front(); }

    // Returns true if the entry is now the earliest (the loop's wait must be shortened).
    bool push(TimerEntry entry) {
        entries_.push_back(std::move(entry));
        size_t child = entries_.size() - 1;
        while (child > 0) {
            size_t parent = (child - 1) / 2;
            if (entries_[parent].deadline_us <= entries_[child].deadline_us) break;
            std::swap(entries_[parent], entries_[child]);
            child = parent;
        }
        return child == 0;
    }

    // True once the heap has grown enough since the last sweep for another one to pay.
    [[nodiscard]] bool sweep_due() const noexcept { return entries_.size() >= sweep_at_; }

    // Moves every entry for which `is_stale(entry)` holds into `stale` (which the caller releases
    // outside the lock) and restores the heap order of the rest.
    template <class IsStale>
    void sweep(IsStale&& is_stale, std::vector<TimerEntry>& stale) {
        auto live_end = std::partition(entries_.begin(), entries_.end(),
                                       [&](const TimerEntry& entry) { return !is_stale(entry); });
        std::move(live_end, entries_.end(), std::back_inserter(stale));
        entries_.erase(live_end, entries_.end());
        std::make_heap(entries_.begin(), entries_.end(), [](const TimerEntry& a, const TimerEntry& b) {
            return a.deadline_us > b.deadline_us;  // a min-heap: the earliest deadline on top
        });
        sweep_at_ = std::max(first_sweep, 2 * entries_.size());
    }

    [[nodiscard]] TimerEntry pop() noexcept {
        TimerEntry top = std::move(entries_.front());
        if (entries_.size() > 1) entries_.front() = std::move(entries_.back());
        entries_.pop_back();
        size_t parent = 0;
        const size_t count = entries_.size();
        for (;;) {
            size_t smallest = parent;
            size_t left = 2 * parent + 1;
            size_t right = left + 1;
            if (left < count && entries_[left].deadline_us < entries_[smallest].deadline_us) smallest = left;
            if (right < count && entries_[right].deadline_us < entries_[smallest].deadline_us) smallest = right;
            if (smallest == parent) break;
            std::swap(entries_[parent], entries_[smallest]);
            parent = smallest;
        }
        return top;
    }

private:
    static constexpr size_t first_sweep = 1024;

    std::vector<TimerEntry> entries_;
    size_t sweep_at_ = first_sweep;
};

}  // namespace quorlin
