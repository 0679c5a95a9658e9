/* codec/py_ref.h: a small owner for one strong reference to a host object */
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vorl {

// Owns one strong reference, or nothing. Construction says whether the reference is
// stolen (a new reference handed over) or borrowed (a new reference is taken).
class Ref {
public:
    struct steal_t {};
    struct borrow_t {};
    static constexpr steal_t steal{};
    static constexpr borrow_t borrow{};

    Ref() noexcept = default;
    Ref(PyObject *obj, steal_t) noexcept : obj_(obj) {}
    Ref(PyObject *obj, borrow_t) noexcept : obj_(Py_XNewRef(obj)) {}
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : obj_(other.release()) {}
    Ref &operator=(Ref &&other) noexcept {
        reset(other.release());
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    PyObject *get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

    // Gives the reference up to the caller.
    [[nodiscard]] PyObject *release() noexcept { return std::exchange(obj_, nullptr); }

    // Takes over `obj` (a new reference) and drops the one held before. The old object is
    // released last, so a finalizer it runs sees this owner already updated.
    void reset(PyObject *obj = nullptr) noexcept {
        PyObject *old = std::exchange(obj_, obj);
        Py_XDECREF(old);
    }

private:
    PyObject *obj_ = nullptr;
};

inline Ref steal(PyObject *obj) noexcept { return Ref(obj, Ref::steal); }
inline Ref borrow(PyObject *obj) noexcept { return Ref(obj, Ref::borrow); }

}  // namespace vorl
