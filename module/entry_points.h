/* module/entry_points.h: stringify() and parse() as the host calls them */
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vorl {

// The parameter names (interned) and the note text, made by the exec step.
struct EntryConstants {
    PyObject *lists = nullptr;
    PyObject *vorl = nullptr;
    PyObject *add_note = nullptr;
    PyObject *subclass_note = nullptr;
};
void set_entry_constants(const EntryConstants &constants) noexcept;

// Method descriptions of the two functions (METH_FASTCALL | METH_KEYWORDS).
extern PyMethodDef stringify_def;
extern PyMethodDef parse_def;

}  // namespace vorl
