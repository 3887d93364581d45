// The library's global state: whether it is started, and every object it
// owns. Shutting down releases what callers left alive.
#ifndef QRV_LIBRARY_H
#define QRV_LIBRARY_H

#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <vector>

#include "discovery/discovery.h"
#include "objects/context.h"
#include "objects/finder.h"
#include "objects/receiver.h"
#include "objects/registry.h"
#include "objects/router.h"
#include "objects/sender.h"
#include "qrv/qrv_runtime.h"
#include "transport/source_server.h"
#include "transport/video_encoder.h"

namespace qrv {

class Library {
public:
    static Library& instance();

    // Starts are counted; the shut-down matching the first start releases
    // every object still alive. A shut-down without a start does nothing.
    // The first start throws Error when the runtime cannot run here (no
    // IPv4 socket, no thread); one without discovery still succeeds (see
    // DiscoveryService::running).
    bool start();
    void stop();

    // Registers a new object while the library runs and returns its handle;
    // null once it is shut down. Registration and the final shut-down
    // exclude each other, so no object slips in after the release.
    template <class T>
    void* adopt(std::shared_ptr<T> object)
    {
        std::lock_guard lock(mutex_);
        if (starts_ == 0)
            return nullptr;
        return registry<T>().add(std::move(object));
    }

    // The live objects of one kind, by handle.
    template <class T>
    Registry<T>& registry()
    {
        if constexpr (std::is_same_v<T, Sender>)
            return senders_;
        else if constexpr (std::is_same_v<T, Finder>)
            return finders_;
        else if constexpr (std::is_same_v<T, Receiver>)
            return receivers_;
        else {
            static_assert(std::is_same_v<T, Router>, "the library keeps senders, finders, receivers and routers");
            return routers_;
        }
    }

    // What the objects of the running library share (null when stopped).
    std::shared_ptr<const Context> context() const;
    // The discovery service of the running library (null when stopped).
    std::shared_ptr<discovery::DiscoveryService> discovery() const;

    // How senders and routers created from now on compress video: the
    // settings given here, before or after the start, replace those of the
    // environment (QRV_VIDEO_*) for the rest of the process. The values are
    // taken as they are (the caller checks their ranges). Any thread.
    void set_video_codec(const QRVlib_video_codec_t& codec);
    // What a sender created now would use: the last given settings, else
    // those of the running library's environment, else (not started) the
    // environment's as it is now. Any thread.
    QRVlib_video_codec_t video_codec() const;
    // Whether senders and routers created from now on offer receivers on
    // other hosts a multicast group, in place of QRV_MULTICAST. Any thread.
    void set_multicast(bool offer);
    // The options of the server of a sender or router created now; throws
    // Error when the key files are bad (see link_keys).
    transport::ServerOptions server_options() const;
    // Reads and checks key files for the senders, receivers and routers
    // created from now on, in place of QRV_KEY_FILE and
    // QRV_OPERATOR_KEY_FILE (null or empty: none). Throws Error saying why
    // a file is refused, keeping what was in force. Any thread.
    void set_key_files(const char* site_key_file, const char* operator_key_file);
    // The keys for a link created now: null without a key; throws Error
    // with the reason when the files in force are bad. Any thread.
    std::shared_ptr<const transport::LinkKeys> link_keys() const;

private:
    Library() = default;
    ~Library();
    // Objects taken out of the registries, destroyed receivers and routers
    // before finders and senders, newest first within each kind.
    struct Leftovers {
        std::vector<std::shared_ptr<Receiver>> receivers;
        std::vector<std::shared_ptr<Router>> routers;
        std::vector<std::shared_ptr<Finder>> finders;
        std::vector<std::shared_ptr<Sender>> senders;
        std::shared_ptr<const Context> context;  // its discovery service stopped last
        void destroy();
    };
    Leftovers take_all();  // with mutex_ held
    // The first start's work, with mutex_ held: the context it made.
    std::shared_ptr<const Context> first_start();
    void release_all();

    Registry<Sender> senders_;
    Registry<Finder> finders_;
    Registry<Receiver> receivers_;
    Registry<Router> routers_;

    transport::VideoCodecSettings video_codec_locked() const;  // with mutex_ held

    mutable std::mutex mutex_;
    int starts_ = 0;
    std::shared_ptr<const Context> context_;
    std::optional<transport::VideoCodecSettings> given_codec_;
    std::optional<bool> given_multicast_;
    std::optional<LinkSecurity> given_security_;
    std::shared_ptr<const transport::LinkKeys> link_keys_locked() const;  // with mutex_ held
};

}  // namespace qrv

#endif
