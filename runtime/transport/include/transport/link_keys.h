// What a process needs to run TLS 1.3 with its site key on the links
// between hosts: for each key of the site key file, the PSK identity and
// the PSK, both derived from the key with HKDF-SHA256 under labels of their
// own (so the key itself never goes into TLS, and two sites' keys never
// meet by accident), and the two TLS contexts (connecting and accepting)
// that offer and look up those PSKs. No certificates: both ends prove they
// hold the key through the PSK; (EC)DHE on X25519 gives forward secrecy.
// Made once per set of key files and shared read-only by every link.
//
// The operator key gives the right to steer cameras. A peer that holds it
// proves it inside the TLS connection (which the site key's PSK set up) by
// an HMAC over keying material exported from that connection (RFC 5705 as
// TLS 1.3 defines it), under a key derived from the operator key: the
// proof is worth nothing on any other connection. A peer holding only the
// operator key offers its PSK instead, which a source with that operator
// key accepts as well.
#ifndef QRV_TRANSPORT_LINK_KEYS_H
#define QRV_TRANSPORT_LINK_KEYS_H

#include <array>
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
enum class PeerKey { none, site, operator_key };

class LinkKeys {
public:
    // site: the site key; operator_key: the operator's, for the right to
    // steer (its PSKs are accepted too; the site key's is offered). Throws
    // Error when OpenSSL cannot set up a context.
    static std::shared_ptr<const LinkKeys> make(const SiteKey& site, std::optional<SiteKey> operator_key = {});
    // Only the operator key: its PSK is offered and accepted.
    static std::shared_ptr<const LinkKeys> make_operator_only(SiteKey operator_key);
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
    bool has_operator_key() const { return !proof_keys_.empty(); }

    // The exporter label and length of the keying material the proof is
    // made over.
    static constexpr const char* kExporterLabel = "EXPORTER-qrv operator";
    static constexpr size_t kExportedBytes = 32;
    using Exported = std::array<uint8_t, kExportedBytes>;
    using Proof = std::array<uint8_t, 32>;
    // The proof of the first operator key over a connection's exported
    // material; nothing without an operator key. Any thread.
    std::optional<Proof> operator_proof(const Exported& exported) const;
    // Whether proof is that of one of the operator keys (compared in
    // constant time). Any thread.
    bool operator_proof_valid(const Exported& exported, const Proof& proof) const;
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

    // Adds the PSK entries of each key of file.
    void add_entries(const SiteKey& file, PeerKey proves);
    // Sets up both contexts; throws Error when OpenSSL cannot.
    void set_up_contexts();

    std::vector<Entry> entries_;  // the first is offered
    std::optional<SiteKey> operator_key_;
    std::vector<KeyBytes> proof_keys_;  // HMAC keys derived from operator_key_
    ssl_ctx_st* client_ = nullptr;
    ssl_ctx_st* server_ = nullptr;
};

}  // namespace qrv::transport

#endif
