// The worker loop and its idle/wake protocol, driven by plain threads instead of the interpreter.
#include "work/worker_loop.hpp"

#include "work_test_support.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace quorlin {
namespace {

class Pool;

// What a worker of the test pool gives to the tasks it runs.
struct Worker {
    Pool& pool;
    size_t index;
    void push_local(std::function<void(Worker&)> body);
};

// A task: run by the test host, released unrun by a queue's destructor.
struct Task : WorkItem {
    std::function<void(Worker&)> body;
    std::atomic<size_t>* released;  // counts releases without running, if set (cleared once run)
};

void task_run(ItemPtr, const WorkerContext&) noexcept { std::abort(); }  // the host runs tasks itself
void task_release(WorkItem* item) noexcept {
    auto* task = static_cast<Task*>(item);
    if (task->released) task->released->fetch_add(1);
    delete task;
}
constexpr WorkItemOps task_ops{task_run, task_release};

ItemPtr make_task(std::function<void(Worker&)> body, std::atomic<size_t>* released = nullptr) {
    return ItemPtr(new Task{{&task_ops}, std::move(body), released});
}

class Host {
public:
    Host(Pool& pool, size_t index) : worker_{pool, index} {}
    bool stop_requested() const noexcept;
    void going_idle() noexcept;
    void gave_up_search() noexcept;
    void going_to_park() noexcept;
    bool park(Parker& parker) noexcept {
        parker.park();
        return true;
    }
    void run(ItemPtr item) noexcept {
        Task& task = item.as<Task>();
        task.released = nullptr;
        task.body(worker_);
    }

private:
    Worker worker_;
};

class Pool {
public:
    explicit Pool(size_t threads) : workers(threads) {
        for (size_t i = 0; i < threads; ++i) {
            threads_.emplace_back([this, i] {
                Host host(*this, i);
                WorkerLoop<Host> loop(workers, i, global, host);
                EXPECT_TRUE(loop.run());
                ended.fetch_add(1);
                workers.live.leave();
            });
        }
    }
    ~Pool() { stop(); }

    void push_from_outside(std::function<void(Worker&)> body, std::atomic<size_t>* released = nullptr) {
        global.push(make_task(std::move(body), released));
        workers.claiming_wake();
    }

    void wait_until_at_rest() {
        testing::wait_or_abort(
            [&] {
                return workers.idle_count.load() == workers.size() && workers.searching.load() == 0;
            },
            "every worker to announce itself idle with no searcher left");
    }

    void stop() {
        if (threads_.empty()) return;
        stop_flag.store(1);
        workers.unpark_all();
        testing::wait_or_abort([&] { return ended.load() == workers.size(); }, "every worker to end");
        workers.live.wait_for_none();  // the count is already zero: returns at once
        for (auto& thread : threads_) thread.join();
        threads_.clear();
    }

