// A std::vector whose storage starts on a cache-line boundary, for the node-major rows of the
// block kernel: a vector load that straddles two cache lines costs two.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace tessaron {

inline constexpr std::size_t cache_line_bytes = 64;

template <class T>
struct CacheLineAllocator {
    using value_type = T;
    CacheLineAllocator() = default;
    template <class U>
    CacheLineAllocator(const CacheLineAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        return static_cast<T*>(::operator new(n * sizeof(T), std::align_val_t{cache_line_bytes}));
    }
    void deallocate(T* p, std::size_t) noexcept {
        ::operator delete(p, std::align_val_t{cache_line_bytes});
    }
    template <class U>
    bool operator==(const CacheLineAllocator<U>&) const noexcept {
        return true;
    }
};

template <class T>
using AlignedVector = std::vector<T, CacheLineAllocator<T>>;

}  // namespace tessaron
