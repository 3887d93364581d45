// The table of operations handed to programs that load the library at run
// time, filled from the one list of operations in slot order.
#include "qrvlib_operations.h"

namespace {

const QRVlib_operation_table table = qrvlib_make_operation_table();

}  // namespace

extern "C" QRVLIB_API const QRVlib_operation_table* QRVlib_v3_load(void)
{
    return &table;
}
