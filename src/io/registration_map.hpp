// The runtime's live I/O registrations, keyed by the record's address.
#pragma once

#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace quorlin {

struct IoRegistration;

// Shares of records keyed by their own address.  Inserted by ScheduledIO(fd), removed by close(),
// emptied by the run loop's shutdown.  None of these is on a per-readiness path (dispatch finds a
// registration through its epoll token), so a short mutex is enough.  Nothing is released while
// it is held: removed shares are handed to the caller, who drops them unlocked.
template <class Record>
class AddressMap {
public:
    AddressMap() { entries_.reserve(256); }

    void insert(std::shared_ptr<Record> record) noexcept {
        Record* key = record.get();
        std::lock_guard lock(mutex_);
        entries_.emplace(key, std::move(record));
    }

    // Removes and returns the entry for `key` (empty if there was none).
    [[nodiscard]] std::shared_ptr<Record> remove(const Record* key) noexcept {
        std::lock_guard lock(mutex_);
        auto found = entries_.find(const_cast<Record*>(key));
        if (found == entries_.end()) return {};
        std::shared_ptr<Record> record = std::move(found->second);
        entries_.erase(found);
        return record;
    }

    // Removes and returns every entry.
    [[nodiscard]] std::vector<std::shared_ptr<Record>> take_all() noexcept {
        std::vector<std::shared_ptr<Record>> all;
        std::lock_guard lock(mutex_);
        all.reserve(entries_.size());
        for (auto& [key, record] : entries_) all.push_back(std::move(record));
        entries_.clear();
        return all;
    }

    [[nodiscard]] size_t size() noexcept {
        std::lock_guard lock(mutex_);
        return entries_.size();
    }

private:
    std::mutex mutex_;
    std::unordered_map<Record*, std::shared_ptr<Record>> entries_;  // guarded by mutex_
};

class IoRegistrationMap : public AddressMap<IoRegistration> {};

}  // namespace quorlin
