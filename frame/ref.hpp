// Owning and borrowed references to Python objects.
#pragma once

#include <Python.h>

#include <new>
#include <utility>

namespace frame {

// Owns one strong reference and releases it on every path out of the scope that holds it.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : ptr_(other.ptr_) { Py_XINCREF(ptr_); }
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    ~Ref() { Py_XDECREF(ptr_); }

    Ref& operator=(Ref other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }

    // Takes over a new reference (or null, after a failed call).
    [[nodiscard]] static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    // Adds a reference of its own to a borrowed object.
    [[nodiscard]] static Ref borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    [[nodiscard]] PyObject* get() const noexcept { return ptr_; }
    // Hands the reference to the caller, who becomes responsible for it.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    // A new reference for the caller; this one keeps its own.
    [[nodiscard]] PyObject* new_ref() const noexcept {
        Py_XINCREF(ptr_);
        return ptr_;
    }
    void reset() noexcept { Ref().swap(*this); }
    void swap(Ref& other) noexcept { std::swap(ptr_, other.ptr_); }

    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    explicit Ref(PyObject* obj) noexcept : ptr_(obj) {}
    PyObject* ptr_ = nullptr;
};

// Storage for an object that lives until the process ends and is never destroyed: the
// references it holds must not be released after the interpreter has been finalised.
template <class T>
class Immortal {
public:
    Immortal() { new (storage_) T(); }
    T& operator*() noexcept { return *std::launder(reinterpret_cast<T*>(storage_)); }
    T* operator->() noexcept { return &**this; }

private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace frame
