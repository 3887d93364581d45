#include "sender_core.h"

namespace qrv_gst {

std::shared_ptr<SenderCore> SenderCore::create(const std::string& source_name, const char* groups,
                                               std::string* error)
{
    auto library = LibraryRef::acquire(error);
    if (!library)
        return nullptr;
    // Unpaced: the pipeline's clock paces the buffers (the sinks sync).
    QRVlib_send_create_t settings;
    settings.name = source_name.c_str();
    settings.option_text = groups;
    settings.pace_video = false;
    settings.pace_audio = false;
    QRVlib_send_instance_t sender = QRVlib_send_create(&settings);
    if (!sender) {
        *error = QRVlib_get_last_error();
        return nullptr;
    }
    return std::shared_ptr<SenderCore>(new SenderCore(std::move(library), sender));
}

SenderCore::~SenderCore()
{
    QRVlib_send_destroy(sender_);
}

bool SenderCore::wait_for_receiver(const std::atomic<bool>& cancel)
{
    while (!had_receiver_.load()) {
        if (cancel.load())
            return false;
        if (QRVlib_send_get_no_connections(sender_, 50) > 0)
            had_receiver_.store(true);
    }
    return true;
}

void SenderCore::poll_tally(GstElement* poster)
{
    QRVlib_tally_t tally;
    if (!QRVlib_send_get_tally(sender_, &tally, 0))
        return;
    GstStructure* s = gst_structure_new("qrv-tally", "on-program", G_TYPE_BOOLEAN, (gboolean)tally.on_program,
                                        "on-preview", G_TYPE_BOOLEAN, (gboolean)tally.on_preview, nullptr);
    gst_element_post_message(poster, gst_message_new_element(GST_OBJECT(poster), s));
}

}  // namespace qrv_gst
