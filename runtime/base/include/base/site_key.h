// A site's shared key as a file holds it: one or two lines, each the
// base64 of 32 random bytes (what "openssl rand -base64 32" writes). Two
// lines serve a change of key: both are accepted from peers, the first is
// the one offered. Only its owner may read the file (mode 0600 or
// stricter), as ssh asks of private keys. The bytes live in memory that is
// wiped when they are destroyed, and they are never logged.
#ifndef QRV_BASE_SITE_KEY_H
#define QRV_BASE_SITE_KEY_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace qrv {

// 32 secret bytes, wiped on destruction.
class KeyBytes {
public:
    static constexpr size_t kSize = 32;
    KeyBytes() = default;
    KeyBytes(const KeyBytes& o) = default;
    KeyBytes& operator=(const KeyBytes& o) = default;
    ~KeyBytes();
    uint8_t* data() { return bytes_.data(); }
    const uint8_t* data() const { return bytes_.data(); }
    static constexpr size_t size() { return kSize; }

private:
    std::array<uint8_t, kSize> bytes_{};
};

class SiteKey {
public:
    // Reads and checks the file; throws Error saying what is wrong with it
    // (missing, unreadable, not a regular file, open to group or others,
    // not one or two lines of base64 of 32 bytes). Never logs the bytes.
    static SiteKey read(const std::string& path);
    // The same from the text of such a file, for tests; origin names it in
    // the reasons.
    static SiteKey parse(const std::string& text, const std::string& origin);

    // The first is offered; all are accepted. Never empty.
    const std::vector<KeyBytes>& keys() const { return keys_; }
    const std::string& path() const { return path_; }

private:
    std::vector<KeyBytes> keys_;
    std::string path_;
};

}  // namespace qrv

#endif
