// A growable block of bytes for frames. Large buffers come straight from the
// kernel in huge pages where it has them: a fresh 16 MiB buffer then costs a
// handful of page faults instead of thousands, which on a virtual machine is
// the difference between a few milliseconds and tens of them for the first
// frames of every stream.
#ifndef QRV_BASE_BYTE_BUFFER_H
#define QRV_BASE_BYTE_BUFFER_H

#include <cstddef>
#include <cstdint>
#include <span>

namespace qrv {

/// Owns bytes like a vector, but never initialises what it adds.
///
/// Not thread-safe: one thread writes it at a time (callers share a filled
/// buffer read-only). Move-only.
class ByteBuffer {
public:
    ByteBuffer() = default;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ByteBuffer(ByteBuffer&& other) noexcept { swap(other); }
    ByteBuffer& operator=(ByteBuffer&& other) noexcept
    {
        ByteBuffer gone(static_cast<ByteBuffer&&>(other));
        swap(gone);
        return *this;
    }
    ~ByteBuffer();

    /// Sets the size to n, keeping the first min(size(), n) bytes; bytes
    /// beyond the old size have no defined value. Throws std::bad_alloc when
    /// no memory is left (the buffer is then unchanged).
    void resize(size_t n);
    /// Replaces the content with a copy of bytes.
    void assign(std::span<const uint8_t> bytes);

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    uint8_t* data() { return data_; }
    const uint8_t* data() const { return data_; }
    std::span<uint8_t> span() { return {data_, size_}; }
    std::span<const uint8_t> span() const { return {data_, size_}; }
    operator std::span<const uint8_t>() const { return span(); }

    /// Buffers at least this large are mapped, aligned to and advised for
    /// huge pages; smaller ones come from the heap.
    static constexpr size_t kMappedFrom = size_t{2} << 20;

private:
    void swap(ByteBuffer& other) noexcept;

    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    bool mapped_ = false;
};

}  // namespace qrv

#endif
