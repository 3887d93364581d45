// Helpers shared by the runtime's tests: buffers that end at an inaccessible
// guard page, and a scope that starts and shuts down the library.
#ifndef QRV_TESTS_RUNTIME_SUPPORT_H
#define QRV_TESTS_RUNTIME_SUPPORT_H

#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace qrv_test {

inline size_t page_size()
{
    return (size_t)sysconf(_SC_PAGESIZE);
}

// A block of `size` bytes whose last byte is followed directly by a
// PROT_NONE page, and whose first byte is preceded by one: any read beyond
// either end crashes. With page_start the block starts on a page boundary
// (and its end may lie before the guard page).
class GuardedBuffer {
public:
    explicit GuardedBuffer(size_t size, bool page_start = false) : size_(size)
    {
        const size_t page = page_size();
        const size_t body = (size + page - 1) / page * page;
        mapped_ = body + 2 * page;
        void* p = mmap(nullptr, mapped_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            throw std::runtime_error("mmap failed");
        base_ = static_cast<uint8_t*>(p);
        body_ = base_ + page;
        body_bytes_ = body;
        if (body && mprotect(body_, body, PROT_READ | PROT_WRITE) != 0)
            throw std::runtime_error("mprotect failed");
        data_ = page_start ? body_ : body_ + (body - size);
    }
    ~GuardedBuffer() { munmap(base_, mapped_); }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    uint8_t* data() const { return data_; }
    size_t size() const { return size_; }

    // Makes the whole block inaccessible (any later read crashes) or usable
    // again.
    void lock() { protect(PROT_NONE); }
    void read_only() { protect(PROT_READ); }
    void unlock() { protect(PROT_READ | PROT_WRITE); }
    // The pages that hold the block, for fault handlers.
    uint8_t* pages() const { return body_; }
    size_t pages_bytes() const { return body_bytes_; }

private:
    void protect(int prot)
    {
        if (body_bytes_ && mprotect(body_, body_bytes_, prot) != 0)
            throw std::runtime_error("mprotect failed");
    }

    size_t size_;
    size_t mapped_ = 0;
    size_t body_bytes_ = 0;
    uint8_t* base_ = nullptr;
    uint8_t* body_ = nullptr;
    uint8_t* data_ = nullptr;
};

inline double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace qrv_test

#endif
