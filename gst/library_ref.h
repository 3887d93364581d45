// The runtime's lifetime inside a GStreamer process: started when the first
// element or device provider needs it and shut down when the last one lets
// go, so that a pipeline that goes back to NULL leaves no runtime threads.
#ifndef QRV_GST_LIBRARY_REF_H
#define QRV_GST_LIBRARY_REF_H

#include <memory>
#include <string>

namespace qrv_gst {

/// One hold on the started runtime. Objects of the runtime (senders,
/// receivers, finders) keep a hold for as long as they live, so the runtime
/// is shut down only after all of them are destroyed.
class LibraryRef {
public:
    ~LibraryRef();
    LibraryRef(const LibraryRef&) = delete;
    LibraryRef& operator=(const LibraryRef&) = delete;

    /// A hold on the runtime, starting it when nobody holds it yet.
    /// Any thread. Returns null when the runtime cannot start, with the
    /// reason in *error.
    static std::shared_ptr<LibraryRef> acquire(std::string* error);

private:
    LibraryRef() = default;
};

/// Forwards the runtime's log to the GStreamer debug category "qrv" (set up
/// once by the plugin).
void install_log_forwarding();

}  // namespace qrv_gst

#endif
