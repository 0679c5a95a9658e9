/* codec/list_append.h: appending to a list the parser owns */
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vorl {

// Appends `item`, stealing the reference (also on failure). While the list's length lies
// above half its capacity and below it, the list would not be resized by an append, so
// the item goes straight into the next slot; otherwise PyList_Append grows it.
inline int list_append_steal(PyObject *list, PyObject *item) noexcept {
    auto *l = reinterpret_cast<PyListObject *>(list);
    const Py_ssize_t n = Py_SIZE(l);
    if (n < l->allocated && n > (l->allocated >> 1)) {
        l->ob_item[n] = item;
        Py_SET_SIZE(l, n + 1);
        return 0;
    }
    int status = PyList_Append(list, item);
    Py_DECREF(item);
    return status;
}

}  // namespace vorl
