// A worker's own queue: a growable Chase–Lev work-stealing deque of WorkItem pointers.
//
// The owner pushes and pops at the back (last in, first out); any other thread steals single
// items from the front (first in, first out).  Owner operations take no lock and never wait;
// a steal is lock-free and answers Retry when it loses a race with another thief or with the
// owner taking the last item.
//
// The algorithm and its memory orderings are those of Lê, Pop, Cohen and Zappa Nardelli,
// "Correct and efficient work-stealing for weak memory models" (PPoPP 2013).  Indices only
// grow; slot i lives at i mod capacity.  `top` is the next item to steal, `bottom` one past the
// newest item; the deque holds the items in [top, bottom).  The owner takes the last item by
// the same compare-and-swap on `top` that thieves use, so exactly one of them gets it.
//
// Growth: a push that finds the buffer full copies [top, bottom) into a buffer twice the size
// and publishes it.  Safety: a thief may still read a slot of the old buffer after that; the old
// buffer is never written again and holds the same pointer for every index still in the deque,
// and the thief's compare-and-swap on `top` decides whether that pointer is its item.  Retired
// buffers are kept until the deque is destroyed, so such a read never touches freed memory;
// they add up to less than the live buffer.
//
// This header does not include Python.h: the deque is tested on its own.
#pragma once

#include "work/fence.hpp"
#include "work/steal.hpp"
#include "work/work_item.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace quorlin {

class LocalQueue {
public:
    static constexpr size_t initial_capacity = 64;

    // `capacity` must be a power of two (small ones let tests force growth and wrap-around).
    explicit LocalQueue(size_t capacity = initial_capacity) {
        buffers_.push_back(std::make_unique<Buffer>(static_cast<int64_t>(capacity)));
        buffer_.store(buffers_.back().get(), std::memory_order_relaxed);
    }
    LocalQueue(const LocalQueue&) = delete;
    LocalQueue& operator=(const LocalQueue&) = delete;

    // Releases, without running them, the items still queued.  No thread may use the deque.
    ~LocalQueue() {
        Buffer* buffer = buffer_.load(std::memory_order_relaxed);
        int64_t bottom = bottom_.load(std::memory_order_relaxed);
        for (int64_t i = top_.load(std::memory_order_relaxed); i < bottom; ++i) {
            ItemPtr(buffer->at(i).load(std::memory_order_relaxed)).reset();
        }
    }

    // Owner only.  Never fails: a full buffer grows.
    void push(ItemPtr item) noexcept {
        int64_t bottom = bottom_.load(std::memory_order_relaxed);
        // Ordering: acquire pairs with a thief's successful compare-and-swap on top, so its read
        // of the slot it took happens before this push can reuse that slot.
        int64_t top = top_.load(std::memory_order_acquire);
        Buffer* buffer = buffer_.load(std::memory_order_relaxed);  // only the owner writes it
        if (bottom - top > buffer->mask) buffer = grow(buffer, top, bottom);
        buffer->at(bottom).store(item.release(), std::memory_order_relaxed);
        // Ordering: the release fence makes the item (and the slot) visible to a thief whose
        // acquire load of bottom reads this or any later store of the owner.
        release_fence();
        bottom_.store(bottom + 1, fenced_store_order);
    }

    // Owner only: the newest item, or an empty pointer.
    [[nodiscard]] ItemPtr pop() noexcept {
        int64_t bottom = bottom_.load(std::memory_order_relaxed) - 1;
        Buffer* buffer = buffer_.load(std::memory_order_relaxed);
        // Ordering: relaxed in the algorithm (the fence below orders it); see fence.hpp.
        bottom_.store(bottom, fenced_store_order);
        // Ordering: the seq_cst fence orders the store of bottom before the load of top; against
        // the thief's fence between its loads of top and bottom, either the thief sees the
        // lowered bottom or this load sees the thief's raised top.
        fence_();
        int64_t top = top_.load(std::memory_order_relaxed);
        if (top > bottom) {
            bottom_.store(bottom + 1, fenced_store_order);
            return {};
        }
        WorkItem* item = buffer->at(bottom).load(std::memory_order_relaxed);
        if (top == bottom) {
            // The last item: race the thieves for it on top.
            if (!top_.compare_exchange_strong(top, top + 1, std::memory_order_seq_cst,
                                              std::memory_order_relaxed)) {
                item = nullptr;
            }
            bottom_.store(bottom + 1, fenced_store_order);
        }
        return ItemPtr(item);
    }

    // Any thread: the oldest item.
    [[nodiscard]] Steal steal(ItemPtr& out) noexcept {
        // Ordering: acquire on top, the seq_cst fence (see pop), then acquire on bottom, which
        // pairs with the owner's fenced store of bottom and so makes the slots below it visible.
        int64_t top = top_.load(std::memory_order_acquire);
        fence_();
        int64_t bottom = bottom_.load(std::memory_order_acquire);
        if (top >= bottom) return Steal::Empty;
        // Ordering: acquire pairs with the release store in grow, so the copied slots are seen.
        Buffer* buffer = buffer_.load(std::memory_order_acquire);
        WorkItem* item = buffer->at(top).load(std::memory_order_relaxed);
        if (!top_.compare_exchange_strong(top, top + 1, std::memory_order_seq_cst,
                                          std::memory_order_relaxed)) {
            return Steal::Retry;
        }
        out = ItemPtr(item);
        return Steal::Success;
    }

    // Owner only (or with no concurrent push): the current buffer's size.
    [[nodiscard]] size_t capacity() const noexcept {
        return static_cast<size_t>(buffer_.load(std::memory_order_relaxed)->mask + 1);
    }

    // An estimate of the number of items (exact when no other thread uses the deque).
    [[nodiscard]] size_t size_hint() const noexcept {
        int64_t size = bottom_.load(std::memory_order_relaxed) - top_.load(std::memory_order_relaxed);
        return size > 0 ? static_cast<size_t>(size) : 0;
    }

private:
    struct Buffer {
        explicit Buffer(int64_t capacity) : mask(capacity - 1), slots(new std::atomic<WorkItem*>[capacity]) {}
        std::atomic<WorkItem*>& at(int64_t index) noexcept { return slots[index & mask]; }
        const int64_t mask;
        std::unique_ptr<std::atomic<WorkItem*>[]> slots;
    };

    Buffer* grow(Buffer* old, int64_t top, int64_t bottom) noexcept {
        buffers_.push_back(std::make_unique<Buffer>(2 * (old->mask + 1)));
        Buffer* fresh = buffers_.back().get();
        for (int64_t i = top; i < bottom; ++i) {
            fresh->at(i).store(old->at(i).load(std::memory_order_relaxed), std::memory_order_relaxed);
        }
        // Ordering: release publishes the copied slots to thieves that load the buffer (acquire).
        buffer_.store(fresh, std::memory_order_release);
        return fresh;
    }

    // top: written by thieves and by the owner taking the last item (compare-and-swap only).
    alignas(64) std::atomic<int64_t> top_{0};
    // bottom: written by the owner only, read by thieves.
    alignas(64) std::atomic<int64_t> bottom_{0};
    // The live buffer: written by the owner when growing, read by thieves.
    std::atomic<Buffer*> buffer_{nullptr};
    [[no_unique_address]] SeqCstFence fence_;
    // Every buffer the deque has used, the live one last; touched by the owner only.
    std::vector<std::unique_ptr<Buffer>> buffers_;
};

}  // namespace quorlin
