// late_binder: loads libqrv.so.3 at run time, reaches it only through its
// table of operations, and reports the rate of paced 1920x1080 BGRA sends
// after every batch of 200 frames until Ctrl-C.
#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qrvlib.h"
#include "run_frame.h"

// The library's table of operations, with the library it came from left
// open in `library`; null (and nothing left open) when either is missing.
static const QRVlib_operation_table* load_table(void*& library)
{
    // Set and empty counts as set; the file name is appended without a
    // separator.
    const char* runtime_dir = getenv("QRV_RUNTIME_DIR_V3");
    const std::string path = runtime_dir ? std::string(runtime_dir) + "libqrv.so.3" : std::string("libqrv.so.3");

    library = dlopen(path.c_str(), RTLD_LAZY);
    typedef const QRVlib_operation_table* (*load_entry_t)(void);
    load_entry_t load_entry = library ? (load_entry_t)dlsym(library, "QRVlib_v3_load") : nullptr;
    // A load entry that yields no table is as good as none.
    const QRVlib_operation_table* qrv = load_entry ? load_entry() : nullptr;
    if (!qrv && library) {
        dlclose(library);
        library = nullptr;
    }
    return qrv;
}

int main(int, char**)
{
    void* library = nullptr;
    const QRVlib_operation_table* qrv = load_table(library);
    if (!qrv) {
        printf("Please re-install the Quorix QRV Runtimes from  to use this application.");
        return 0;
    }

    if (!qrv->initialize()) {
        printf("Cannot run QRV.");
        return 0;
    }
    signal(SIGINT, sigint_handler);

    QRVlib_send_create_t send_settings;
    send_settings.name = "My Video";
    QRVlib_send_instance_t sender = qrv->send_create(&send_settings);
    if (!sender)
        return 0;

    const size_t frame_bytes = 1920 * 1080 * 4;
    QRVlib_video_frame_v2_t frame;
    frame.width = 1920;
    frame.height = 1080;
    frame.fourcc = QRVlib_FourCC_type_BGRA;
    frame.line_stride = 1920 * 4;
    frame.data = (uint8_t*)malloc(frame_bytes);

    while (frame.data && !exit_loop.load()) {
        const auto start = std::chrono::system_clock::now();
        int sent = 0;
        for (int idx = 0; !exit_loop.load() && idx <= 199; idx++) {
            memset(frame.data, (idx & 1) ? 255 : 0, frame_bytes);
            qrv->send_send_video_v2(sender, &frame);
            sent++;
        }
        const auto end = std::chrono::system_clock::now();
        const float seconds =
            (float)std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count() / 1000000000.0f;
        if (sent == 200) {
            printf("200 frames sent, average fps=%1.2f\n", (double)(200.0f / seconds));
        } else if (sent > 0) {
            // A batch cut short by Ctrl-C reports what was really sent.
            printf("%d frames sent, average fps=%1.2f\n", sent, (double)((float)sent / seconds));
        }
    }

    free(frame.data);
    qrv->send_destroy(sender);
    qrv->destroy();
    dlclose(library);
    return 0;
}
