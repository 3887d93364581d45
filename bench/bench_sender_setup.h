// The sender every benchmark measures against: unpaced, so that frames go
// out as fast as they are handed over, and reachable by its locator.
#ifndef QRV_BENCH_SENDER_SETUP_H
#define QRV_BENCH_SENDER_SETUP_H

#include <cstring>
#include <string>

#include "qrv/qrv_runtime.h"

namespace qrv_bench {

/// A sender named name whose video and audio sends return at once; null
/// when the runtime refuses it.
inline QRVlib_send_instance_t unpaced_sender(const char* name)
{
    QRVlib_send_create_t settings(name);
    settings.pace_video = settings.pace_audio = false;
    return QRVlib_send_create(&settings);
}

/// The sender's locator, for a receiver that connects without a finder.
inline std::string locator_of(QRVlib_send_instance_t sender)
{
    std::string locator(QRVlib_send_get_locator(sender, nullptr, 0), '\0');
    QRVlib_send_get_locator(sender, locator.data(), (uint32_t)locator.size());
    locator.resize(std::strlen(locator.c_str()));
    return locator;
}

}  // namespace qrv_bench

#endif
