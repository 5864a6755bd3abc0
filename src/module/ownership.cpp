// Objects of the module are bound to the thread that created them.
#include <string>

#include "module/binding.hpp"

namespace orvane::binding {

PyObject* panic_exception() {
    // Created once per process and never changed afterwards; it is
    // deliberately not a module attribute, so callers cannot catch it by name.
    static PyObject* type = PyErr_NewException("_orvane_ddb.PanicException", PyExc_BaseException, nullptr);
    return type;
}

Use::Use(Ownership& ownership, const char* type_name, Kind kind) : ownership_(ownership), kind_(kind) {
    const unsigned long current = PyThread_get_thread_ident();
    if (current != ownership.owner_thread) {
        const std::string report = std::string("assertion `left == right` failed: ") + type_name +
                                   " is unsendable, but sent to another thread\n  left: ThreadId(" +
                                   std::to_string(current) + ")\n right: ThreadId(" +
                                   std::to_string(ownership.owner_thread) + ")";
        if (PyObject* panic = panic_exception()) PyErr_SetString(panic, report.c_str());
        return;
    }
    if (kind == Exclusive) {
        if (ownership.uses != 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            return;
        }
        ownership.uses = -1;
    } else {
        if (ownership.uses < 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            return;
        }
        ++ownership.uses;
    }
    held_ = true;
}

Use::~Use() {
    if (!held_) return;
    if (kind_ == Exclusive) ownership_.uses = 0;
    else --ownership_.uses;
}

void report_foreign_release(PyObject* object, const char* type_name) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    const std::string message = std::string(type_name) + " is unsendable, but is being dropped on another thread";
    PyErr_SetString(PyExc_RuntimeError, message.c_str());
    // The object itself is being freed: handing it to a hook that may keep it
    // would resurrect freed memory, so the report names its type instead.
    PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(Py_TYPE(object)));
    PyErr_Restore(type, value, traceback);
}

}  // namespace orvane::binding
