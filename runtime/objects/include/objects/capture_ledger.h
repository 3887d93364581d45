// The frames a receiver handed to its caller and not yet freed, by the
// address the caller was given. What a held frame keeps alive (its buffer,
// or its pixels in a source's shared memory, whose release goes back to the
// source) is let go outside the ledger's lock.
#ifndef QRV_CAPTURE_LEDGER_H
#define QRV_CAPTURE_LEDGER_H

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "transport/message_io.h"

namespace qrv {

class CaptureLedger final {
public:
    struct Held {
        std::shared_ptr<ByteBuffer> data;
        std::shared_ptr<const transport::SharedFrame> shared;  // pixels in the source's memory
        std::string text;
    };

    // limit: frames held at once; beyond, hold() refuses.
    explicit CaptureLedger(size_t limit) : limit_(limit) {}

    bool full() const;
    size_t limit() const { return limit_; }
    // Keeps held under key and returns what it keeps, whose address stays
    // valid until release(key); null when the ledger is full.
    const Held* hold(const void* key, Held held);
    // Forgets the frame handed out under key; false when none was.
    bool release(const void* key);
    size_t size() const;

    // A buffer of n bytes for a converted frame, recycled once no one
    // holds it any more.
    std::shared_ptr<ByteBuffer> converted_buffer(size_t n);

private:
    const size_t limit_;
    mutable std::mutex mutex_;
    std::map<const void*, Held> held_;
    // Converted frames whose buffers are kept for reuse once freed.
    RecyclingPool<ByteBuffer> converted_{4};
};

}  // namespace qrv

#endif
