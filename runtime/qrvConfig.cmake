# find_package(qrv): the imported targets qrv::qrv (libqrv.so.3 with the
# headers qrvlib.h and qrv/qrv_runtime.h) and qrv::headers (qrvlib.h alone,
# for programs that load the library themselves).
include(${CMAKE_CURRENT_LIST_DIR}/qrvTargets.cmake)
