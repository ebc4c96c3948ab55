// The readiness word of one I/O registration: what the driver has reported for a descriptor and
// not yet been taken back, plus an 8-bit tick that counts reports.
//
//   bit 0  READABLE      readable or priority data reported
//   bit 1  WRITABLE      writable reported
//   bit 2  READ_CLOSED   peer closed its writing side, or hang-up
//   bit 3  WRITE_CLOSED  writing side closed (hang-up or error)
//   bit 4  ERROR         error condition reported (belongs to both directions)
//   bit 5  SHUTDOWN      the registration was closed; never cleared
//   bits 6..13           tick, plus 1 modulo 256 on every report
//
// Only the driver adds readiness bits (`report`); closing adds SHUTDOWN; everybody else only
// removes bits.  A direction is ready while its interest mask or SHUTDOWN has a bit in the word.
//
// Why the tick: a caller that found a direction ready remembers the tick it saw (`remember_tick`);
// `clear` later removes the direction's bits only if the tick is unchanged, so a report that
// arrived in between is not thrown away.  256 reports in between wrap the tick and look like none.
#pragma once

#include <atomic>
#include <cstdint>

namespace quorlin::io {

inline constexpr uint32_t readable = 0x01;
inline constexpr uint32_t writable = 0x02;
inline constexpr uint32_t read_closed = 0x04;
inline constexpr uint32_t write_closed = 0x08;
inline constexpr uint32_t error = 0x10;
inline constexpr uint32_t shutdown = 0x20;
inline constexpr uint32_t read_interest = readable | read_closed | error;     // 0x15
inline constexpr uint32_t write_interest = writable | write_closed | error;  // 0x1a
inline constexpr uint32_t all_interest = read_interest | write_interest;     // 0x1f
inline constexpr unsigned tick_shift = 6;
inline constexpr uint32_t tick_mask = 0xffu << tick_shift;

enum class Direction { read, write };

[[nodiscard]] constexpr uint32_t interest_of(Direction direction) noexcept {
    return direction == Direction::read ? read_interest : write_interest;
}

[[nodiscard]] constexpr uint8_t tick_of(uint32_t word) noexcept {
    return static_cast<uint8_t>((word & tick_mask) >> tick_shift);
}

// Translates an epoll events word into readiness bits.  The values are the kernel's ABI, spelled
// out so that this header needs no system header.
[[nodiscard]] constexpr uint32_t readiness_from_epoll(uint32_t events) noexcept {
    constexpr uint32_t in = 0x001, pri = 0x002, out = 0x004, err = 0x008, hup = 0x010, rdhup = 0x2000;
    uint32_t bits = 0;
    if (events & (in | pri)) bits |= readable;
    if (events & out) bits |= writable;
    if ((events & hup) || ((events & in) && (events & rdhup))) bits |= read_closed;
    if ((events & hup) || ((events & out) && (events & err)) || events == err) bits |= write_closed;
    if (events & err) bits |= error;
    return bits;
}

// All operations on `word_` are seq_cst: the arm protocol (re-read the word under the
// registration's lock after the driver reported and before it takes the slots) relies on one
// total order between the driver's report, the close's SHUTDOWN and the arm's read.
class ReadinessWord {
public:
    [[nodiscard]] uint32_t load() const noexcept { return word_.load(std::memory_order_seq_cst); }

    // Publishes the record that holds this word to a thread that will find it by other means than
    // an atomic (the driver, through the epoll token).  Ordering: the release store heads the
    // word's release sequence, and every access of the driver starts with a load of the word
    // (`report`), so everything written before publishing happens before the driver's accesses.
    void publish() noexcept { word_.store(0, std::memory_order_release); }

    [[nodiscard]] bool ready(Direction direction) const noexcept {
        return (load() & (interest_of(direction) | shutdown)) != 0;
    }

    // One report from the driver: advances the tick and adds `bits`.
    void report(uint32_t bits) noexcept {
        uint32_t current = word_.load(std::memory_order_seq_cst);
        for (;;) {
            uint32_t tick = (tick_of(current) + 1u) & 0xffu;
            uint32_t next = (current & ~tick_mask) | (tick << tick_shift) | (bits & all_interest);
            if (word_.compare_exchange_weak(current, next, std::memory_order_seq_cst)) return;
        }
    }

    void shut_down() noexcept { word_.fetch_or(shutdown, std::memory_order_seq_cst); }

    // Remembers the current tick for `direction` (an arm found it ready).
    void remember_tick(Direction direction) noexcept {
        // Ordering: relaxed.  The tick is a hint between an arm and a later clear of the same
        // direction, normally made by one task in sequence; concurrent arms of one direction are
        // not coordinated, and the atomic only keeps such a race well defined.
        tick_for(direction).store(tick_of(load()), std::memory_order_relaxed);
    }

    // Removes the direction's bits; true if any was present.
    [[nodiscard]] bool consume(Direction direction) noexcept {
        const uint32_t interest = interest_of(direction);
        uint32_t current = word_.load(std::memory_order_seq_cst);
        for (;;) {
            if ((current & interest) == 0) return false;
            if (word_.compare_exchange_weak(current, current & ~interest, std::memory_order_seq_cst)) return true;
        }
    }

    // Removes the direction's bits unless a report arrived since the remembered tick.
    void clear(Direction direction) noexcept {
        const uint32_t interest = interest_of(direction);
        // Ordering: relaxed, as in remember_tick.
        const uint8_t remembered = tick_for(direction).load(std::memory_order_relaxed);
        uint32_t current = word_.load(std::memory_order_seq_cst);
        for (;;) {
            if (tick_of(current) != remembered) return;
            if (word_.compare_exchange_weak(current, current & ~interest, std::memory_order_seq_cst)) return;
        }
    }

private:
    [[nodiscard]] std::atomic<uint8_t>& tick_for(Direction direction) noexcept {
        return direction == Direction::read ? read_tick_ : write_tick_;
    }

    std::atomic<uint32_t> word_{0};
    std::atomic<uint8_t> read_tick_{0};
    std::atomic<uint8_t> write_tick_{0};
};

}  // namespace quorlin::io
