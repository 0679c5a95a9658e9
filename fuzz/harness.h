/* fuzz/harness.h: one embedded interpreter per fuzzing process, with vorl built in */
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" PyObject *PyInit_vorl(void);
extern "C" int _PyUnicode_CheckConsistency(PyObject *op, int check_content);

namespace vorl_fuzz {

struct Interpreter {
    PyObject *vorl = nullptr;
    PyObject *stringify = nullptr;
    PyObject *parse = nullptr;
    PyObject *reference = nullptr;  // the plain-Python codec of the tests, when found
};

inline Interpreter &interpreter() {
    static Interpreter it;
    return it;
}

[[noreturn]] inline void fail_python(const char *what) {
    std::fprintf(stderr, "fuzz harness: %s\n", what);
    if (PyErr_Occurred()) PyErr_Print();
    std::abort();
}

// Starts the interpreter once: the module keeps process-wide state and admits only the
// first interpreter, so every input of the process runs in this one. Objects come from
// the system allocator, so the address sanitizer sees each one on its own.
// VORL_FUZZ_REFERENCE may name the directory of reference_codec.py.
inline void start_interpreter() {
    static bool started = false;
    if (started) return;
    started = true;
    PyPreConfig preconfig;
    PyPreConfig_InitIsolatedConfig(&preconfig);
    preconfig.allocator = PYMEM_ALLOCATOR_MALLOC;
    if (PyStatus_Exception(Py_PreInitialize(&preconfig))) std::abort();
    if (PyImport_AppendInittab("vorl", PyInit_vorl) < 0) std::abort();
    PyConfig config;
    PyConfig_InitIsolatedConfig(&config);
    config.install_signal_handlers = 0;
    PyStatus status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) std::abort();

    Interpreter &it = interpreter();
    it.vorl = PyImport_ImportModule("vorl");
    if (it.vorl == nullptr) fail_python("import vorl failed");
    it.stringify = PyObject_GetAttrString(it.vorl, "stringify");
    it.parse = PyObject_GetAttrString(it.vorl, "parse");
    if (it.stringify == nullptr || it.parse == nullptr) fail_python("vorl lacks its functions");
    if (const char *dir = std::getenv("VORL_FUZZ_REFERENCE")) {
        PyObject *path = PySys_GetObject("path");  // borrowed
        PyObject *entry = PyUnicode_DecodeFSDefault(dir);
        if (path == nullptr || entry == nullptr || PyList_Insert(path, 0, entry) < 0) fail_python("sys.path");
        Py_DECREF(entry);
        it.reference = PyImport_ImportModule("reference_codec");
        if (it.reference == nullptr) fail_python("VORL_FUZZ_REFERENCE names no reference_codec");
    }
}

// Aborts with the broken invariant and the input as a hex dump.
[[noreturn]] inline void broken(const char *invariant, const uint8_t *data, size_t size,
                                const std::string &detail = {}) {
    std::fprintf(stderr, "\n==== broken invariant: %s\n", invariant);
    if (!detail.empty()) std::fprintf(stderr, "%s\n", detail.c_str());
    if (PyErr_Occurred()) PyErr_Print();
    std::fprintf(stderr, "input (%zu bytes):\n", size);
    for (size_t i = 0; i < size; i += 16) {
        std::fprintf(stderr, "%08zx ", i);
        for (size_t k = i; k < i + 16 && k < size; ++k) std::fprintf(stderr, " %02x", data[k]);
        std::fprintf(stderr, "\n");
    }
    std::abort();
}

// repr() of an object as UTF-8 with escapes, for reports.
inline std::string show(PyObject *obj) {
    if (obj == nullptr) return "<null>";
    PyObject *exc = PyErr_GetRaisedException();
    std::string out = "<repr failed>";
    if (PyObject *r = PyObject_Repr(obj)) {
        if (PyObject *a = PyUnicode_AsEncodedString(r, "ascii", "backslashreplace")) {
            out.assign(PyBytes_AS_STRING(a), static_cast<size_t>(PyBytes_GET_SIZE(a)));
            Py_DECREF(a);
        }
        Py_DECREF(r);
    }
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    return out;
}

// The UTF-16 code units of a string; a lone surrogate is one unit.
inline std::vector<uint32_t> utf16_units(PyObject *str) {
    std::vector<uint32_t> units;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(str);
    units.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 ch = PyUnicode_READ_CHAR(str, i);
        if (ch > 0xFFFF) {
            units.push_back(0xD800 + ((ch - 0x10000) >> 10));
            units.push_back(0xDC00 + ((ch - 0x10000) & 0x3FF));
        } else {
            units.push_back(ch);
        }
    }
    return units;
}

// True when `value` is an exact list of exact lists of consistent exact str.
inline bool is_row_list(PyObject *value) {
    if (!PyList_CheckExact(value)) return false;
    for (Py_ssize_t r = 0; r < PyList_GET_SIZE(value); ++r) {
        PyObject *row = PyList_GET_ITEM(value, r);
        if (!PyList_CheckExact(row)) return false;
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(row); ++k) {
            PyObject *item = PyList_GET_ITEM(row, k);
            if (!PyUnicode_CheckExact(item) || !_PyUnicode_CheckConsistency(item, 1)) return false;
        }
    }
    return true;
}

// Calls `func(arg)`; the result, or null with the exception fetched into `*exc`.
// A result together with a pending exception, or neither, is itself a broken invariant.
inline PyObject *call(PyObject *func, PyObject *arg, PyObject **exc, const uint8_t *data, size_t size) {
    PyObject *result = PyObject_CallOneArg(func, arg);
    *exc = PyErr_GetRaisedException();
    if ((result == nullptr) == (*exc == nullptr)) {
        broken("a call returned a result with an exception, or neither", data, size);
    }
    return result;
}

}  // namespace vorl_fuzz
