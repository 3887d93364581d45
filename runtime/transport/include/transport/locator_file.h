// A plain record of the sources this process serves, for test harnesses
// that drive the programs before any discovery is at hand: when the
// library's settings name a file (QRV_LOCATOR_FILE), each new source
// appends one line "NAME<TAB>LOCATOR" to it.
#ifndef QRV_TRANSPORT_LOCATOR_FILE_H
#define QRV_TRANSPORT_LOCATOR_FILE_H

#include <string_view>

#include "base/locator.h"

namespace qrv::transport {

/// Appends the source's line to the file at path; nothing when path is
/// empty or the file cannot be opened. Any thread: one write(2) with
/// O_APPEND, so lines of several threads and processes never interleave.
void note_locator(std::string_view path, std::string_view name, const Endpoint& endpoint);

}  // namespace qrv::transport

#endif
