// What a process needs to run TLS 1.3 with its site key on the links
// between hosts: for each key of the site key file, the PSK identity and
// the PSK, both derived from the key with HKDF-SHA256 under labels of their
// own (so the key itself never goes into TLS, and two sites' keys never
// meet by accident), and the two TLS contexts (connecting and accepting)
// that offer and look up those PSKs. No certificates: both ends prove they
// hold the key through the PSK; (EC)DHE on X25519 gives forward secrecy.
// Made once per set of key files and shared read-only by every link.
#ifndef QRV_TRANSPORT_LINK_KEYS_H
#define QRV_TRANSPORT_LINK_KEYS_H

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/site_key.h"

struct evp_md_st;
struct ssl_ctx_st;
struct ssl_session_st;
struct ssl_st;

namespace qrv::transport {

// Which key a peer proved on a connection.
enum class PeerKey { none, site };

class LinkKeys {
public:
    // site: the site key; operator_key: the operator's, kept for camera
    // rights (not used on links yet). Throws Error when OpenSSL cannot set
    // up a context.
    static std::shared_ptr<const LinkKeys> make(const SiteKey& site, std::optional<SiteKey> operator_key = {});
    ~LinkKeys();
    LinkKeys(const LinkKeys&) = delete;
    LinkKeys& operator=(const LinkKeys&) = delete;

    // New connection states of either side, owned by the caller (free with
    // SSL_free); null when OpenSSL cannot make one. Any thread.
    ssl_st* new_client() const;
    ssl_st* new_server() const;
    // The key a finished handshake's peer proved (none: none of ours).
    static PeerKey proved(const ssl_st* ssl);
    // The hex identity offered (of the first key), for tests.
    const std::string& offered_identity() const { return entries_.front().identity; }
    const std::optional<SiteKey>& operator_key() const { return operator_key_; }

private:
    struct Entry {
        std::string identity;  // hex of 16 derived bytes
        KeyBytes psk;          // derived, never the key itself
        PeerKey proves = PeerKey::site;
    };
    LinkKeys() = default;
    static int use_session(ssl_st* ssl, const evp_md_st* md, const unsigned char** id, size_t* idlen,
                           ssl_session_st** session);
    static int find_session(ssl_st* ssl, const unsigned char* identity, size_t length,
                            ssl_session_st** session);
    ssl_session_st* session_of(ssl_st* ssl, const Entry& entry) const;

    std::vector<Entry> entries_;  // the first is offered
    std::optional<SiteKey> operator_key_;
    ssl_ctx_st* client_ = nullptr;
    ssl_ctx_st* server_ = nullptr;
};

}  // namespace qrv::transport

#endif
