// The panel's HTTPS: a server context from a certificate and its private
// key in PEM files, TLS 1.2 and newer only.
#ifndef QRV_PANEL_TLS_H
#define QRV_PANEL_TLS_H

#include <openssl/ssl.h>

#include <filesystem>
#include <string>

namespace qrv_panel {

// Loads the certificate (with any chain after it) and the key into ctx and
// sets what the panel accepts. False with the reason in why when a file
// cannot be read, is not PEM of that kind, or the key is not the
// certificate's.
bool setup_tls(SSL_CTX& ctx, const std::filesystem::path& cert, const std::filesystem::path& key, std::string& why);

}  // namespace qrv_panel

#endif
