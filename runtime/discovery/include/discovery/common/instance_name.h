// Service instance labels: "HOST (SOURCE)", and the renaming that resolves a
// conflict: "HOST (SOURCE (2))", "(3)", ... A label holds at most 63 bytes;
// the source name is shortened (at a UTF-8 character boundary) to fit.
#ifndef QRV_DISCOVERY_INSTANCE_NAME_H
#define QRV_DISCOVERY_INSTANCE_NAME_H

#include <string>
#include <string_view>

namespace qrv::discovery {

// The label for a source name and a sequence number (1: the name alone).
std::string instance_label(std::string_view host, std::string_view source, unsigned number);

// The short host name of this machine ("localhost" when none is set), with
// characters that do not belong in a host label replaced.
std::string short_host_name();

}  // namespace qrv::discovery

#endif
