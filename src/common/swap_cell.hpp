// A slot holding a shared reference (or nothing) that any thread may read or replace atomically.
//
// Readers never block and never wait for writers: a read announces itself in one of two reader
// counters (chosen by the parity of `epoch_`), loads the current holder and copies or uses its
// value.  A writer publishes a new holder, flips the parity and waits until the readers counted
// under the old parity are gone; only then can no reader still see the old holder, which the
// writer frees.  Writers are serialised among themselves.
//
// Why one flip suffices: a reader re-reads the parity after announcing itself and retries on a
// change.  A reader that passes that check under parity p was counted in readers_[p] before the
// flip away from p, so the writer that flips waits for it; a reader that announces itself after a
// flip loads the holder after the exchange that preceded the flip, so it sees the new holder.
// All operations on epoch_, readers_ and current_ are seq_cst: the argument needs one total order
// over the reader's announce / check / load and the writer's exchange / flip / drain.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

namespace quorlin {

template <class T>
class SwapCell {
public:
    SwapCell() noexcept : current_(new Holder{}) {}
    explicit SwapCell(std::shared_ptr<T> value) noexcept : current_(new Holder{std::move(value)}) {}
    SwapCell(const SwapCell&) = delete;
    SwapCell& operator=(const SwapCell&) = delete;
    ~SwapCell() { delete current_.load(std::memory_order_relaxed); }

    // A share of the current value (empty if none).
    [[nodiscard]] std::shared_ptr<T> load() const noexcept {
        return read([](const std::shared_ptr<T>& value) { return value; });
    }

    // Calls `use(const std::shared_ptr<T>&)` on the current value without taking a share; the
    // value cannot be freed while `use` runs.  `use` must be short: it holds up writers.
    template <class Use>
    decltype(auto) read(Use&& use) const noexcept {
        ReadGuard guard(*this);
        return use(guard.holder->value);
    }

    // Publishes `value` and returns the previous value, which the caller releases when it likes.
    [[nodiscard]] std::shared_ptr<T> exchange(std::shared_ptr<T> value) noexcept {
        Holder* fresh = new Holder{std::move(value)};
        std::lock_guard writers(writers_);
        Holder* old = current_.exchange(fresh, std::memory_order_seq_cst);
        uint32_t old_parity = epoch_.fetch_add(1, std::memory_order_seq_cst) & 1;
        while (readers_[old_parity].load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
        std::shared_ptr<T> previous = std::move(old->value);
        delete old;
        return previous;
    }

    [[nodiscard]] std::shared_ptr<T> take() noexcept { return exchange(nullptr); }

private:
    struct Holder {
        std::shared_ptr<T> value;
    };

    struct ReadGuard {
        explicit ReadGuard(const SwapCell& cell_) noexcept : cell(cell_) {
            for (;;) {
                parity = cell.epoch_.load(std::memory_order_seq_cst) & 1;
                cell.readers_[parity].fetch_add(1, std::memory_order_seq_cst);
                if ((cell.epoch_.load(std::memory_order_seq_cst) & 1) == parity) break;
                cell.readers_[parity].fetch_sub(1, std::memory_order_seq_cst);
            }
            holder = cell.current_.load(std::memory_order_seq_cst);
        }
        ~ReadGuard() { cell.readers_[parity].fetch_sub(1, std::memory_order_seq_cst); }
        const SwapCell& cell;
        uint32_t parity;
        Holder* holder;
    };

    std::atomic<Holder*> current_;
    mutable std::atomic<uint32_t> epoch_{0};
    mutable std::atomic<uint64_t> readers_[2] = {0, 0};
    std::mutex writers_;
};

}  // namespace quorlin
