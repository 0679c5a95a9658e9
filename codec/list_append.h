/* codec/list_append.h: appending to a list the parser owns */
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vorl {

// Appends `item`, stealing the reference (also on failure). While the list has a free
// slot the item goes straight into it; otherwise PyList_Append grows the list.
inline int list_append_steal(PyObject *list, PyObject *item) noexcept {
    auto *l = reinterpret_cast<PyListObject *>(list);
    const Py_ssize_t n = Py_SIZE(l);
    // A list that grew only by appends never holds more than twice its length, so any
    // free slot is one an append would use without a resize.
    if (n < l->allocated) {
        l->ob_item[n] = item;
        Py_SET_SIZE(l, n + 1);
        return 0;
    }
    int status = PyList_Append(list, item);
    Py_DECREF(item);
    return status;
}


// The items of the row being read, held (with their references) until the row's
// terminator, when they move into a new list in one step.
class RowBuffer {
public:
    RowBuffer() noexcept = default;
    RowBuffer(const RowBuffer &) = delete;
    RowBuffer &operator=(const RowBuffer &) = delete;
    ~RowBuffer() {
        clear();
        if (items_ != inline_) PyMem_Free(items_);
    }

    // Takes over `item` (a new reference; released also on failure).
    bool push(PyObject *item) noexcept {
        if (count_ == capacity_ && !grow()) [[unlikely]] {
            Py_DECREF(item);
            return false;
        }
        items_[count_++] = item;
        return true;
    }

    // A new list holding the items, which leave the buffer. `reference_growth` builds it
    // by appends; otherwise its storage is allocated at once, at the capacity those
    // appends would have given it.
    PyObject *take_list(bool reference_growth) noexcept;

    void clear() noexcept {
        Py_ssize_t n = count_;
        count_ = 0;
        for (Py_ssize_t k = 0; k < n; ++k) Py_DECREF(items_[k]);
    }

private:
    static constexpr Py_ssize_t inline_capacity = 64;

    bool grow() noexcept;

    PyObject *inline_[inline_capacity];
    PyObject **items_ = inline_;
    Py_ssize_t count_ = 0;
    Py_ssize_t capacity_ = inline_capacity;
};

}  // namespace vorl
