// A receiver's link with the site key: TLS 1.3 on each new TCP connection,
// run on the link's thread before the hello, and what happens when the
// source does not prove the key.
#include "transport/client_link.h"

#include <exception>

#include "base/error.h"
#include "base/log.h"
#include "transport/tls_stream.h"

namespace qrv::transport {

std::vector<uint8_t> ClientLink::operator_proof(const TlsSession& session) const
{
    const auto exported = session.exported();
    const auto proof = exported ? options_.keys->operator_proof(*exported) : std::nullopt;
    if (!proof)
        return {};
    wire::OperatorProofFields f;
    f.mac = *proof;
    return wire::encode_operator_proof(f);
}

std::string ClientLink::refusal() const
{
    std::lock_guard lock(group_mutex_);
    return refusal_;
}

void ClientLink::report_key(bool proved)
{
    if (!options_.key_outcome)
        return;
    std::optional<Endpoint> where;
    {
        std::lock_guard lock(mutex_);
        where = target_;
    }
    if (where)
        options_.key_outcome(*where, proved);
}

std::unique_ptr<TlsStream> ClientLink::secure(net::Fd tcp, const std::string& peer)
{
    TlsSession::Failure failure;
    try {
        auto session = std::make_unique<TlsSession>(std::move(tcp), options_.keys, TlsSession::Role::connecting);
        // Stopping, or the source moving, shuts this socket down, which
        // ends the handshake at once.
        {
            std::lock_guard lock(mutex_);
            if (stopping_ || moved_)
                return nullptr;
            fd_ = session->tcp_fd();
        }
        failure = session->handshake(std::chrono::steady_clock::now() + options_.handshake_timeout);
        bool left = false;
        {
            std::lock_guard lock(mutex_);
            fd_ = -1;
            left = stopping_ || moved_;
        }
        if (left)
            return nullptr;
        if (failure.reason.empty())
            return std::make_unique<TlsStream>(std::move(session));
    } catch (const std::exception& e) {
        // Out of descriptors or threads: this attempt fails as a refusal
        // would, and the link retries after its pause.
        failure = {e.what(), ""};
    }
    {
        std::lock_guard lock(group_mutex_);
        refusal_ = failure.reason;
    }
    report_key(false);
    // The first of a run at warn, and the receiver hears of it once.
    const bool first = !key_failing_;
    key_failing_ = true;
    const std::string detail = failure.detail.empty() ? "" : " (" + failure.detail + ")";
    if (!first) {
        QRV_LOG_AT(debug, receiver, "receiver '%s': %s: %s%s; retrying", log_name(), peer.c_str(),
                   failure.reason.c_str(), detail.c_str());
        return nullptr;
    }
    QRV_LOG_AT(warn, receiver, "receiver '%s': %s: %s%s; not connected, retrying", log_name(), peer.c_str(),
               failure.reason.c_str(), detail.c_str());
    events_.on_link_failed(*this);
    return nullptr;
}

}  // namespace qrv::transport
