#include "common/sys.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <pthread.h>
#include <thread>

namespace quorlin {
namespace {

TEST(OsErrorText, NamesTheNumber) {
    EXPECT_EQ(os_error_text(ENOENT), "No such file or directory (os error 2)");
    EXPECT_EQ(os_error_text(EEXIST), "File exists (os error 17)");
}

TEST(MonotonicClock, ElapsedIsZeroForAFutureBaseAndGrows) {
    Instant future = monotonic_now();
    future.seconds += 100;
    EXPECT_EQ(microseconds_since(future), 0u);
    Instant base = monotonic_now();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_GE(microseconds_since(base), 2000u);
}

struct ThreadProbe {
    std::atomic<size_t> stack_size{0};
    std::atomic<int> detached{-1};
    std::atomic<bool> done{false};
};

void probe_thread(void* raw) noexcept {
    auto* probe = static_cast<ThreadProbe*>(raw);
    pthread_attr_t attributes;
    pthread_getattr_np(pthread_self(), &attributes);
    size_t size = 0;
    int state = 0;
    pthread_attr_getstacksize(&attributes, &size);
    pthread_attr_getdetachstate(&attributes, &state);
    pthread_attr_destroy(&attributes);
    probe->stack_size.store(size);
    probe->detached.store(state == PTHREAD_CREATE_DETACHED);
    probe->done.store(true, std::memory_order_release);
}

TEST(DetachedThread, HasA2MiBStackAndIsDetached) {
    ThreadProbe probe;
    int error = 0;
    ASSERT_TRUE(spawn_detached_thread(probe_thread, &probe, &error));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!probe.done.load(std::memory_order_acquire)) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_GE(probe.stack_size.load(), thread_stack_size);
    EXPECT_EQ(probe.detached.load(), 1);
}

}  // namespace
}  // namespace quorlin
