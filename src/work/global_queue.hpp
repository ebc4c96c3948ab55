// The runtime's shared queue: an unbounded, lock-free multi-producer multi-consumer FIFO of
// WorkItem pointers.
//
// Shape: a linked list of fixed-size blocks.  Every push takes the next position from `tail`
// with a compare-and-swap and then fills its slot; every take claims the next position from
// `head` the same way and then empties its slot.  Positions are handed out in one total order,
// so the queue is linearizable: a push that completed before another started is taken first,
// whichever threads made them.
//
// Positions: a block has `block_slots` (63) slots, but each block spans `lap` (64) positions.
// The last position of a lap is a marker: the producer that takes a block's last slot moves
// `tail` onto it, links a new block (allocated before its compare-and-swap) and moves `tail`
// past it; the consumer that takes the last slot does the same with `head`.  A thread that meets
// the marker waits a few stores for that thread (producers) or answers Retry (consumers).  No
// thread ever waits for a lock, and a producer never waits for a consumer.
//
// Slots: one word holding the item pointer with three flag bits in its low bits (items are
// aligned to 8): `written` (the producer has stored the item), `read` (a consumer has taken it),
// `destroy` (the block's destruction reached this slot before its reader was done).  A consumer
// that claimed a position whose producer has not yet stored the item waits for `written`.
//
// Freeing blocks, Safety: a thread dereferences a block only after its compare-and-swap on
// `tail` or `head` succeeded for a position in that block, and a block is freed only after every
// slot in it has been read, so no thread that still needs the block can see it freed.  The
// consumer of the last slot walks the other slots: a slot already read is passed; a slot not yet
// read gets `destroy`, and its reader, seeing `destroy` when it sets `read`, continues the walk.
// Whoever finishes the walk deletes the block.  Threads holding stale `head`/`tail` block
// pointers fail their compare-and-swap and never dereference them.
//
// This header does not include Python.h: the queue is tested on its own.
#pragma once

#include "work/backoff.hpp"
#include "work/steal.hpp"
#include "work/work_item.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace quorlin {

class GlobalQueue {
public:
    GlobalQueue() {
        Block* first = new Block{};
        head_.block.store(first, std::memory_order_relaxed);
        tail_.block.store(first, std::memory_order_relaxed);
    }
    GlobalQueue(const GlobalQueue&) = delete;
    GlobalQueue& operator=(const GlobalQueue&) = delete;

    // Releases, without running them, the items still queued.  No thread may use the queue.
    ~GlobalQueue() {
        uint64_t head = head_.index.load(std::memory_order_relaxed);
        uint64_t tail = tail_.index.load(std::memory_order_relaxed);
        Block* block = head_.block.load(std::memory_order_relaxed);
        for (; head != tail; ++head) {
            size_t offset = head % lap;
            if (offset == block_slots) {
                Block* next = block->next.load(std::memory_order_relaxed);
                delete block;
                block = next;
                continue;
            }
            ItemPtr(item_of(block->slots[offset].load(std::memory_order_relaxed))).reset();
        }
        delete block;
    }

    // Any thread; never fails and never waits for a consumer.
    void push(ItemPtr item) noexcept {
        // Ordering (both loads): acquire pairs with the release stores that link a block, so a
        // block pointer read after an index is at least as new as that index.
        uint64_t tail = tail_.index.load(std::memory_order_acquire);
        Block* block = tail_.block.load(std::memory_order_acquire);
        std::unique_ptr<Block> next_block;
        Backoff backoff;
        for (;;) {
            size_t offset = tail % lap;
            if (offset == block_slots) {
                // Another producer is linking the next block.
                backoff.snooze();
                tail = tail_.index.load(std::memory_order_acquire);
                block = tail_.block.load(std::memory_order_acquire);
                continue;
            }
            // Allocate before taking the last slot, so that the marker is held only for a few stores.
            if (offset + 1 == block_slots && !next_block) next_block = std::make_unique<Block>();
            // Ordering: seq_cst so that positions are handed out in one order consistent with
            // every other push and with the consumers' emptiness check.
            if (tail_.index.compare_exchange_weak(tail, tail + 1, std::memory_order_seq_cst,
                                                  std::memory_order_acquire)) {
                if (offset + 1 == block_slots) {
                    Block* next = next_block.release();
                    // Ordering: release, block before index, so that readers of the index see
                    // the block (see above); the link is released for the consumer that waits on it.
                    tail_.block.store(next, std::memory_order_release);
                    tail_.index.store(tail + 2, std::memory_order_release);
                    block->next.store(next, std::memory_order_release);
                }
                // Ordering: release publishes the item's contents to the consumer's acquire load.
                block->slots[offset].fetch_or(reinterpret_cast<uintptr_t>(item.release()) | written,
                                              std::memory_order_release);
                return;
            }
            block = tail_.block.load(std::memory_order_acquire);
        }
    }

