// The runtime's live I/O registrations, keyed by the record's address.
#pragma once

#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace quorlin {

struct IoRegistration;

// Inserted by ScheduledIO(fd), removed by close(), emptied by the run loop's shutdown.  None of
// these is on a per-readiness path (dispatch finds a registration through its epoll token), so a
// short mutex is enough; nothing is released while it is held.
class IoRegistrationMap {
public:
    IoRegistrationMap() { entries_.reserve(256); }

    void insert(std::shared_ptr<IoRegistration> registration) {
        IoRegistration* key = registration.get();
        std::lock_guard lock(mutex_);
        entries_.emplace(key, std::move(registration));
    }

    // Removes and returns the entry for `key` (empty if there was none).
    [[nodiscard]] std::shared_ptr<IoRegistration> remove(IoRegistration* key) {
        std::lock_guard lock(mutex_);
        auto found = entries_.find(key);
        if (found == entries_.end()) return {};
        std::shared_ptr<IoRegistration> registration = std::move(found->second);
        entries_.erase(found);
        return registration;
    }

    // Removes and returns every entry.
    [[nodiscard]] std::vector<std::shared_ptr<IoRegistration>> take_all() {
        std::vector<std::shared_ptr<IoRegistration>> all;
        std::lock_guard lock(mutex_);
        all.reserve(entries_.size());
        for (auto& [key, registration] : entries_) all.push_back(std::move(registration));
        entries_.clear();
        return all;
    }

    [[nodiscard]] size_t size() {
        std::lock_guard lock(mutex_);
        return entries_.size();
    }

private:
    std::mutex mutex_;
    std::unordered_map<IoRegistration*, std::shared_ptr<IoRegistration>> entries_;
};

}  // namespace quorlin
