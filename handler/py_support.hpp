/* handler/py_support.hpp: diagnostics and interruptible waits shared by the kinra_client binding */
#pragma once

#include <nanobind/nanobind.h>

#include <chrono>
#include <string>

#include "core/gil.hpp"
#include "transport.hpp"

namespace kinra::py {

namespace nb = nanobind;
using Clock = std::chrono::steady_clock;

/// Writes one diagnostic line through Python's sys.stdout, so hosts and tests can redirect it.
void print_line(const std::string& text);

/// Remembers the interpreter's main thread; called once at import.
void note_main_thread();
bool on_main_thread();

/// For core waits that run without the GIL: on the main thread, briefly takes the GIL between slices
/// to let Python handle pending signals; true means a handler raised (KeyboardInterrupt is then pending
/// and the caller raises it with `throw nb::python_error()` once it holds the GIL again).
AbandonCheck signal_check();

/// Calls `wait_once(slice)` with the GIL released until it returns true (result true) or `deadline`
/// passes (result false). On the main thread slices are at most 100 ms and end with a signal check, so
/// Ctrl-C raises KeyboardInterrupt from here. `Clock::time_point::max()` waits without limit.
template <class WaitOnce>
bool wait_released(WaitOnce&& wait_once, Clock::time_point deadline) {
    const bool check_signals = on_main_thread();
    for (;;) {
        const auto now = Clock::now();
        if (now >= deadline) return false;
        std::chrono::milliseconds slice = check_signals ? wait_slice : std::chrono::milliseconds(3'600'000);
        if (deadline != Clock::time_point::max())
            slice = std::min(slice, std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
        bool done;
        {
            vemo::GilReleased released;
            done = wait_once(slice);
        }
        if (done) return true;
        if (check_signals && PyErr_CheckSignals() != 0) throw nb::python_error();
    }
}

}  // namespace kinra::py
