/* codec/unicode_util.h: copying code units between storage widths, and string checks */
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>

#ifdef VORL_CHECK_CONSISTENCY
// Exported by the interpreter; checks a string's flags, width and contents.
extern "C" int _PyUnicode_CheckConsistency(PyObject *op, int check_content);
#endif

namespace vorl {

// Copies the `n` code points of `src` into `dst`, widening where `Out` is wider than the
// source's storage. `Out` is never narrower: the caller sized the result for the widest
// character.
template <typename Out>
inline void copy_chars(Out *dst, PyObject *src, Py_ssize_t n) noexcept {
    const void *data = PyUnicode_DATA(src);
    const int kind = PyUnicode_KIND(src);
    if (kind == static_cast<int>(sizeof(Out))) {
        std::memcpy(dst, data, static_cast<size_t>(n) * sizeof(Out));
    } else if (kind == PyUnicode_1BYTE_KIND) {
        const auto *s = static_cast<const Py_UCS1 *>(data);
        for (Py_ssize_t i = 0; i < n; ++i) dst[i] = s[i];
    } else {
        const auto *s = static_cast<const Py_UCS2 *>(data);
        for (Py_ssize_t i = 0; i < n; ++i) dst[i] = static_cast<Out>(s[i]);
    }
}

// Debug builds check every string the codec makes by hand.
inline void check_new_string([[maybe_unused]] PyObject *str) noexcept {
#ifdef VORL_CHECK_CONSISTENCY
    if (!_PyUnicode_CheckConsistency(str, 1)) Py_FatalError("vorl: inconsistent string");
#endif
}

}  // namespace vorl
