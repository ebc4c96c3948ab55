// Items that count their own release, and bounded waits, for the tests of the work queues.
#pragma once

#include "work/work_item.hpp"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

namespace quorlin::testing {

// Under ThreadSanitizer everything runs several times slower: scale loops down.
#if defined(__SANITIZE_THREAD__)
inline constexpr int scale = 1;
#else
inline constexpr int scale = 8;
#endif

// Per item: how many times it was released.  Every item must end released exactly once.
class Ledger {
public:
    explicit Ledger(size_t items) : released_(new std::atomic<int>[items]), size_(items) {
        for (size_t i = 0; i < items; ++i) released_[i].store(0);
    }

    // A new item numbered `id`; its release (run or not) is counted here.
    ItemPtr make(size_t id) {
        return ItemPtr(new Counted{{&ops}, this, id});
    }

    static size_t id_of(const ItemPtr& item) { return static_cast<const Counted*>(item.get())->id; }

    [[nodiscard]] size_t released_once() const {
        size_t count = 0;
        for (size_t i = 0; i < size_; ++i) count += released_[i].load() == 1;
        return count;
    }
    [[nodiscard]] size_t released_twice_or_more() const {
        size_t count = 0;
        for (size_t i = 0; i < size_; ++i) count += released_[i].load() > 1;
        return count;
    }

private:
    struct Counted : WorkItem {
        Ledger* ledger;
        size_t id;
    };

    static void run(ItemPtr, const WorkerContext&) noexcept { std::abort(); }
    static void release(WorkItem* item) noexcept {
        auto* counted = static_cast<Counted*>(item);
        counted->ledger->released_[counted->id].fetch_add(1);
        delete counted;
    }
    static constexpr WorkItemOps ops{run, release};

    std::unique_ptr<std::atomic<int>[]> released_;
    size_t size_;
};

// Waits until `done()` holds, for at most `limit`; a test that would hang fails loudly instead.
// `spin` yields between checks instead of sleeping, for waits expected to be very short.
template <class Done>
void wait_or_abort(Done&& done, const char* what, std::chrono::seconds limit = std::chrono::seconds(60),
                   bool spin = false) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            std::fprintf(stderr, "timed out waiting for %s\n", what);
            std::abort();
        }
        if (spin) {
            std::this_thread::yield();
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
}

}  // namespace quorlin::testing
