// A heap array for the frame's few tables whose size is known only at run time. Memory comes
// from the interpreter's raw allocator and running out of it is a return value, not an
// exception: the libraries need neither the C++ runtime nor unwinding support, and an import
// does not pay for loading them.
#pragma once

#include <Python.h>

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

namespace frame {

template <class T>
    requires std::is_nothrow_default_constructible_v<T> && std::is_nothrow_move_constructible_v<T>
class Array {
public:
    Array() noexcept = default;
    Array(const Array&) = delete;
    Array& operator=(const Array&) = delete;
    ~Array() { clear(); }

    // Room for `capacity` elements; false, with nothing changed and no exception set, when the
    // memory cannot be had.
    [[nodiscard]] bool reserve(std::size_t capacity) noexcept {
        if (capacity <= capacity_) return true;
        if (capacity > PY_SSIZE_T_MAX / sizeof(T)) return false;
        T* grown = static_cast<T*>(PyMem_RawMalloc(capacity * sizeof(T)));
        if (!grown) return false;
        for (std::size_t i = 0; i < size_; ++i) {
            new (grown + i) T(std::move(data_[i]));
            data_[i].~T();
        }
        PyMem_RawFree(data_);
        data_ = grown;
        capacity_ = capacity;
        return true;
    }

    // `size` elements, new ones default-constructed; false as for reserve.
    [[nodiscard]] bool resize(std::size_t size) noexcept {
        if (!reserve(size)) return false;
        for (; size_ < size; ++size_) new (data_ + size_) T();
        for (; size_ > size; --size_) data_[size_ - 1].~T();
        return true;
    }

    // Appends within the reserved room; false when there is none left.
    [[nodiscard]] bool push_back(T value) noexcept {
        if (size_ == capacity_) return false;
        new (data_ + size_++) T(std::move(value));
        return true;
    }

    void clear() noexcept {
        (void)resize(0);
        PyMem_RawFree(data_);
        data_ = nullptr;
        capacity_ = 0;
    }

    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    [[nodiscard]] std::size_t capacity() const noexcept { return capacity_; }
    [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
    [[nodiscard]] T* data() noexcept { return data_; }
    [[nodiscard]] T& operator[](std::size_t i) noexcept { return data_[i]; }
    [[nodiscard]] const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    [[nodiscard]] T* begin() noexcept { return data_; }
    [[nodiscard]] T* end() noexcept { return data_ + size_; }
    [[nodiscard]] const T* begin() const noexcept { return data_; }
    [[nodiscard]] const T* end() const noexcept { return data_ + size_; }

private:
    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace frame
