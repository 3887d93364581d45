#include "wire/datagram_seal.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstring>

#include "wire/datagram.h"

namespace qrv::wire {

namespace {

constexpr size_t kKindAt = 5;
constexpr size_t kKeyIdAt = 42;
constexpr int kNonceBytes = 12;
constexpr uint64_t kMaxSequence = (1ull << 41) - 1;
constexpr uint32_t kMaxIndex = (1u << 21) - 1;

// The nonce's last eight bytes: stream, sequence and index side by side
// (see the header for why they never repeat under one key).
std::array<uint8_t, kNonceBytes> nonce_for(const DatagramKey& key, const DatagramHeader& h)
{
    std::array<uint8_t, kNonceBytes> n{};
    std::memcpy(n.data(), key.salt.data(), key.salt.size());
    const uint64_t v = uint64_t(h.stream & 3) << 62 | (h.sequence & kMaxSequence) << 21 | (h.index & kMaxIndex);
    for (int i = 0; i < 8; ++i)
        n[4 + i] = static_cast<uint8_t>(v >> (56 - 8 * i));
    return n;
}

bool in_nonce_range(const DatagramHeader& h)
{
    return h.stream <= 3 && h.sequence <= kMaxSequence && h.index <= kMaxIndex;
}

struct CtxFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using Ctx = std::unique_ptr<EVP_CIPHER_CTX, CtxFree>;

}  // namespace

std::optional<DatagramKey> make_datagram_key(uint16_t id)
{
    DatagramKey k;
    k.id = id;
    if (RAND_bytes(k.secret.data(), int(k.secret.size())) != 1 || RAND_bytes(k.salt.data(), int(k.salt.size())) != 1)
        return std::nullopt;
    return k;
}

struct DatagramSealer::Cipher {
    Ctx ctx{EVP_CIPHER_CTX_new()};
    bool ready = false;
};

DatagramSealer::DatagramSealer(const DatagramKey& key) : key_(key), cipher_(std::make_unique<Cipher>())
{
    // The key schedule once; each datagram sets only its nonce.
    cipher_->ready = cipher_->ctx &&
                     EVP_EncryptInit_ex(cipher_->ctx.get(), EVP_aes_256_gcm(), nullptr, key_.secret.data(), nullptr) == 1;
}

DatagramSealer::~DatagramSealer()
{
    OPENSSL_cleanse(key_.secret.data(), key_.secret.size());
}

std::optional<std::vector<uint8_t>> DatagramSealer::seal(std::span<const uint8_t> plain)
{
    std::vector<uint8_t> out(plain.size() + kDatagramTagBytes);
    if (!seal_into(plain, out))
        return std::nullopt;
    return out;
}

bool DatagramSealer::seal_into(std::span<const uint8_t> plain, std::span<uint8_t> out)
{
    const DecodedDatagram d = decode_datagram(plain);
    if (!cipher_->ready || d.fault != DatagramFault::none || !in_nonce_range(d.header) ||
        out.size() != plain.size() + kDatagramTagBytes)
        return false;
    std::memcpy(out.data(), plain.data(), kDatagramHeaderBytes);
    out[kKindAt] = kDatagramSealed;
    out[kKeyIdAt] = static_cast<uint8_t>(key_.id);
    out[kKeyIdAt + 1] = static_cast<uint8_t>(key_.id >> 8);
    const auto nonce = nonce_for(key_, d.header);
    EVP_CIPHER_CTX* c = cipher_->ctx.get();
    int n = 0, tail = 0;
    const int size = int(d.payload.size());
    uint8_t* body = out.data() + kDatagramHeaderBytes;
    return EVP_EncryptInit_ex(c, nullptr, nullptr, nullptr, nonce.data()) == 1 &&
           EVP_EncryptUpdate(c, nullptr, &n, out.data(), int(kDatagramHeaderBytes)) == 1 &&
           EVP_EncryptUpdate(c, body, &n, d.payload.data(), size) == 1 && EVP_EncryptFinal_ex(c, body + n, &tail) == 1 &&
           n + tail == size && EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_GET_TAG, int(kDatagramTagBytes), body + size) == 1;
}

