// Fences of the lock-free queues, in a form ThreadSanitizer accepts.
//
// ThreadSanitizer does not model standalone fences (GCC refuses them under -fsanitize=thread).
// In sanitizer builds:
// - a sequentially consistent fence becomes a seq_cst read-modify-write of one atomic shared by
//   every party that fences against the others.  Those read-modify-writes are totally ordered
//   and each synchronises with the one before it, which gives at least the store-load ordering
//   the fence gives (and on the hardware a locked instruction is a full barrier anyway);
// - a release fence followed by relaxed stores becomes release stores (`fenced_store_order`).
// Only sanitizer builds pay for the shared line.
#pragma once

#include <atomic>
#include <cstdint>

#if defined(__SANITIZE_THREAD__)
#define QUORLIN_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QUORLIN_TSAN 1
#endif
#endif

namespace quorlin {

#if defined(QUORLIN_TSAN)
inline constexpr bool thread_sanitizer = true;

class SeqCstFence {
public:
    void operator()() noexcept { (void)cell_.fetch_add(0, std::memory_order_seq_cst); }

private:
    std::atomic<uint64_t> cell_{0};
};

inline void release_fence() noexcept {}
#else
inline constexpr bool thread_sanitizer = false;

class SeqCstFence {
public:
    void operator()() noexcept { std::atomic_thread_fence(std::memory_order_seq_cst); }
};

inline void release_fence() noexcept { std::atomic_thread_fence(std::memory_order_release); }
#endif

// The order of a store that the algorithm makes relaxed because a release fence precedes it.
inline constexpr std::memory_order fenced_store_order =
    thread_sanitizer ? std::memory_order_release : std::memory_order_relaxed;

}  // namespace quorlin
