/* module/function_type.h: the module's own callable type, a function that carries annotations */
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vorl {

// Readies the type once per process. Returns 0, or -1 with an exception set.
int function_type_ready() noexcept;

// A new function object for `def` (METH_FASTCALL | METH_KEYWORDS), called through
// vectorcall with `self` as the first argument of ml_meth; `parameter` names its one
// parameter in the signature. `annotations` is stolen.
PyObject *function_new(PyMethodDef *def, PyObject *self, PyObject *parameter, PyObject *qualname,
                       PyObject *module_name, PyObject *annotations) noexcept;

}  // namespace vorl
