// The operations that QRVlib_v3_load hands out, listed once in slot order,
// and the table built from them. Every library that exports the interface
// (the runtime and the recording stand-in of the tests) fills its table from
// this one list, so that the two cannot drift apart.
#ifndef QRVLIB_OPERATIONS_H
#define QRVLIB_OPERATIONS_H

#include "qrvlib.h"

// X(slot, name): the table's member `name` at slot `slot` is the exported
// operation QRVlib_<name>. Slots 20 to 49 and 51 to 63 stay null.
#define QRVLIB_OPERATIONS(X)                   \
    X(0, initialize)                           \
    X(1, destroy)                              \
    X(2, find_create_v2)                       \
    X(3, find_destroy)                         \
    X(4, find_wait_for_sources)                \
    X(5, find_get_current_sources)             \
    X(6, recv_create_v3)                       \
    X(7, recv_destroy)                         \
    X(8, send_create)                          \
    X(9, send_destroy)                         \
    X(10, send_send_video_async_v2)            \
    X(11, send_send_audio_v2)                  \
    X(12, util_send_send_audio_interleaved_16s) \
    X(13, recv_capture_v2)                     \
    X(14, recv_ptz_is_supported)               \
    X(15, recv_ptz_recall_preset)              \
    X(16, routing_create)                      \
    X(17, routing_destroy)                     \
    X(18, routing_change)                      \
    X(19, routing_clear)                       \
    X(50, send_send_video_v2)

// The list names each member at the slot the layout gives it.
#define QRVLIB_OPERATION_AT_SLOT(slot, name) \
    static_assert(offsetof(QRVlib_operation_table, name) == 8 * (slot), "slot of " #name);
QRVLIB_OPERATIONS(QRVLIB_OPERATION_AT_SLOT)
#undef QRVLIB_OPERATION_AT_SLOT

/// The table of every listed operation of the library that includes this
/// header, its other slots null. Call it once and keep the result.
inline QRVlib_operation_table qrvlib_make_operation_table()
{
    QRVlib_operation_table table{};
#define QRVLIB_FILL_OPERATION(slot, name) table.name = QRVlib_##name;
    QRVLIB_OPERATIONS(QRVLIB_FILL_OPERATION)
#undef QRVLIB_FILL_OPERATION
    return table;
}

#endif  // QRVLIB_OPERATIONS_H
