// The runtime's live I/O registrations: each keyed by its record's address, and which of them
// holds each descriptor number in the running loop's epoll interest set.
//
// Epoll knows a registration only by its descriptor number, and a number outlives its file: once
// a registered descriptor is closed the kernel drops it from the set, the number is reused, and a
// new registration takes it.  Taking the stale registration's number out of epoll would then take
// out the new one.  So the table remembers the one record that holds each number and only that
// record's removal takes the number out; adding, removing and that bookkeeping are one step under
// the table's mutex, in the same order as the kernel sees them.
//
// The table is open only while a run is going on: `open` lets registrations in, with the run's
// epoll duplicate; `take_all_and_close`, the first step of the run's shutdown, takes every entry
// out and refuses new ones until the next run, so none can be added to a set that nobody waits on
// any more.
//
// None of this is on a per-readiness path (dispatch finds a registration through its epoll
// token), so a short mutex is enough.  Nothing is released while it is held: removed shares are
// handed to the caller, who drops them unlocked.
#pragma once

#include "io/epoll_handle.hpp"

#include <cerrno>
#include <cstdint>
#include <memory>
#include <mutex>
#include <sys/epoll.h>
#include <unordered_map>
#include <utility>
#include <vector>

namespace quorlin {

// `Record` has a `const int32_t fd`.
template <class Record>
class RegistrationTable {
public:
    // What `add` returns when no run is open; otherwise it returns 0 or an errno value.
    static constexpr int not_running = -1;

    RegistrationTable() { entries_.reserve(256); }

    // Lets registrations in, into the interest set behind `epoll`, until the next close.
    void open(std::shared_ptr<EpollHandle> epoll) noexcept {
        std::shared_ptr<EpollHandle> previous;  // released after the lock
        std::lock_guard lock(mutex_);
        previous = std::exchange(epoll_, std::move(epoll));
    }

    // Adds `record` to the interest set (with `events` and `token`) and to the table.  On a
    // failure of EPOLL_CTL_ADD nothing stays and its errno is returned.
    [[nodiscard]] int add(const std::shared_ptr<Record>& record, uint32_t events, uint64_t token) noexcept {
        std::lock_guard lock(mutex_);
        if (!epoll_) return not_running;
        epoll_event interest{};
        interest.events = events;
        interest.data.u64 = token;
        if (::epoll_ctl(epoll_->fd.get(), EPOLL_CTL_ADD, record->fd, &interest) < 0) return errno;
        entries_.emplace(record.get(), record);
        holders_[record->fd] = record.get();
        return 0;
    }

    // Removes and returns the entry for `key` (empty if there was none), taking its descriptor
    // out of the interest set if the number is still its own.
    [[nodiscard]] std::shared_ptr<Record> remove(const Record* key) noexcept {
        std::lock_guard lock(mutex_);
        auto found = entries_.find(key);
        if (found == entries_.end()) return {};
        std::shared_ptr<Record> record = std::move(found->second);
        entries_.erase(found);
        release_number(*record);
        return record;
    }

    // Removes and returns every entry, taking their descriptors out of the interest set, and
    // refuses additions until the next `open`.
    [[nodiscard]] std::vector<std::shared_ptr<Record>> take_all_and_close() noexcept {
        std::vector<std::shared_ptr<Record>> all;
        std::shared_ptr<EpollHandle> epoll;  // released after the lock
        std::lock_guard lock(mutex_);
        all.reserve(entries_.size());
        for (auto& [key, record] : entries_) {
            release_number(*record);
            all.push_back(std::move(record));
        }
        entries_.clear();
        holders_.clear();
        epoll = std::move(epoll_);
        return all;
    }

    [[nodiscard]] size_t size() noexcept {
        std::lock_guard lock(mutex_);
        return entries_.size();
    }

private:
    // Called with mutex_ held.
    void release_number(const Record& record) noexcept {
        auto holder = holders_.find(record.fd);
        if (holder == holders_.end() || holder->second != &record) return;  // the number moved on
        holders_.erase(holder);
        if (epoll_) (void)::epoll_ctl(epoll_->fd.get(), EPOLL_CTL_DEL, record.fd, nullptr);  // failure ignored
    }

    std::mutex mutex_;
    std::shared_ptr<EpollHandle> epoll_;                                       // guarded by mutex_
    std::unordered_map<const Record*, std::shared_ptr<Record>> entries_;      // guarded by mutex_
    std::unordered_map<int32_t, const Record*> holders_;                      // guarded by mutex_
};

struct IoRegistration;

class IoRegistrationMap : public RegistrationTable<IoRegistration> {};

}  // namespace quorlin
