#include "base/byte_buffer.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace qrv {

namespace {

constexpr size_t kHugePage = size_t{2} << 20;

size_t round_up(size_t n, size_t unit) { return (n + unit - 1) / unit * unit; }

// Maps n bytes (a multiple of kHugePage) aligned to a huge page, so that the
// kernel can back all of it with huge pages; null when the kernel refuses.
uint8_t* map_aligned(size_t n)
{
    const size_t span = n + kHugePage;
    void* p = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return nullptr;
    auto* base = static_cast<uint8_t*>(p);
    auto* aligned = reinterpret_cast<uint8_t*>(round_up(reinterpret_cast<uintptr_t>(base), kHugePage));
    if (aligned > base)
        ::munmap(base, static_cast<size_t>(aligned - base));
    if (const size_t tail = static_cast<size_t>(base + span - (aligned + n)); tail > 0)
        ::munmap(aligned + n, tail);
#ifdef MADV_HUGEPAGE
    ::madvise(aligned, n, MADV_HUGEPAGE);  // advice only: without huge pages it still works
#endif
    return aligned;
}

}  // namespace

ByteBuffer::~ByteBuffer()
{
    if (mapped_)
        ::munmap(data_, capacity_);
    else
        std::free(data_);
}

void ByteBuffer::swap(ByteBuffer& other) noexcept
{
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    std::swap(mapped_, other.mapped_);
}

void ByteBuffer::resize(size_t n)
{
    if (n <= capacity_) {
        size_ = n;
        return;
    }
    ByteBuffer grown;
    if (n >= kMappedFrom) {
        const size_t capacity = round_up(n, kHugePage);
        if (capacity < n || !(grown.data_ = map_aligned(capacity)))
            throw std::bad_alloc();
        grown.capacity_ = capacity;
        grown.mapped_ = true;
    } else {
        // Room to grow by half again, so that a buffer filled piece by piece
        // is not copied at every step.
        const size_t capacity = std::max(n, capacity_ + capacity_ / 2);
        if (!(grown.data_ = static_cast<uint8_t*>(std::malloc(capacity))))
            throw std::bad_alloc();
        grown.capacity_ = capacity;
    }
    if (size_ > 0)
        std::memcpy(grown.data_, data_, size_);
    grown.size_ = n;
    swap(grown);
}

void ByteBuffer::assign(std::span<const uint8_t> bytes)
{
    resize(0);
    resize(bytes.size());
    if (!bytes.empty())
        std::memcpy(data_, bytes.data(), bytes.size());
}

}  // namespace qrv