    // Any thread: the oldest item.
    [[nodiscard]] Steal steal(ItemPtr& out) noexcept {
        uint64_t head = head_.index.load(std::memory_order_acquire);
        Block* block = head_.block.load(std::memory_order_acquire);
        size_t offset = head % lap;
        if (offset == block_slots) return Steal::Retry;  // another consumer is moving to the next block
        // Ordering: seq_cst, after the load of head: a push that completed before this call
        // began has moved tail past head, so the queue is not reported empty.
        if (head == tail_.index.load(std::memory_order_seq_cst)) return Steal::Empty;
        if (!head_.index.compare_exchange_weak(head, head + 1, std::memory_order_seq_cst,
                                               std::memory_order_relaxed)) {
            return Steal::Retry;
        }
        if (offset + 1 == block_slots) {
            Block* next = wait_next(block);
            // Ordering: release, block before index, as for tail in push.
            head_.block.store(next, std::memory_order_release);
            head_.index.store(head + 2, std::memory_order_release);
        }
        std::atomic<uintptr_t>& slot = block->slots[offset];
        out = ItemPtr(item_of(wait_written(slot)));
        if (offset + 1 == block_slots) {
            destroy(block, 0);
        } else if (slot.fetch_or(read, std::memory_order_acq_rel) & destroy_flag) {
            // Ordering (acq_rel): release hands our use of the block to whoever deletes it;
            // acquire sees the walk that stopped at this slot.
            destroy(block, offset + 1);
        }
        return Steal::Success;
    }

    // Steals until the answer is not Retry.
    [[nodiscard]] ItemPtr take() noexcept {
        ItemPtr item;
        while (steal(item) == Steal::Retry) {
        }
        return item;
    }

private:
    static constexpr size_t lap = 64;
    static constexpr size_t block_slots = lap - 1;
    static constexpr uintptr_t written = 1;
    static constexpr uintptr_t read = 2;
    static constexpr uintptr_t destroy_flag = 4;
    static constexpr uintptr_t flags = written | read | destroy_flag;
    static_assert(alignof(WorkItem) > flags, "the slot flags live in the item pointer's low bits");

    struct Block {
        std::atomic<Block*> next{nullptr};
        std::atomic<uintptr_t> slots[block_slots] = {};
    };

    struct alignas(64) Position {
        std::atomic<uint64_t> index{0};
        std::atomic<Block*> block{nullptr};
    };

    static WorkItem* item_of(uintptr_t word) noexcept { return reinterpret_cast<WorkItem*>(word & ~flags); }

    static Block* wait_next(Block* block) noexcept {
        Backoff backoff;
        for (;;) {
            // Ordering: acquire pairs with the linking producer's release store of next.
            if (Block* next = block->next.load(std::memory_order_acquire)) return next;
            backoff.snooze();
        }
    }

    static uintptr_t wait_written(std::atomic<uintptr_t>& slot) noexcept {
        Backoff backoff;
        for (;;) {
            // Ordering: acquire pairs with the producer's release, so the item's contents are seen.
            uintptr_t word = slot.load(std::memory_order_acquire);
            if (word & written) return word;
            backoff.snooze();
        }
    }

    // Continues the walk over the slots from `start`; deletes the block when every slot is read.
    static void destroy(Block* block, size_t start) noexcept {
        // The last slot is not walked: its reader is the one that started the walk.
        for (size_t i = start; i + 1 < block_slots; ++i) {
            std::atomic<uintptr_t>& slot = block->slots[i];
            // Ordering: acquire (and acq_rel) pair with the reader's acq_rel setting of `read`,
            // so its use of the block happens before the delete.
            if (!(slot.load(std::memory_order_acquire) & read) &&
                !(slot.fetch_or(destroy_flag, std::memory_order_acq_rel) & read)) {
                return;  // that slot's reader continues the walk
            }
        }
        delete block;
    }

    // head: written by consumers only; tail: written by producers only.
    Position head_;
    Position tail_;
};

}  // namespace quorlin