    WorkerSet workers;
    GlobalQueue global;
    // Run once by the next worker that reaches the window, then cleared.
    std::atomic<std::function<void()>*> on_going_idle{nullptr};
    std::atomic<std::function<void()>*> on_gave_up_search{nullptr};
    std::atomic<std::function<void()>*> on_going_to_park{nullptr};
    std::atomic<uint8_t> stop_flag{0};
    std::atomic<size_t> ended{0};

private:
    std::vector<std::thread> threads_;
};

bool Host::stop_requested() const noexcept { return worker_.pool.stop_flag.load() != 0; }

void Host::going_idle() noexcept {
    if (auto* hook = worker_.pool.on_going_idle.exchange(nullptr)) (*hook)();
}

void Host::gave_up_search() noexcept {
    if (auto* hook = worker_.pool.on_gave_up_search.exchange(nullptr)) (*hook)();
}

void Host::going_to_park() noexcept {
    if (auto* hook = worker_.pool.on_going_to_park.exchange(nullptr)) (*hook)();
}

void Worker::push_local(std::function<void(Worker&)> body) {
    pool.workers.stealers[index]->push(make_task(std::move(body)));
    pool.workers.claiming_wake();
}

class WorkerLoopPool : public ::testing::TestWithParam<size_t> {};

// Tasks pushed from two outside threads, a third of them pushing a child onto their worker's own
// queue: each runs exactly once, and afterwards every worker is parked with the counters at rest.
TEST_P(WorkerLoopPool, EveryTaskRunsOnceAndThePoolComesToRest) {
    const size_t threads = GetParam();
    const size_t per_producer = 10000 * testing::scale;
    const size_t count = 2 * per_producer;
    std::unique_ptr<std::atomic<int>[]> runs(new std::atomic<int>[2 * count]);
    for (size_t i = 0; i < 2 * count; ++i) runs[i].store(0);
    std::atomic<size_t> total{0};
    size_t expected = 0;
    for (size_t i = 0; i < count; ++i) expected += (i % 3 == 0) ? 2 : 1;
    Pool pool(threads);
    auto produce = [&](size_t first) {
        for (size_t i = first; i < first + per_producer; ++i) {
            pool.push_from_outside([&, i](Worker& worker) {
                runs[i].fetch_add(1);
                total.fetch_add(1);
                if (i % 3 == 0) {
                    worker.push_local([&, i](Worker&) {
                        runs[count + i].fetch_add(1);
                        total.fetch_add(1);
                    });
                }
            });
        }
    };
    std::thread first(produce, 0);
    std::thread second(produce, per_producer);
    first.join();
    second.join();
    testing::wait_or_abort([&] { return total.load() == expected; }, "every task to run");
    pool.wait_until_at_rest();
    for (size_t i = 0; i < count; ++i) {
        ASSERT_EQ(runs[i].load(), 1) << "task " << i;
        ASSERT_EQ(runs[count + i].load(), i % 3 == 0 ? 1 : 0) << "child of task " << i;
    }

    // A single push to the rested pool is run, and the pool comes back to rest.
    std::atomic<bool> ran{false};
    pool.push_from_outside([&](Worker&) { ran.store(true); });
    testing::wait_or_abort([&] { return ran.load(); }, "a push to a resting pool to run");
    pool.wait_until_at_rest();
    pool.stop();
}

// One push at a time, each made as soon as the previous one has run: the pushes land while the
// workers are going idle, between their looks for work and their parking.  None is missed.
TEST_P(WorkerLoopPool, PushesMadeWhileWorkersGoIdleAreNeverMissed) {
    const size_t rounds = 5000 * testing::scale;
    Pool pool(GetParam());
    std::atomic<size_t> ran{0};
    for (size_t round = 1; round <= rounds; ++round) {
        pool.push_from_outside([&](Worker&) { ran.fetch_add(1); });
        testing::wait_or_abort([&] { return ran.load() == round; }, "a push to a pool going idle to run",
                               std::chrono::seconds(20), true);
    }
    pool.stop();
}

INSTANTIATE_TEST_SUITE_P(Threads, WorkerLoopPool, ::testing::Values(1, 2, 4));

// A push landing in the window between a worker's failed look for work and its announcement
// (nobody is idle yet, so nobody is woken), or between its last look and its park (it is
// claimed): the worker's second look finds it, or its park returns at once.
TEST(WorkerLoop, APushLandingWhileTheOnlyWorkerGoesIdleIsRun) {
    for (bool before_announcing : {true, false}) {
        Pool pool(1);
        for (int round = 0; round < 50; ++round) {
            pool.wait_until_at_rest();
            std::atomic<bool> ran{false};
            std::function<void()> push = [&] { pool.push_from_outside([&](Worker&) { ran.store(true); }); };
            auto& window = before_announcing ? pool.on_going_idle : pool.on_going_to_park;
            window.store(&push);
            pool.push_from_outside([](Worker&) {});  // wakes the worker, which then goes idle again
            testing::wait_or_abort([&] { return ran.load(); }, "the push made in the idle window to run",
                                   std::chrono::seconds(20));
        }
        pool.stop();
    }
}

// A task that keeps its worker busy pushes three children on its own queue: the sleeping workers
// are woken one after the other and steal them.
TEST(WorkerLoop, ChildrenOfABusyWorkerAreStolenByTheOthers) {
    Pool pool(4);
    pool.wait_until_at_rest();
    std::atomic<int> children_elsewhere{0};
    std::atomic<bool> parent_saw_all{false};
    pool.push_from_outside([&](Worker& parent) {
        for (int c = 0; c < 3; ++c) {
            parent.push_local([&, home = parent.index](Worker& child) {
                if (child.index != home) children_elsewhere.fetch_add(1);
            });
        }
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (children_elsewhere.load() < 3 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        parent_saw_all.store(children_elsewhere.load() == 3);
    });
    testing::wait_or_abort([&] { return children_elsewhere.load() == 3; }, "the children to be stolen");
    pool.stop();
    EXPECT_TRUE(parent_saw_all.load());
}

// Stopping while work keeps arriving ends every worker, busy or parked; every task is either run
// once or released unrun once when the queue goes away.
TEST(WorkerLoop, StopEndsEveryWorkerAndNothingIsLost) {
    const size_t count = 20000 * testing::scale;
    std::atomic<size_t> ran{0};
    std::atomic<size_t> released{0};
    std::atomic<size_t> pushed{0};
    {
        Pool pool(3);
        std::atomic<bool> producing{true};
        std::thread producer([&] {
            for (size_t i = 0; i < count && producing.load(); ++i) {
                pool.push_from_outside([&](Worker&) { ran.fetch_add(1); }, &released);
                pushed.fetch_add(1);
            }
        });
        testing::wait_or_abort([&] { return ran.load() > count / 10; }, "some tasks to run");
        pool.stop();
        producing.store(false);
        producer.join();
        EXPECT_LE(ran.load(), pushed.load());
    }  // the pool's queues are destroyed here
    EXPECT_EQ(ran.load() + released.load(), pushed.load());
}

// With one worker, a task that re-submits itself without end to its own queue does not keep out
// a task submitted from outside, nor one queued earlier on that worker.
TEST(WorkerLoop, SelfResubmittingTaskDoesNotStarveOthers) {
    Pool pool(1);
    std::atomic<bool> spinning{true};
    std::atomic<bool> older_ran{false};
    std::atomic<bool> outside_ran{false};
    std::atomic<size_t> spins{0};
    std::function<void(Worker&)> spinner = [&](Worker& worker) {
        spins.fetch_add(1);
        if (spinning.load()) worker.push_local(spinner);
    };
    pool.push_from_outside([&](Worker& worker) {
        worker.push_local([&](Worker&) { older_ran.store(true); });
        worker.push_local(spinner);
    });
    testing::wait_or_abort([&] { return spins.load() > 0; }, "the spinner to start");
    pool.push_from_outside([&](Worker&) { outside_ran.store(true); });
    testing::wait_or_abort([&] { return older_ran.load() && outside_ran.load(); },
                           "the older and the outside task to run beside the spinner");
    spinning.store(false);
    pool.stop();
}

// Tasks that each wake the next one onto their worker's own queue, several such chains at once
// beside work from outside: everything runs exactly once and the pool comes to rest.
TEST(WorkerLoop, ChainsOfTasksWokenOntoTheirWorkersQueueRunOnceAndThePoolRests) {
    const int chains = 4;
    const int rounds = 2000 * testing::scale;
    Pool pool(3);
    std::atomic<int> hops{0};
    std::atomic<int> outside{0};
    std::function<void(Worker&, int)> hop = [&](Worker& worker, int left) {
        hops.fetch_add(1);
        if (left > 0) worker.push_local([&, left](Worker& next) { hop(next, left - 1); });
    };
    for (int c = 0; c < chains; ++c) {
        pool.push_from_outside([&](Worker& worker) { hop(worker, rounds); });
        pool.push_from_outside([&](Worker&) { outside.fetch_add(1); });
    }
    testing::wait_or_abort([&] { return hops.load() == chains * (rounds + 1) && outside.load() == chains; },
                           "every hop and every outside task to run");
    pool.wait_until_at_rest();
    pool.stop();
    EXPECT_EQ(hops.load(), chains * (rounds + 1));
}

// A busy worker pushes onto its own queue just as the only other worker, woken to search, has
// found nothing and is about to give up: that push wakes nobody (a searcher exists), so the
// searcher's last look must reach the busy worker's queue, not only the global queue.
TEST(WorkerLoop, APushMadeWhileTheSearcherGivesUpIsStolen) {
    Pool pool(2);
    pool.wait_until_at_rest();
    std::atomic<bool> searcher_in_window{false};
    std::atomic<bool> pushed{false};
    std::atomic<bool> child_ran_elsewhere{false};
    std::atomic<bool> parent_saw_it{false};
    std::atomic<bool> parent_done{false};
    std::function<void()> hold_the_searcher = [&] {
        searcher_in_window.store(true);
        testing::wait_or_abort([&] { return pushed.load(); }, "the busy worker to push");
    };
    pool.on_gave_up_search.store(&hold_the_searcher);
    // The worker that takes this task hands the search on to the other before running it.
    pool.push_from_outside([&](Worker& parent) {
        testing::wait_or_abort([&] { return searcher_in_window.load(); }, "the other worker to search in vain");
        parent.push_local([&, home = parent.index](Worker& child) {
            if (child.index != home) child_ran_elsewhere.store(true);
        });
        pushed.store(true);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!child_ran_elsewhere.load() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        parent_saw_it.store(child_ran_elsewhere.load());
        parent_done.store(true);
    });
    testing::wait_or_abort([&] { return parent_done.load(); }, "the busy worker's task to end");
    pool.stop();
    EXPECT_TRUE(parent_saw_it.load());
}

}  // namespace
}  // namespace quorlin
