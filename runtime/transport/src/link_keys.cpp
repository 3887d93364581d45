// Deriving the PSKs of the site key and the TLS contexts that use them.
#include "transport/link_keys.h"

#include <openssl/evp.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/ssl.h>

#include "base/error.h"

namespace qrv::transport {

namespace {

constexpr const char* kIdentityLabel = "qrv site key identity";
constexpr const char* kPskLabel = "qrv site key tls 1.3 psk";
constexpr const char* kOperatorIdentityLabel = "qrv operator key identity";
constexpr const char* kOperatorPskLabel = "qrv operator key tls 1.3 psk";
// The HMAC key of the proof on a connection (link_keys.h).
constexpr const char* kProofLabel = "qrv operator key proof";
constexpr size_t kIdentityBytes = 16;
// TLS_AES_128_GCM_SHA256: the PSK's hash must be the suite's.
constexpr unsigned char kSuite[2] = {0x13, 0x01};

// HKDF-SHA256 of key under label, out.size() bytes.
void derive(const KeyBytes& key, const char* label, uint8_t* out, size_t size)
{
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr),
                                                                     EVP_PKEY_CTX_free);
    size_t length = size;
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) <= 0 || EVP_PKEY_CTX_set_hkdf_md(ctx.get(), EVP_sha256()) <= 0 ||
        EVP_PKEY_CTX_set1_hkdf_key(ctx.get(), key.data(), int(key.size())) <= 0 ||
        EVP_PKEY_CTX_add1_hkdf_info(ctx.get(), reinterpret_cast<const unsigned char*>(label),
                                    int(std::char_traits<char>::length(label))) <= 0 ||
        EVP_PKEY_derive(ctx.get(), out, &length) <= 0 || length != size)
        throw Error("could not derive the link keys from the site key");
}

std::string hex(const uint8_t* p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

// Which LinkKeys an SSL_CTX belongs to, and which key an SSL's peer proved.
int keys_index()
{
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

int proved_index()
{
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

SSL_CTX* new_context(bool server)
{
    SSL_CTX* ctx = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
    if (!ctx)
        return nullptr;
    // TLS 1.3 only, one AES-GCM suite, (EC)DHE always (psk_dhe_ke), no
    // tickets: every connection proves the site key afresh.
    const bool ok = SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION) == 1 &&
                    SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) == 1 &&
                    SSL_CTX_set_ciphersuites(ctx, "TLS_AES_128_GCM_SHA256") == 1 &&
                    SSL_CTX_set1_groups_list(ctx, "X25519:P-256") == 1;
    if (!ok) {
        SSL_CTX_free(ctx);
        return nullptr;
    }
    SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET);
    SSL_CTX_clear_options(ctx, SSL_OP_ALLOW_NO_DHE_KEX);
    SSL_CTX_set_num_tickets(ctx, 0);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Many records per read from the socket rather than two reads (header,
    // then body) for each.
    SSL_CTX_set_read_ahead(ctx, 1);
    SSL_CTX_set_default_read_buffer_len(ctx, 256 * 1024);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    return ctx;
}

}  // namespace

void LinkKeys::add_entries(const SiteKey& file, PeerKey proves)
{
    const char* identity_label = proves == PeerKey::site ? kIdentityLabel : kOperatorIdentityLabel;
    const char* psk_label = proves == PeerKey::site ? kPskLabel : kOperatorPskLabel;
    for (const auto& key : file.keys()) {
        Entry e;
        uint8_t id[kIdentityBytes];
        derive(key, identity_label, id, sizeof id);
        e.identity = hex(id, sizeof id);
        derive(key, psk_label, e.psk.data(), e.psk.size());
        e.proves = proves;
        entries_.push_back(std::move(e));
    }
}

void LinkKeys::set_up_contexts()
{
    if (entries_.empty())
        throw Error("the site key file holds no key");
    if (operator_key_) {
        for (const auto& key : operator_key_->keys()) {
            KeyBytes k;
            derive(key, kProofLabel, k.data(), k.size());
            proof_keys_.push_back(k);
        }
    }
    client_ = new_context(false);
    server_ = new_context(true);
    if (!client_ || !server_)
        throw Error("could not set up TLS 1.3 with the site key");
    SSL_CTX_set_ex_data(client_, keys_index(), this);
    SSL_CTX_set_ex_data(server_, keys_index(), this);
    SSL_CTX_set_psk_use_session_callback(client_, &LinkKeys::use_session);
    SSL_CTX_set_psk_find_session_callback(server_, &LinkKeys::find_session);
}

std::shared_ptr<const LinkKeys> LinkKeys::make(const SiteKey& site, std::optional<SiteKey> operator_key)
{
    std::shared_ptr<LinkKeys> keys(new LinkKeys());
    keys->add_entries(site, PeerKey::site);
    if (operator_key)
        keys->add_entries(*operator_key, PeerKey::operator_key);
    keys->operator_key_ = std::move(operator_key);
    keys->set_up_contexts();
    return keys;
}

