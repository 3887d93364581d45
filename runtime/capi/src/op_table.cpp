// The table of operations handed to programs that load the library at run
// time. Its slot order is that of QRVlib_operation_table.
#include "qrvlib.h"

namespace {

QRVlib_operation_table make_table()
{
    QRVlib_operation_table t{};
    t.initialize = QRVlib_initialize;
    t.destroy = QRVlib_destroy;
    t.find_create_v2 = QRVlib_find_create_v2;
    t.find_destroy = QRVlib_find_destroy;
    t.find_wait_for_sources = QRVlib_find_wait_for_sources;
    t.find_get_current_sources = QRVlib_find_get_current_sources;
    t.recv_create_v3 = QRVlib_recv_create_v3;
    t.recv_destroy = QRVlib_recv_destroy;
    t.send_create = QRVlib_send_create;
    t.send_destroy = QRVlib_send_destroy;
    t.send_send_video_async_v2 = QRVlib_send_send_video_async_v2;
    t.send_send_audio_v2 = QRVlib_send_send_audio_v2;
    t.util_send_send_audio_interleaved_16s = QRVlib_util_send_send_audio_interleaved_16s;
    t.recv_capture_v2 = QRVlib_recv_capture_v2;
    t.recv_ptz_is_supported = QRVlib_recv_ptz_is_supported;
    t.recv_ptz_recall_preset = QRVlib_recv_ptz_recall_preset;
    t.routing_create = QRVlib_routing_create;
    t.routing_destroy = QRVlib_routing_destroy;
    t.routing_change = QRVlib_routing_change;
    t.routing_clear = QRVlib_routing_clear;
    t.send_send_video_v2 = QRVlib_send_send_video_v2;
    return t;
}

const QRVlib_operation_table table = make_table();

}  // namespace

extern "C" QRVLIB_API const QRVlib_operation_table* QRVlib_v3_load(void)
{
    return &table;
}
