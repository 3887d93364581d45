#include "tls.h"

#include <openssl/err.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qrv_panel {

namespace {

// OpenSSL's oldest queued reason, the queue emptied.
std::string openssl_reason()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (!code)
        return "unknown reason";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

// The file's own reason first: "No such file" says more than a PEM error.
bool readable(const std::filesystem::path& file, const char* what, std::string& why)
{
    std::FILE* f = std::fopen(file.c_str(), "rb");
    if (!f) {
        why = std::string("cannot read the ") + what + " " + file.string() + ": " + std::strerror(errno);
        return false;
    }
    std::fclose(f);
    return true;
}

}  // namespace

bool setup_tls(SSL_CTX& ctx, const std::filesystem::path& cert, const std::filesystem::path& key, std::string& why)
{
    ERR_clear_error();
    if (!readable(cert, "certificate", why) || !readable(key, "private key", why))
        return false;
    if (SSL_CTX_set_min_proto_version(&ctx, TLS1_2_VERSION) != 1) {
        why = "cannot require TLS 1.2: " + openssl_reason();
        return false;
    }
    SSL_CTX_set_options(&ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    // A key under a passphrase fails here instead of asking on the terminal.
    SSL_CTX_set_default_passwd_cb(&ctx, [](char*, int, int, void*) { return 0; });
    if (SSL_CTX_use_certificate_chain_file(&ctx, cert.c_str()) != 1) {
        why = "the certificate " + cert.string() + " is not a PEM certificate: " + openssl_reason();
        return false;
    }
    if (SSL_CTX_use_PrivateKey_file(&ctx, key.c_str(), SSL_FILETYPE_PEM) != 1) {
        // Not PEM, under a passphrase, or another certificate's key.
        why = "cannot use the private key " + key.string() + " with the certificate " + cert.string() + ": " +
              openssl_reason();
        return false;
    }
    if (SSL_CTX_check_private_key(&ctx) != 1) {
        why = "the private key " + key.string() + " does not belong to the certificate " + cert.string();
        ERR_clear_error();
        return false;
    }
    return true;
}

}  // namespace qrv_panel
