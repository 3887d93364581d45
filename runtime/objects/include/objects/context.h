// What the running library's objects share, made once per start: the
// settings read from the environment at that start, the network scope and
// video compression they give, the discovery service and the lookup of
// sources by name that receivers use. Objects take what they need of it
// when they are created.
#ifndef QRV_CONTEXT_H
#define QRV_CONTEXT_H

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/locator.h"
#include "base/scope.h"
#include "base/settings.h"
#include "discovery/discovery.h"
#include "objects/instance_trust.h"
#include "transport/link_keys.h"
#include "transport/multicast_settings.h"
#include "transport/send_queue.h"
#include "transport/video_encoder.h"

namespace qrv {

// Where a source of this name can be reached now, if anyone knows: how a
// receiver follows a source that came back on another address or port.
using SourceResolver = std::function<std::optional<Endpoint>(const std::string& source_name)>;

// The keys of the links between hosts, as read from their files: keys
// null and error empty without a key; error says why when a file is bad.
struct LinkSecurity {
    std::shared_ptr<const transport::LinkKeys> keys;
    std::string error;

    // Reads and checks the files (paths unset or empty: none); never
    // throws. An operator key alone stands in for the site key.
    static LinkSecurity from_files(const std::optional<std::string>& site_key_file,
                                   const std::optional<std::string>& operator_key_file);
};

struct Context {
    Settings settings;
    Scope scope;  // from settings.interfaces
    // From the settings' QRV_VIDEO_* values; the caller may replace it for
    // senders (Library::set_video_codec), not for receivers.
    transport::VideoCodecSettings video_codec;
    // What one receiver may hold of a source's frames (QRV_SHM_RECEIVER_MB).
    transport::QueueLimits queue;
    std::shared_ptr<discovery::DiscoveryService> discovery;  // null: none could start
    SourceResolver resolver;  // unset without discovery
    // Every instance claiming a name (unset without discovery), and how the
    // site key went with each, shared by the receivers of the process.
    SourceCandidates candidates;
    std::shared_ptr<InstanceTrust> trust = std::make_shared<InstanceTrust>();
    // How long a receiver waits for its source's greeting after the
    // connection is taken (settings.handshake_ms; 2 s unless set).
    std::chrono::milliseconds handshake_timeout{2000};
    // Media to many receivers through a group (QRV_MULTICAST*); whether
    // senders offer it the caller may change (Library::set_multicast).
    transport::MulticastSettings multicast;
    // The site and operator keys (QRV_KEY_FILE, QRV_OPERATOR_KEY_FILE), read
    // once at the start; the caller may replace them (Library::set_key_files).
    LinkSecurity security;
    // The group of QRV_LOCAL_GROUP, looked up once at the start; nothing
    // when unset or unknown.
    std::optional<gid_t> local_group;

    // The resolver asks the service without keeping it alive: once the
    // library stops, it finds nothing.
    static std::shared_ptr<const Context> make(Settings settings, Scope scope,
                                               std::shared_ptr<discovery::DiscoveryService> service);

    // Receivers that ask their sources for raw pixels only (QRV_VIDEO_CODEC=raw).
    bool receive_raw_only() const { return !video_codec.compress; }
    // Appends a new source's line to the QRV_LOCATOR_FILE, when one is set.
    // Any thread.
    void note_source(const std::string& name, const Endpoint& endpoint) const;
};

}  // namespace qrv

#endif
