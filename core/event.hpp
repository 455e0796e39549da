/* core/event.hpp: a thread-safe flag with set, clear, is-set and waits, free of Python */
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace vemo {

/// The finish signal of an action and the run flag of a module. Waiters may wait for either value of
/// the flag, so a module can also be woken when its run flag is cleared.
class Event {
public:
    Event() = default;
    Event(const Event &) = delete;
    Event &operator=(const Event &) = delete;

    void set() { store(true); }
    void clear() { store(false); }
    bool is_set() const noexcept { return flag_.load(std::memory_order_acquire); }

    /// Blocks until the flag equals `target`.
    void wait_until(bool target) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return is_set() == target; });
    }

    /// Blocks until the flag equals `target` or `timeout` has passed; returns whether it does.
    template <class Rep, class Period>
    bool wait_until(bool target, std::chrono::duration<Rep, Period> timeout) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return is_set() == target; });
    }

private:
    void store(bool value) {
        {
            std::lock_guard lock(mutex_);
            flag_.store(value, std::memory_order_release);
        }
        changed_.notify_all();
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::atomic<bool> flag_{false};
};

} // namespace vemo
