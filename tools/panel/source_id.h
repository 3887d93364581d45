// A source's identifier in the panel's JSON and requests: the bytes of its
// name in hexadecimal. Names are as peers announced them and need not be
// UTF-8, which JSON text cannot carry (the panel shows such bytes as
// U+FFFD); the identifier carries every byte, so that the page names
// exactly the source it shows, and it stays the same for as long as the
// name does.
#ifndef QRV_PANEL_SOURCE_ID_H
#define QRV_PANEL_SOURCE_ID_H

#include <optional>
#include <string>

namespace qrv_panel {

std::string source_id(const std::string& name);
// The name an identifier stands for; none when it is not pairs of
// hexadecimal digits.
std::optional<std::string> source_name(const std::string& id);

}  // namespace qrv_panel

#endif
