// The runtime's timed waits: a binary min-heap on the deadline.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace quorlin {

struct WaitRegistration;

struct TimerEntry {
    unsigned __int128 deadline_us;  // whole microseconds after the runtime's clock base
    std::shared_ptr<WaitRegistration> registration;
};

// Not thread-safe: the record guards it with `timer_mutex`.  Entries with equal deadlines leave
// in no defined order.
class TimerHeap {
public:
    TimerHeap() { entries_.reserve(32); }

    [[nodiscard]] bool empty() const noexcept { return entries_.empty(); }
    [[nodiscard]] size_t size() const noexcept { return entries_.size(); }
    [[nodiscard]] const TimerEntry& top() const noexcept { return entries_.front(); }

    void push(TimerEntry entry) {
        entries_.push_back(std::move(entry));
        size_t child = entries_.size() - 1;
        while (child > 0) {
            size_t parent = (child - 1) / 2;
            if (entries_[parent].deadline_us <= entries_[child].deadline_us) break;
            std::swap(entries_[parent], entries_[child]);
            child = parent;
        }
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

    // Moves every entry out (the caller releases them outside the lock).
    [[nodiscard]] std::vector<TimerEntry> take_all() noexcept { return std::exchange(entries_, {}); }

private:
    std::vector<TimerEntry> entries_;
};

}  // namespace quorlin
