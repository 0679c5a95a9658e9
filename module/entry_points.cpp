/* module/entry_points.cpp: argument binding and the exact-str check, then the codec */
#include "entry_points.h"

#include <cstring>

#include "../codec/py_ref.h"
#include "../codec/vorl_codec.h"

namespace vorl {

namespace {

EntryConstants constants;

[[gnu::cold]] void raise_positional_count(const char *func, Py_ssize_t given) noexcept {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", func, "exactly",
                 static_cast<Py_ssize_t>(1), "", given);
}

// Equal contents of two exact str objects: cached hashes, then length, width, code units.
bool same_text(PyObject *a, PyObject *b) noexcept {
    Py_hash_t ha = PyObject_Hash(a);
    Py_hash_t hb = PyObject_Hash(b);
    if (ha != hb) return false;
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b)) return false;
    int kind = PyUnicode_KIND(a);
    if (kind != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(n) * kind) == 0;
}

// Matches one keyword name against the parameter. 1: it names the parameter; -1: failure.
int match_keyword(const char *func, PyObject *param, PyObject *key, bool taken_by_position) noexcept {
    if (!taken_by_position && key == param) return 1;
    int equal;
    if (PyUnicode_CheckExact(key)) {
        equal = same_text(key, param);
    } else if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", func);
        return -1;
    } else {
        equal = PyObject_RichCompareBool(param, key, Py_EQ);
        if (equal < 0) return -1;
    }
    if (equal && !taken_by_position) return 1;
    if (equal) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", func, key);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, key);
    }
    return -1;
}

// Binds the one parameter. Returns the bound value (borrowed from the call), or null.
PyObject *bind_one(const char *func, PyObject *param, PyObject *const *args, Py_ssize_t nargs,
                   PyObject *kwnames) noexcept {
    Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs == 1) return args[0];
        raise_positional_count(func, nargs);
        return nullptr;
    }
    // The positional count is tested before any keyword is looked at.
    if (nargs > 1) {
        raise_positional_count(func, nargs);
        return nullptr;
    }
    PyObject *bound = nargs == 1 ? args[0] : nullptr;
    const bool taken_by_position = nargs == 1;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        if (match_keyword(func, param, PyTuple_GET_ITEM(kwnames, i), taken_by_position) < 0) return nullptr;
        bound = args[nargs + i];
    }
    if (bound == nullptr) raise_positional_count(func, 0);
    return bound;
}

// The subtype test of the type check: the MRO when the type has one, else its bases.
bool is_str_subtype(PyTypeObject *type) noexcept {
    PyObject *mro = type->tp_mro;
    if (mro != nullptr && PyTuple_Check(mro)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
            if (PyTuple_GET_ITEM(mro, i) == reinterpret_cast<PyObject *>(&PyUnicode_Type)) return true;
        }
        return false;
    }
    for (PyTypeObject *base = type; base != nullptr; base = base->tp_base) {
        if (base == &PyUnicode_Type) return true;
    }
    return false;
}

[[gnu::cold, gnu::noinline]] void raise_not_exact_str(PyObject *arg) noexcept {
    PyTypeObject *type = Py_TYPE(arg);
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "vorl",
                 PyUnicode_Type.tp_name, type->tp_name);
    if (!is_str_subtype(type)) return;
    PyObject *exc = PyErr_GetRaisedException();
    PyObject *call_args[] = {exc, constants.subclass_note};
    PyObject *status = PyObject_VectorcallMethod(constants.add_note, call_args,
                                                 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    // A failing add_note leaves the TypeError without its note.
    if (status == nullptr) PyErr_Clear();
    Py_XDECREF(status);
    PyErr_SetRaisedException(exc);
}

PyObject *stringify_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    PyObject *lists = bind_one("stringify", constants.lists, args, nargs, kwnames);
    if (lists == nullptr) return nullptr;
    Ref held = borrow(lists);
    return serialize(held.get());
}

PyObject *parse_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    PyObject *text = bind_one("parse", constants.vorl, args, nargs, kwnames);
    if (text == nullptr) return nullptr;
    if (!PyUnicode_CheckExact(text)) {
        raise_not_exact_str(text);
        return nullptr;
    }
    Ref held = borrow(text);
    return parse(held.get());
}

template <typename F>
PyCFunction as_method(F f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace

void set_entry_constants(const EntryConstants &c) noexcept { constants = c; }

PyMethodDef stringify_def = {"stringify", as_method(stringify_entry), METH_FASTCALL | METH_KEYWORDS,
                             "Serialize a 2D iterable of strings into a VORL string."};
PyMethodDef parse_def = {"parse", as_method(parse_entry), METH_FASTCALL | METH_KEYWORDS,
                         "Parse a VORL string into a 2D list of strings."};

}  // namespace vorl
