// A plain record of the sources this process serves, for test harnesses
// that drive the programs before any discovery is at hand: when the
// environment variable QRV_LOCATOR_FILE names a file, each new source
// appends one line "NAME<TAB>LOCATOR" to it.
#ifndef QRV_TRANSPORT_LOCATOR_FILE_H
#define QRV_TRANSPORT_LOCATOR_FILE_H

#include <string_view>

#include "base/locator.h"

namespace qrv::transport {

void note_locator(std::string_view name, const Endpoint& endpoint);

}  // namespace qrv::transport

#endif
