/* handler/py_support.cpp: diagnostics through sys.stdout and signal-aware waits */
#include "py_support.hpp"

#include <pythread.h>

#include <atomic>

namespace kinra::py {

namespace {
std::atomic<unsigned long> main_thread_ident{0};
}

void print_line(const std::string& text) {
    nb::module_::import_("sys").attr("stdout").attr("write")(nb::str(text.data(), text.size()) + nb::str("\n"));
}

void note_main_thread() {
    main_thread_ident = nb::cast<unsigned long>(nb::module_::import_("threading").attr("main_thread")().attr("ident"));
}

bool on_main_thread() { return PyThread_get_thread_ident() == main_thread_ident.load(); }

AbandonCheck signal_check() {
    if (!on_main_thread()) return nullptr;
    return [] {
        vemo::GilAcquired acquired;
        return PyErr_CheckSignals() != 0;
    };
}

}  // namespace kinra::py