std::shared_ptr<const LinkKeys> LinkKeys::make_operator_only(SiteKey operator_key)
{
    std::shared_ptr<LinkKeys> keys(new LinkKeys());
    keys->add_entries(operator_key, PeerKey::operator_key);
    keys->operator_key_ = std::move(operator_key);
    keys->set_up_contexts();
    return keys;
}

namespace {

std::optional<LinkKeys::Proof> hmac(const KeyBytes& key, const LinkKeys::Exported& exported)
{
    LinkKeys::Proof out{};
    size_t length = 0;
    char digest[] = "SHA256";
    const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                                 OSSL_PARAM_construct_end()};
    std::unique_ptr<EVP_MAC, decltype(&EVP_MAC_free)> mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr), EVP_MAC_free);
    std::unique_ptr<EVP_MAC_CTX, decltype(&EVP_MAC_CTX_free)> ctx(mac ? EVP_MAC_CTX_new(mac.get()) : nullptr,
                                                                 EVP_MAC_CTX_free);
    if (!ctx || EVP_MAC_init(ctx.get(), key.data(), key.size(), params) != 1 ||
        EVP_MAC_update(ctx.get(), exported.data(), exported.size()) != 1 ||
        EVP_MAC_final(ctx.get(), out.data(), &length, out.size()) != 1 || length != out.size())
        return std::nullopt;
    return out;
}

}  // namespace

std::optional<LinkKeys::Proof> LinkKeys::operator_proof(const Exported& exported) const
{
    if (proof_keys_.empty())
        return std::nullopt;
    return hmac(proof_keys_.front(), exported);
}

bool LinkKeys::operator_proof_valid(const Exported& exported, const Proof& proof) const
{
    for (const auto& key : proof_keys_) {
        const auto expected = hmac(key, exported);
        if (expected && CRYPTO_memcmp(expected->data(), proof.data(), proof.size()) == 0)
            return true;
    }
    return false;
}

LinkKeys::~LinkKeys()
{
    SSL_CTX_free(client_);
    SSL_CTX_free(server_);
}

SSL* LinkKeys::new_client() const
{
    return SSL_new(client_);
}

SSL* LinkKeys::new_server() const
{
    return SSL_new(server_);
}

PeerKey LinkKeys::proved(const SSL* ssl)
{
    // Set by the lookup of the peer's identity; the handshake finishing
    // with the session resumed from that PSK proves the peer holds it.
    const void* p = SSL_get_ex_data(ssl, proved_index());
    if (!p || SSL_session_reused(const_cast<SSL*>(ssl)) != 1)
        return PeerKey::none;
    return static_cast<const Entry*>(p)->proves;
}

SSL_SESSION* LinkKeys::session_of(SSL* ssl, const Entry& entry) const
{
    const SSL_CIPHER* cipher = SSL_CIPHER_find(ssl, kSuite);
    SSL_SESSION* s = cipher ? SSL_SESSION_new() : nullptr;
    if (!s)
        return nullptr;
    if (SSL_SESSION_set1_master_key(s, entry.psk.data(), entry.psk.size()) != 1 ||
        SSL_SESSION_set_cipher(s, cipher) != 1 || SSL_SESSION_set_protocol_version(s, TLS1_3_VERSION) != 1) {
        SSL_SESSION_free(s);
        return nullptr;
    }
    return s;
}

int LinkKeys::use_session(SSL* ssl, const EVP_MD* md, const unsigned char** id, size_t* idlen,
                          SSL_SESSION** session)
{
    const auto* keys = static_cast<const LinkKeys*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), keys_index()));
    *session = nullptr;
    if (!keys || (md && md != EVP_sha256()))
        return 0;
    const Entry& offered = keys->entries_.front();
    *session = keys->session_of(ssl, offered);
    if (!*session)
        return 0;
    *id = reinterpret_cast<const unsigned char*>(offered.identity.data());
    *idlen = offered.identity.size();
    SSL_set_ex_data(ssl, proved_index(), const_cast<Entry*>(&offered));
    return 1;
}

int LinkKeys::find_session(SSL* ssl, const unsigned char* identity, size_t length, SSL_SESSION** session)
{
    const auto* keys = static_cast<const LinkKeys*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), keys_index()));
    *session = nullptr;
    if (!keys)
        return 0;
    const std::string_view asked(reinterpret_cast<const char*>(identity), length);
    for (const auto& e : keys->entries_) {
        if (asked != e.identity)
            continue;
        *session = keys->session_of(ssl, e);
        if (!*session)
            return 0;
        SSL_set_ex_data(ssl, proved_index(), const_cast<Entry*>(&e));
        return 1;
    }
    // Not ours: no PSK, and without a certificate the handshake fails.
    return 1;
}

}  // namespace qrv::transport
