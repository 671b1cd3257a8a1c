// Owned and borrowed references to Python objects.
//
// `Ref` owns exactly one strong reference (or none). Copying takes another
// reference, moving hands the one it has over, and the destructor lets it go,
// so every early return and every thrown error releases what a function made.
// Ownership never changes hands implicitly: a raw pointer becomes a `Ref`
// only through `Ref::steal` (it already was ours) or `Ref::borrow` (take a new
// one), and leaves one only through `release`.
//
// `Handle` is the non-owning view that helpers take as arguments; it converts
// from either a raw pointer or a `Ref` and never touches the count.
#pragma once

#include <Python.h>

#include <utility>

namespace pm {

class Ref {
public:
    constexpr Ref() noexcept = default;

    static Ref steal(PyObject* owned) noexcept {
        Ref r;
        r.ptr_ = owned;
        return r;
    }
    static Ref borrow(PyObject* borrowed) noexcept { return steal(Py_XNewRef(borrowed)); }

    Ref(const Ref& other) noexcept : ptr_(Py_XNewRef(other.ptr_)) {}
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    // By value: the new reference is taken before the old one is dropped, so
    // assigning an object to a Ref that already holds it is safe.
    Ref& operator=(Ref other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    PyObject* get() const noexcept { return ptr_; }
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    void reset() noexcept { Ref().swap(*this); }
    void swap(Ref& other) noexcept { std::swap(ptr_, other.ptr_); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    PyObject* ptr_ = nullptr;
};

class Handle {
public:
    Handle(PyObject* ptr) noexcept : ptr_(ptr) {}
    Handle(const Ref& ref) noexcept : ptr_(ref.get()) {}
    PyObject* get() const noexcept { return ptr_; }

private:
    PyObject* ptr_;
};

}  // namespace pm
