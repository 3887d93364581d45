// Reading and checking a site key file.
#include "base/site_key.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "base/error.h"
#include "base/socket.h"

namespace qrv {

namespace {

// More than two lines of 44 characters, with room for CR LF and blanks.
constexpr size_t kMaxFileBytes = 256;


// Wipes a string that held key material.
void wipe(std::string& s)
{
    OPENSSL_cleanse(s.data(), s.size());
    s.clear();
}

std::string trimmed(const std::string& line)
{
    size_t end = line.size();
    while (end > 0 && (line[end - 1] == '\r' || line[end - 1] == ' ' || line[end - 1] == '\t'))
        --end;
    return line.substr(0, end);
}

// The 32 bytes of one line, or throws saying what is wrong with it.
KeyBytes decode_line(std::string line, size_t number, const std::string& origin)
{
    const std::string where = origin + ", line " + std::to_string(number) + ": ";
    if (line.size() > 64) {
        wipe(line);
        throw Error(where + "is too long for a key (make one with: openssl rand -base64 32)");
    }
    if (line.empty() || line.size() % 4 != 0) {
        wipe(line);
        throw Error(where + "is not base64 of 32 bytes");
    }
    std::string out(line.size() / 4 * 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(line.data()), int(line.size()));
    // EVP_DecodeBlock counts the padding as zero bytes: take it off.
    const size_t padding = line.ends_with("==") ? 2 : line.ends_with("=") ? 1 : 0;
    wipe(line);
    if (n < 0) {
        wipe(out);
        throw Error(where + "is not base64");
    }
    const size_t real = size_t(n) - padding;
    if (real != KeyBytes::kSize) {
        wipe(out);
        throw Error(where + "holds " + std::to_string(real) +
                    " bytes, a key is 32 (make one with: openssl rand -base64 32)");
    }
    KeyBytes key;
    std::copy_n(reinterpret_cast<const uint8_t*>(out.data()), KeyBytes::kSize, key.data());
    wipe(out);
    return key;
}

}  // namespace

KeyBytes::~KeyBytes()
{
    OPENSSL_cleanse(bytes_.data(), bytes_.size());
}

SiteKey SiteKey::parse(const std::string& text, const std::string& origin)
{
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = std::min(text.find('\n', at), text.size());
        lines.push_back(trimmed(text.substr(at, end - at)));
        at = end + 1;
    }
    while (!lines.empty() && lines.back().empty())
        lines.pop_back();
    SiteKey key;
    try {
        if (lines.empty())
            throw Error(origin + " holds no key");
        if (lines.size() > 2)
            throw Error(origin + " holds " + std::to_string(lines.size()) +
                        " lines; a key file holds one key, or two while the key changes");
        for (size_t i = 0; i < lines.size(); ++i)
            key.keys_.push_back(decode_line(std::move(lines[i]), i + 1, origin));
    } catch (...) {
        for (auto& l : lines)
            wipe(l);
        throw;
    }
    return key;
}

SiteKey SiteKey::read(const std::string& path)
{
    const std::string origin = "the key file '" + path + "'";
    // Not blocking: a FIFO put in the key's place must not hang the caller.
    net::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd)
        throw Error(origin + " cannot be opened: " + error_text(errno));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        throw Error(origin + " cannot be examined: " + error_text(errno));
    if (!S_ISREG(st.st_mode))
        throw Error(origin + " is not a regular file");
    if (st.st_mode & (S_IRWXG | S_IRWXO)) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
        throw Error(origin + " may be read or written by others (mode " + mode +
                    "); only its owner may: chmod 600 '" + path + "'");
    }
    std::string text(kMaxFileBytes + 1, '\0');
    size_t got = 0;
    for (;;) {
        const ssize_t n = ::read(fd.get(), text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int error = errno;
            wipe(text);
            throw Error(origin + " cannot be read: " + error_text(error));
        }
        got += size_t(n);
        if (n == 0 || got == text.size())
            break;
    }
    if (got > kMaxFileBytes) {
        wipe(text);
        throw Error(origin + " is too long for a key file");
    }
    text.resize(got);
    try {
        SiteKey key = parse(text, origin);
        key.path_ = path;
        wipe(text);
        return key;
    } catch (...) {
        wipe(text);
        throw;
    }
}

}  // namespace qrv