std::optional<CutMessage> DatagramSealer::seal(const CutMessage& plain)
{
    CutMessage m;
    m.count_ = plain.count_;
    m.sequence_ = plain.sequence_;
    m.stride_ = plain.stride_ + kDatagramTagBytes;
    m.bytes_.resize(plain.bytes_.size() + size_t(plain.count_) * kDatagramTagBytes);
    size_t at = 0;
    for (uint32_t i = 0; i < plain.count_; ++i) {
        const auto d = plain.datagram(i);
        const size_t sealed = d.size() + kDatagramTagBytes;
        if (at + sealed > m.bytes_.size() || !seal_into(d, std::span<uint8_t>(m.bytes_.data() + at, sealed)))
            return std::nullopt;
        at += sealed;
    }
    m.bytes_.resize(at);
    return m;
}

struct DatagramOpener::Cipher {
    Ctx ctx{EVP_CIPHER_CTX_new()};
    std::optional<uint16_t> keyed;  // whose key schedule the context holds
};

DatagramOpener::DatagramOpener() : cipher_(std::make_unique<Cipher>()) {}

DatagramOpener::~DatagramOpener()
{
    for (auto* k : {&current_, &previous_})
        if (*k)
            OPENSSL_cleanse((*k)->secret.data(), (*k)->secret.size());
}

void DatagramOpener::add_key(const DatagramKey& key)
{
    if (current_ && current_->id != key.id)
        previous_ = current_;
    if (previous_ && previous_->id == key.id)
        previous_.reset();
    current_ = key;
    cipher_->keyed.reset();
}

std::optional<std::vector<uint8_t>> DatagramOpener::open(std::span<const uint8_t> sealed)
{
    std::vector<uint8_t> out;
    if (!open(sealed, out))
        return std::nullopt;
    return out;
}

bool DatagramOpener::open(std::span<const uint8_t> sealed, std::vector<uint8_t>& out)
{
    out.clear();
    if (sealed.size() < kDatagramHeaderBytes + kDatagramTagBytes || sealed[kKindAt] != kDatagramSealed ||
        !cipher_->ctx)
        return false;
    const uint16_t id = uint16_t(sealed[kKeyIdAt] | sealed[kKeyIdAt + 1] << 8);
    const DatagramKey* key = current_ && current_->id == id     ? &*current_
                             : previous_ && previous_->id == id ? &*previous_
                                                                : nullptr;
    if (!key)
        return false;
    // The plain header, to check its lengths and to read the nonce's
    // numbers; the sealed one is what was authenticated.
    out.resize(sealed.size() - kDatagramTagBytes);
    std::memcpy(out.data(), sealed.data(), kDatagramHeaderBytes);
    out[kKindAt] = kDatagramMedia;
    out[kKeyIdAt] = out[kKeyIdAt + 1] = 0;
    const DecodedDatagram d = decode_datagram(std::span<const uint8_t>(out.data(), out.size()));
    if (d.fault != DatagramFault::none || !in_nonce_range(d.header) || !decrypt(*key, d.header, sealed, out)) {
        // Plain bytes that failed authentication are not handed out.
        OPENSSL_cleanse(out.data(), out.size());
        out.clear();
        return false;
    }
    return true;
}

bool DatagramOpener::decrypt(const DatagramKey& key, const DatagramHeader& h, std::span<const uint8_t> sealed,
                             std::vector<uint8_t>& out)
{
    EVP_CIPHER_CTX* c = cipher_->ctx.get();
    if (cipher_->keyed != key.id && EVP_DecryptInit_ex(c, EVP_aes_256_gcm(), nullptr, key.secret.data(), nullptr) != 1)
        return false;
    cipher_->keyed = key.id;
    const auto nonce = nonce_for(key, h);
    const size_t size = out.size() - kDatagramHeaderBytes;
    const uint8_t* body = sealed.data() + kDatagramHeaderBytes;
    std::array<uint8_t, kDatagramTagBytes> tag;
    std::memcpy(tag.data(), body + size, tag.size());
    int n = 0, tail = 0;
    return EVP_DecryptInit_ex(c, nullptr, nullptr, nullptr, nonce.data()) == 1 &&
           EVP_DecryptUpdate(c, nullptr, &n, sealed.data(), int(kDatagramHeaderBytes)) == 1 &&
           EVP_DecryptUpdate(c, out.data() + kDatagramHeaderBytes, &n, body, int(size)) == 1 &&
           EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_SET_TAG, int(tag.size()), tag.data()) == 1 &&
           EVP_DecryptFinal_ex(c, out.data() + kDatagramHeaderBytes + n, &tail) == 1;
}

}  // namespace qrv::wire
