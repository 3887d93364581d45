#include "base/shm_region.h"

#include <fcntl.h>

#include <atomic>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qrv::net {

namespace {

constexpr unsigned kSizeSeals = F_SEAL_SHRINK | F_SEAL_GROW;

// Numbers of the regions this process created; never handed out twice, so
// that a number a receiver knows can only ever mean the one region.
std::atomic<uint64_t> next_serial{0};

size_t page_round(size_t n)
{
    const long page = ::sysconf(_SC_PAGESIZE);
    const size_t p = page > 0 ? static_cast<size_t>(page) : 4096u;
    return (n + p - 1) / p * p;
}

}  // namespace

bool file_identity(int fd, uint64_t& device, uint64_t& inode)
{
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return false;
    device = static_cast<uint64_t>(st.st_dev);
    inode = static_cast<uint64_t>(st.st_ino);
    return true;
}

std::unique_ptr<ShmRegion> ShmRegion::create(size_t size)
{
    if (size == 0)
        return nullptr;
    const size_t bytes = page_round(size);
    net::Fd fd(::memfd_create("qrv-frame", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!fd || ::ftruncate(fd.get(), static_cast<off_t>(bytes)) != 0)
        return nullptr;
    // Our own writable mapping comes before the seals: once they are on,
    // no one (us included) can map the region writable or write to it
    // through any descriptor, so the receivers it is passed to can only
    // read what we write through this mapping. Its pages are made and
    // mapped here, at once, rather than faulted in one by one by the first
    // frame written: a region is reused for many frames.
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd.get(), 0);
    if (p == MAP_FAILED)
        return nullptr;
    std::unique_ptr<ShmRegion> r(new ShmRegion());
    r->data_ = static_cast<uint8_t*>(p);
    r->size_ = bytes;
    // A kernel without the write seal gets no shared region at all: the
    // caller's ordinary memory goes over the socket instead.
    if (::fcntl(fd.get(), F_ADD_SEALS, kSizeSeals | F_SEAL_FUTURE_WRITE | F_SEAL_SEAL) != 0)
        return nullptr;
    r->fd_ = std::move(fd);
    r->serial_ = ++next_serial;
    file_identity(r->fd_.get(), r->device_, r->inode_);
    return r;
}

std::unique_ptr<ShmRegion> ShmRegion::map_readonly(int raw_fd, size_t max_size)
{
    struct stat st;
    if (raw_fd < 0 || ::fstat(raw_fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 ||
        static_cast<uint64_t>(st.st_size) > max_size)
        return nullptr;
    // Without the seals the peer could shrink the file under our readers,
    // who would then fault on the missing pages.
    const int seals = ::fcntl(raw_fd, F_GET_SEALS);
    if (seals < 0 || (static_cast<unsigned>(seals) & kSizeSeals) != kSizeSeals)
        return nullptr;
    const size_t bytes = static_cast<size_t>(st.st_size);
    // Mapped once per connection and read for many frames: every page is
    // mapped now instead of faulting in as the first frames are read.
    void* p = ::mmap(nullptr, bytes, PROT_READ, MAP_SHARED | MAP_POPULATE, raw_fd, 0);
    if (p == MAP_FAILED)
        return nullptr;
    // The mapping keeps the memory; the descriptor is not kept.
    std::unique_ptr<ShmRegion> r(new ShmRegion());
    r->data_ = static_cast<uint8_t*>(p);
    r->size_ = bytes;
    r->device_ = static_cast<uint64_t>(st.st_dev);
    r->inode_ = static_cast<uint64_t>(st.st_ino);
    return r;
}

ShmRegion::~ShmRegion()
{
    if (data_)
        ::munmap(data_, size_);
}

}  // namespace qrv::net
