// Buffers that reads from a drive fill.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

namespace korvath {

// Reads land on a page boundary. The kernel's copy into a destination a few
// bytes off a 32-byte line ran up to eight times slower here (88.5 MiB from
// the page cache: 7 ms aligned, 61 ms eight bytes off), and a plain heap
// block begins 16 bytes into its page.
constexpr size_t kIoAlignment = 4096;

// Also leaves new elements uninitialised: a read fills them, and its caller
// zeroes whatever the read did not reach. Zeroing first cost a third of a read.
template <class T>
struct IoAllocator {
    using value_type = T;

    IoAllocator() = default;
    template <class U>
    IoAllocator(const IoAllocator<U> &) noexcept
    {
    }

    T *allocate(size_t n)
    {
        if (n > SIZE_MAX / sizeof(T))
            throw std::bad_alloc();
        return static_cast<T *>(::operator new(n * sizeof(T), std::align_val_t(kIoAlignment)));
    }
    void deallocate(T *p, size_t) noexcept { ::operator delete(p, std::align_val_t(kIoAlignment)); }

    template <class U>
    void construct(U *p) noexcept
    {
        ::new (static_cast<void *>(p)) U;
    }
    template <class U, class... Args>
    void construct(U *p, Args &&...args)
    {
        ::new (static_cast<void *>(p)) U(std::forward<Args>(args)...);
    }

    template <class U>
    bool operator==(const IoAllocator<U> &) const noexcept
    {
        return true;
    }
    template <class U>
    bool operator!=(const IoAllocator<U> &) const noexcept
    {
        return false;
    }
};

using IoBytes = std::vector<uint8_t, IoAllocator<uint8_t>>;

} // namespace korvath
