// The loop of one coroutine worker: find work, run it, go idle, park (see worker_set.hpp).
//
// The loop is independent of the interpreter: a Host supplies what touches it.
//   bool stop_requested()  the run's workers_stop flag (seq_cst)
//   bool park(Parker&)     parks (detached from the interpreter); false if the worker must end
//                          at once without re-attaching
//   void run(ItemPtr)      runs one item
//   void going_idle()      called when the worker found no work, before it announces itself
//   void gave_up_search()  called when a woken worker found nothing on its second look, before
//                          it leaves `searching`
//   void going_to_park()   called just before it parks
// The pool does nothing in the last two; tests use them and going_idle to land pushes in those
// windows.
//
// Order of looking for work: the newest item of the worker's own queue, then the global queue,
// then the oldest item of each other worker's queue in index order.  Newest-first keeps a task
// resumed by its own worker hot in that worker's cache, but alone it starves: a callback or
// coroutine that keeps re-submitting itself would keep the global queue (timers, readiness,
// every outside submission) and the older items of its own queue waiting forever.  So after
// every `fairness_interval` items a worker looks at the global queue first and then takes the
// oldest item of its own queue before the newest.
#pragma once

#include "work/global_queue.hpp"
#include "work/worker_set.hpp"

#include <cstddef>
#include <cstdint>

namespace quorlin {

// Prime, so that it does not fall into step with a program's own period of re-submission.
inline constexpr uint32_t fairness_interval = 61;

template <class Host>
class WorkerLoop {
public:
    WorkerLoop(WorkerSet& workers, size_t index, GlobalQueue& global, Host& host) noexcept
        : workers_(workers), index_(index), own_(*workers.stealers[index]), global_(global), host_(host) {}

    // Returns when the worker must end: true if it ended normally (still attached), false if the
    // host's park declined to re-attach.
    bool run() noexcept {
        for (;;) {
            ItemPtr item = find_work();
            if (!item) {
                if (host_.stop_requested()) {
                    if (is_searching_) workers_.searching.fetch_sub(1, std::memory_order_seq_cst);
                    return true;
                }
                host_.going_idle();
                workers_.sleeping[index_].store(1, std::memory_order_seq_cst);
                workers_.idle_count.fetch_add(1, std::memory_order_seq_cst);

                item = find_work();
                if (item) {
                    withdraw_announcement();
                } else if (host_.stop_requested()) {
                    if (leave_sleeping()) workers_.idle_count.fetch_sub(1, std::memory_order_seq_cst);
                    if (is_searching_) workers_.searching.fetch_sub(1, std::memory_order_seq_cst);
                    return true;
                } else {
                    if (is_searching_) {
                        host_.gave_up_search();
                        workers_.searching.fetch_sub(1, std::memory_order_seq_cst);
                        is_searching_ = false;
                        // A push that woke nobody because we were searching came before the
                        // decrement above: this look finds it, on the global queue or on the
                        // queue of the worker that made it.  The search is not handed on.
                        if (ItemPtr late = find_elsewhere()) {
                            withdraw_announcement();
                            run_item(std::move(late));
                            continue;
                        }
                    }
                    host_.going_to_park();
                    if (!host_.park(*workers_.unparkers[index_])) return false;
                    if (leave_sleeping()) {
                        // Not a claim (a stop or a spurious return): withdraw ourselves.
                        workers_.idle_count.fetch_sub(1, std::memory_order_seq_cst);
                        is_searching_ = false;
                    } else {
                        is_searching_ = true;  // a waker claimed us and counted us as searching
                    }
                    if (host_.stop_requested()) return true;
                    continue;
                }
            }
            end_search();
            run_item(std::move(item));
        }
    }

private:
    ItemPtr find_work() noexcept {
        if (fair_turn_) {
            fair_turn_ = false;
            if (ItemPtr item = global_.take()) return item;
            if (ItemPtr item = steal_from(own_)) return item;
        }
        if (ItemPtr item = own_.pop()) return item;
        return find_elsewhere();
    }

    // The global queue, then the oldest item of each other worker's queue.
    ItemPtr find_elsewhere() noexcept {
        if (ItemPtr item = global_.take()) return item;
        for (size_t victim = 0; victim < workers_.size(); ++victim) {
            if (victim == index_) continue;
            if (ItemPtr item = steal_from(*workers_.stealers[victim])) return item;
        }
        return {};
    }

    static ItemPtr steal_from(LocalQueue& queue) noexcept {
        ItemPtr item;
        while (queue.steal(item) == Steal::Retry) {
        }
        return item;
    }

    // Changes our sleeping byte from 1 to 0; false if a waker did it first (a claim).
    bool leave_sleeping() noexcept {
        uint8_t one = 1;
        return workers_.sleeping[index_].compare_exchange_strong(one, 0, std::memory_order_seq_cst);
    }

    // Found work after announcing idleness.
    void withdraw_announcement() noexcept {
        if (leave_sleeping()) {
            workers_.idle_count.fetch_sub(1, std::memory_order_seq_cst);
        } else {
            // Claimed meanwhile: the waker counted us as searching, and we have found work.
            workers_.searching.fetch_sub(1, std::memory_order_seq_cst);
        }
    }

    // About to run an item: stop searching, and if we were the last searcher while others
    // sleep, wake the next one so that the work behind this item is looked at.
    void end_search() noexcept {
        if (!is_searching_) return;
        size_t before = workers_.searching.fetch_sub(1, std::memory_order_seq_cst);
        if (before == 1 && workers_.idle_count.load(std::memory_order_seq_cst) != 0 &&
            workers_.searching.load(std::memory_order_seq_cst) == 0) {
            workers_.claiming_wake();
        }
    }

    void run_item(ItemPtr item) noexcept {
        host_.run(std::move(item));
        is_searching_ = false;
        if (++since_fair_turn_ == fairness_interval) {
            since_fair_turn_ = 0;
            fair_turn_ = true;
        }
    }

    WorkerSet& workers_;
    const size_t index_;
    LocalQueue& own_;
    GlobalQueue& global_;
    Host& host_;
    // True while this worker was woken by a claim and is counted in `searching`.
    bool is_searching_ = false;
    uint32_t since_fair_turn_ = 0;
    bool fair_turn_ = false;
};

}  // namespace quorlin
