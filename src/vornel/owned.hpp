// Owned references: a move-only handle that drops its reference on every exit path.
#pragma once

#include <Python.h>

#include <utility>

namespace vornel {

// Made only by steal() (take over a new reference) or borrow() (add one); a raw
// PyObject* elsewhere in the module is always borrowed.
class Ref {
public:
    Ref() noexcept = default;
    Ref(Ref &&o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref &operator=(Ref &&o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    ~Ref() { Py_XDECREF(p_); }

    static Ref steal(PyObject *p) noexcept { return Ref(p); }
    static Ref borrow(PyObject *p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject *get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller (a return value, a stealing API).
    PyObject *release() noexcept { return std::exchange(p_, nullptr); }

private:
    explicit Ref(PyObject *p) noexcept : p_(p) {}
    PyObject *p_ = nullptr;
};

}  // namespace vornel
