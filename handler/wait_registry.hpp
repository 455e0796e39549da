/* handler/wait_registry.hpp: the waits in progress on one client, so that all of them can be ended at once */
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace kinra {

/// One wait in progress: sleeps on its own condition variable until it is woken, cancelled or timed out.
/// `cancel()` may come from any thread; whatever the wait depends on is told through `on_cancel()`.
class CancellableWait {
public:
    CancellableWait() = default;
    CancellableWait(const CancellableWait&) = delete;
    CancellableWait& operator=(const CancellableWait&) = delete;
    virtual ~CancellableWait() = default;

    void cancel() noexcept {
        {
            std::lock_guard lock(mutex_);
            cancelled_ = true;
        }
        changed_.notify_all();
        on_cancel();
    }

    bool cancelled() const {
        std::lock_guard lock(mutex_);
        return cancelled_;
    }

    /// Waits up to `timeout`; returns true once cancelled.
    bool wait_cancelled(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return cancelled_; });
    }

protected:
    /// Called after the flag is set, outside the lock.
    virtual void on_cancel() noexcept {}

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool cancelled_ = false;
};

/// The waits in progress on one client. A wait is registered for as long as its `Registration` lives.
class WaitRegistry {
public:
    class Registration {
    public:
        Registration(WaitRegistry& registry, CancellableWait& wait) : registry_(registry), wait_(wait) {
            std::lock_guard lock(registry_.mutex_);
            registry_.active_.push_back(&wait_);
        }
        ~Registration() {
            std::lock_guard lock(registry_.mutex_);
            auto& active = registry_.active_;
            active.erase(std::find(active.begin(), active.end(), &wait_));
        }
        Registration(const Registration&) = delete;
        Registration& operator=(const Registration&) = delete;

    private:
        WaitRegistry& registry_;
        CancellableWait& wait_;
    };

    /// Cancels every wait registered now; returns how many. Waits registered later are not affected.
    std::size_t cancel_all() noexcept {
        std::lock_guard lock(mutex_);
        for (CancellableWait* wait : active_) wait->cancel();
        return active_.size();
    }

private:
    std::mutex mutex_;
    std::vector<CancellableWait*> active_;
};

}  // namespace kinra
