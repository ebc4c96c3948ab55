// An unbounded multi-producer multi-consumer FIFO with a timed receive and disconnection.
//
// The channel lives while any of its ends does.  A send never blocks and never fails.  Every item
// is received exactly once, by one receiver, in the order sent.  A receive waits until an item
// arrives, its deadline passes, or the last sending end goes; once every sending end is gone,
// receives still deliver what is left and then report disconnection at once.  Items still queued
// when the channel itself goes are destroyed with it.
//
// A mutex-protected deque with one condition variable: the blocking pool moves one item per
// blocking call, so a lock held for a push or a pop is nowhere near its cost.  No item is
// destroyed under the lock: items leave the deque by move, and the caller lets them go.
#pragma once

#include "common/sys.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace quorlin {

enum class Receive { item, timeout, disconnected };

template <class T>
class ChannelSender;
template <class T>
class ChannelReceiver;

template <class T>
class Channel {
public:
    Channel() noexcept = default;
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    void send(T item) noexcept {
        {
            std::lock_guard lock(mutex_);
            items_.push_back(std::move(item));
        }
        ready_.notify_one();
    }

    // Moves the oldest item into `out` (which must be empty).  `deadline` is a CLOCK_MONOTONIC
    // instant; without one, or with one the clock type cannot represent, the wait has no end but
    // an item or disconnection.
    [[nodiscard]] Receive receive(std::optional<T>& out, const std::optional<Instant>& deadline) noexcept {
        std::optional<std::chrono::steady_clock::time_point> until;
        if (deadline) until = time_point_of(*deadline);
        std::unique_lock lock(mutex_);
        for (;;) {
            if (!items_.empty()) {
                out.emplace(std::move(items_.front()));
                items_.pop_front();
                return Receive::item;
            }
            if (senders_ == 0) return Receive::disconnected;
            if (!until) {
                ready_.wait(lock);
            } else if (ready_.wait_until(lock, *until) == std::cv_status::timeout) {
                // A last look: an item or disconnection that raced the deadline still counts.
                if (items_.empty() && senders_ != 0) return Receive::timeout;
            }
        }
    }

    [[nodiscard]] bool empty() noexcept {
        std::lock_guard lock(mutex_);
        return items_.empty();
    }

    // Takes back the oldest item for which `match(const T&)` holds, if it is still queued.
    template <class Match>
    [[nodiscard]] std::optional<T> withdraw(Match&& match) noexcept {
        std::optional<T> taken;
        std::lock_guard lock(mutex_);
        for (auto it = items_.begin(); it != items_.end(); ++it) {
            if (match(static_cast<const T&>(*it))) {
                taken.emplace(std::move(*it));
                items_.erase(it);
                break;
            }
        }
        return taken;
    }

    void add_sender() noexcept {
        std::lock_guard lock(mutex_);
        ++senders_;
    }

    void remove_sender() noexcept {
        bool last = false;
        {
            std::lock_guard lock(mutex_);
            last = --senders_ == 0;
        }
        // Every waiting receiver must see the disconnection, not just one.
        if (last) ready_.notify_all();
    }

private:
    // steady_clock is CLOCK_MONOTONIC; its count is signed 64-bit nanoseconds, about 292 years.
    static std::optional<std::chrono::steady_clock::time_point> time_point_of(const Instant& instant) noexcept {
        using nanoseconds = std::chrono::steady_clock::duration;
        constexpr uint64_t max_seconds = static_cast<uint64_t>(std::numeric_limits<int64_t>::max() / 1'000'000'000) - 1;
        if (instant.seconds > max_seconds) return std::nullopt;
        return std::chrono::steady_clock::time_point(
            nanoseconds(static_cast<int64_t>(instant.seconds) * 1'000'000'000 + instant.nanoseconds));
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<T> items_;  // guarded by mutex_
    size_t senders_ = 0;   // guarded by mutex_
};

// The sending end.  Move-only; `clone` makes another sending end of the same channel.
template <class T>
class ChannelSender {
public:
    ChannelSender(ChannelSender&& other) noexcept = default;
    ChannelSender& operator=(ChannelSender&&) = delete;
    ChannelSender(const ChannelSender&) = delete;
    ChannelSender& operator=(const ChannelSender&) = delete;
    ~ChannelSender() {
        if (channel_) channel_->remove_sender();
    }

    void send(T item) const noexcept { channel_->send(std::move(item)); }
    [[nodiscard]] ChannelSender clone() const noexcept { return ChannelSender(channel_); }
    // The oldest queued item matching `match`, taken back out, if no receiver got it first.
    template <class Match>
    [[nodiscard]] std::optional<T> withdraw(Match&& match) const noexcept {
        return channel_->withdraw(std::forward<Match>(match));
    }

private:
    template <class U>
    friend std::pair<ChannelSender<U>, ChannelReceiver<U>> make_channel() noexcept;

    explicit ChannelSender(std::shared_ptr<Channel<T>> channel) noexcept : channel_(std::move(channel)) {
        channel_->add_sender();
    }

    std::shared_ptr<Channel<T>> channel_;
};

// A receiving end.  Move-only; `clone` makes another receiving end of the same channel.
template <class T>
class ChannelReceiver {
public:
    ChannelReceiver(ChannelReceiver&& other) noexcept = default;
    ChannelReceiver& operator=(ChannelReceiver&&) = delete;
    ChannelReceiver(const ChannelReceiver&) = delete;
    ChannelReceiver& operator=(const ChannelReceiver&) = delete;
    ~ChannelReceiver() = default;

    [[nodiscard]] Receive receive(std::optional<T>& out, const std::optional<Instant>& deadline) const noexcept {
        return channel_->receive(out, deadline);
    }
    [[nodiscard]] bool empty() const noexcept { return channel_->empty(); }
    [[nodiscard]] ChannelReceiver clone() const noexcept { return ChannelReceiver(channel_); }

private:
    template <class U>
    friend std::pair<ChannelSender<U>, ChannelReceiver<U>> make_channel() noexcept;

    explicit ChannelReceiver(std::shared_ptr<Channel<T>> channel) noexcept : channel_(std::move(channel)) {}

    std::shared_ptr<Channel<T>> channel_;
};

template <class T>
[[nodiscard]] std::pair<ChannelSender<T>, ChannelReceiver<T>> make_channel() noexcept {
    auto channel = std::make_shared<Channel<T>>();
    return {ChannelSender<T>(channel), ChannelReceiver<T>(channel)};
}

}  // namespace quorlin
