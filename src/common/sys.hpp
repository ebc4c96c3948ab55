// Operating-system helpers: owned descriptors, detached threads, the monotonic clock, errno texts.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace quorlin {

// Closes its descriptor when destroyed.
class UniqueFd {
public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(std::exchange(other.fd_, -1));
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    [[nodiscard]] int get() const noexcept { return fd_; }
    [[nodiscard]] int release() noexcept { return std::exchange(fd_, -1); }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    void reset(int fd = -1) noexcept;

private:
    int fd_ = -1;
};

// Starts a detached, unnamed thread with a 2 MiB stack running `body(argument)`.
// Returns false (errno-style code in *error) when the system refuses the thread.
using ThreadBody = void (*)(void* argument) noexcept;
[[nodiscard]] bool spawn_detached_thread(ThreadBody body, void* argument, int* error) noexcept;

constexpr size_t thread_stack_size = 2u * 1024 * 1024;

// A monotonic instant as whole seconds and nanoseconds.
struct Instant {
    uint64_t seconds = 0;
    uint32_t nanoseconds = 0;
};

[[nodiscard]] Instant monotonic_now() noexcept;

// Whole microseconds from `base` to now; 0 when the clock reads earlier than `base`.
[[nodiscard]] unsigned __int128 microseconds_since(const Instant& base) noexcept;

// The system's text for an error number followed by " (os error N)".
[[nodiscard]] std::string os_error_text(int error) noexcept;

}  // namespace quorlin
