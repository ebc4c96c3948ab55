#include "common/sys.hpp"

#include "common/leak_check.hpp"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <unistd.h>

namespace quorlin {

void UniqueFd::reset(int fd) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

namespace {

struct ThreadStart {
    ThreadBody body;
    void* argument;
};

void* thread_trampoline(void* raw) noexcept {
    ThreadStart start = *static_cast<ThreadStart*>(raw);
    delete static_cast<ThreadStart*>(raw);
    start.body(start.argument);
    return nullptr;
}

}  // namespace

bool spawn_detached_thread(ThreadBody body, void* argument, int* error) noexcept {
    pthread_attr_t attributes;
    int status = pthread_attr_init(&attributes);
    if (status == 0) status = pthread_attr_setstacksize(&attributes, thread_stack_size);
    if (status == 0) status = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (status != 0) {
        *error = status;
        return false;
    }
    auto* start = new ThreadStart{body, argument};
    // Until the thread runs, only its descriptor holds `start`.
    leak_check::ignore(start);
    pthread_t thread;
    status = pthread_create(&thread, &attributes, thread_trampoline, start);
    pthread_attr_destroy(&attributes);
    if (status != 0) {
        delete start;
        *error = status;
        return false;
    }
    return true;
}

Instant monotonic_now() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return Instant{static_cast<uint64_t>(now.tv_sec), static_cast<uint32_t>(now.tv_nsec)};
}

unsigned __int128 microseconds_since(const Instant& base) noexcept {
    Instant now = monotonic_now();
    if (now.seconds < base.seconds || (now.seconds == base.seconds && now.nanoseconds < base.nanoseconds)) {
        return 0;
    }
    uint64_t seconds = now.seconds - base.seconds;
    int64_t nanoseconds = static_cast<int64_t>(now.nanoseconds) - static_cast<int64_t>(base.nanoseconds);
    if (nanoseconds < 0) {
        seconds -= 1;
        nanoseconds += 1'000'000'000;
    }
    return static_cast<unsigned __int128>(seconds) * 1'000'000u + static_cast<uint64_t>(nanoseconds) / 1000u;
}

std::string os_error_text(int error) noexcept {
    char buffer[256];
    const char* text = strerror_r(error, buffer, sizeof buffer);
    return std::string(text) + " (os error " + std::to_string(error) + ")";
}

}  // namespace quorlin
