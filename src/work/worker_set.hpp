// The workers of one run and the protocol by which they go idle and are woken.
//
// Idle and wake-up
// ----------------
// Every worker owns a queue and a parker; the set holds, by worker index, the steal end of each
// queue, the unpark end of each parker and a `sleeping` byte, plus two counters:
// `idle_count`, the number of sleeping bytes at 1, and `searching`, the number of workers that
// were woken to look for work and have neither found any nor gone back to sleep.
//
// Going idle.  A worker that finds no work first announces itself (its sleeping byte to 1, then
// `idle_count` up), then looks for work once more, and only then parks.  A push is therefore
// either seen by that second look, or made after the announcement, in which case the pusher's
// wake sees the worker idle and claims it.
//
// Claiming.  A waker claims a worker by changing its sleeping byte from 1 to 0 (so exactly one
// waker gets each sleeper), takes it out of `idle_count`, counts it in `searching`, and unparks
// it.  The parker keeps the token, so an unpark that comes before the park is not lost.  A
// woken worker that finds its byte already 0 knows it was claimed and is a searcher; one that
// finds its byte still 1 woke for another reason (a stop, a spurious return) and withdraws the
// announcement itself.  A worker that finds work after announcing withdraws the same way; if a
// waker claimed it meanwhile, it takes back the `searching` count the waker added.
//
// Economy.  A claiming wake (every push from a worker or a Python thread) does nothing when no
// worker is idle or when a searcher exists (`searching` 0 -> 1 fails): a burst of pushes wakes
// one worker.  That worker, when it finds an item and was the last searcher, hands the search
// on by waking the next sleeper before it runs the item, so sleepers are woken one by one while
// work keeps appearing.  An eager wake (the run loop's readiness and signal pushes) skips the
// `searching` limit: the loop must not wait for a chain of hand-ons.
//
// Giving up the search.  A searcher that announces itself idle and finds nothing on its second
// look leaves `searching` and then takes one more look, at the global queue and at the other
// workers' queues: a push that saw `searching` non-zero and therefore woke nobody happened
// before that decrement, so this last look sees it wherever it went (a worker's push goes to its
// own queue).
//
// Every operation on the sleeping bytes and the two counters is sequentially consistent: the
// argument above needs one order over announcements, pushes' wakes and second looks.
//
// This header does not include Python.h.
#pragma once

#include "work/local_queue.hpp"
#include "work/parker.hpp"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace quorlin {

// The number of workers of a run that have not ended; the pool's stop waits for zero.
class LiveWorkers {
public:
    explicit LiveWorkers(size_t count) noexcept : count_(count) {}

    // A worker ends (or was never started).
    void leave(size_t workers = 1) noexcept {
        std::lock_guard lock(mutex_);
        count_ -= workers;
        if (count_ == 0) ended_.notify_all();
    }

    // Blocks until every worker has left.  The caller must not be attached to the interpreter.
    void wait_for_none() noexcept {
        std::unique_lock lock(mutex_);
        ended_.wait(lock, [this] { return count_ == 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable ended_;
    size_t count_;  // guarded by mutex_
};

struct WorkerSet {
    explicit WorkerSet(size_t threads) : live(threads), sleeping(new std::atomic<uint8_t>[threads]) {
        stealers.reserve(threads);
        unparkers.reserve(threads);
        for (size_t i = 0; i < threads; ++i) {
            stealers.push_back(std::make_unique<LocalQueue>());
            unparkers.push_back(std::make_unique<Parker>());
            sleeping[i].store(0, std::memory_order_relaxed);
        }
    }
    WorkerSet(const WorkerSet&) = delete;
    WorkerSet& operator=(const WorkerSet&) = delete;

    [[nodiscard]] size_t size() const noexcept { return stealers.size(); }

    // Claims the first sleeping worker and unparks it; false if none could be claimed.
    bool claim_and_unpark() noexcept {
        for (size_t i = 0; i < size(); ++i) {
            uint8_t one = 1;
            if (sleeping[i].compare_exchange_strong(one, 0, std::memory_order_seq_cst)) {
                idle_count.fetch_sub(1, std::memory_order_seq_cst);
                unparkers[i]->unpark();
                return true;
            }
        }
        return false;
    }

    // After a push from a worker or a Python thread: at most one wake in flight.
    void claiming_wake() noexcept {
        if (idle_count.load(std::memory_order_seq_cst) == 0) return;
        size_t none = 0;
        if (!searching.compare_exchange_strong(none, 1, std::memory_order_seq_cst)) return;
        if (!claim_and_unpark()) searching.fetch_sub(1, std::memory_order_seq_cst);
    }

    // After a push from the run loop: wakes a sleeper even if a search is under way.
    void eager_wake() noexcept {
        if (idle_count.load(std::memory_order_seq_cst) == 0) return;
        searching.fetch_add(1, std::memory_order_seq_cst);
        if (!claim_and_unpark()) searching.fetch_sub(1, std::memory_order_seq_cst);
    }

    // For the stop: every worker, sleeping or not.
    void unpark_all() noexcept {
        for (auto& unparker : unparkers) unparker->unpark();
    }

    // Worker i's queue (its owner pushes and pops; the others steal) and parker.
    std::vector<std::unique_ptr<LocalQueue>> stealers;
    std::vector<std::unique_ptr<Parker>> unparkers;
    LiveWorkers live;
    // 1: worker i has announced itself idle and no waker has claimed it.
    std::unique_ptr<std::atomic<uint8_t>[]> sleeping;
    alignas(64) std::atomic<size_t> idle_count{0};
    alignas(64) std::atomic<size_t> searching{0};
};

}  // namespace quorlin
