/* core/gil.hpp: GIL release and acquire guards that survive the interpreter ending a thread at exit */
#pragma once

#include <Python.h>

#include <chrono>
#include <cxxabi.h>
#include <thread>

namespace vemo {

/// Blocks the calling thread until the process ends.
[[noreturn]] inline void park_forever() noexcept {
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(24));
}

/// Runs `take`, a call that takes the GIL. While the interpreter finalises, Python ends every other
/// thread that asks for the GIL by unwinding its stack (pthread_exit). That unwind cannot cross the C++
/// frames above: a destructor or any noexcept function turns it into std::terminate, and nanobind's
/// dispatcher catches it without rethrowing, which aborts as well. Such a thread has no Python left to
/// run, so it is parked here instead, as newer Pythons do themselves, and the process exits around it.
template <class Take>
void take_gil_or_park(Take &&take) noexcept {
    try {
        take();
    } catch (abi::__forced_unwind &) {
        park_forever();
    }
}

/// Releases the GIL for its scope, as nb::gil_scoped_release does, but takes it back through
/// take_gil_or_park, so a daemon thread inside the scope when the interpreter exits does not abort it.
class GilReleased {
public:
    GilReleased() noexcept : state_(PyEval_SaveThread()) {}
    ~GilReleased() {
        take_gil_or_park([this] { PyEval_RestoreThread(state_); });
    }
    GilReleased(const GilReleased &) = delete;
    GilReleased &operator=(const GilReleased &) = delete;

private:
    PyThreadState *state_;
};

/// Holds the GIL for its scope on a thread that may not have it, as nb::gil_scoped_acquire does, with the
/// same safety at interpreter exit as GilReleased.
class GilAcquired {
public:
    GilAcquired() noexcept {
        take_gil_or_park([this] { state_ = PyGILState_Ensure(); });
    }
    ~GilAcquired() { PyGILState_Release(state_); }
    GilAcquired(const GilAcquired &) = delete;
    GilAcquired &operator=(const GilAcquired &) = delete;

private:
    PyGILState_STATE state_{};
};

} // namespace vemo
