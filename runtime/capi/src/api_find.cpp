// The exported operations of finders: the sources discovery has found.
#include <cstdint>
#include <string>

#include "api_support.h"
#include "base/text.h"

using namespace qrv;
using namespace qrv::capi;

extern "C" {

QRVLIB_API QRVlib_find_instance_t QRVlib_find_create_v2(const QRVlib_find_create_t* settings)
{
    return create<QRVlib_find_instance_t>(log::Category::finder, "could not create a finder", [&] {
        const auto context = require_context();
        const QRVlib_find_create_t defaults;
        const QRVlib_find_create_t& s = settings ? *settings : defaults;
        lib().link_keys();  // a bad key file is refused here as for senders and receivers
        const std::string groups = text_argument(s.option_text_a, kMaxOptionBytes, "the finder's group list");
        const std::string hosts = text_argument(s.option_text_b, kMaxOptionBytes, "the finder's list of extra hosts");
        auto finder = std::make_shared<Finder>(FinderSettings{s.option_flag, groups, hosts});
        if (context->discovery)
            finder->follow(*context->discovery);
        void* handle = lib().adopt(std::move(finder));
        if (!handle)
            throw Error("the library is not initialized");
        QRV_LOG_AT(debug, finder, "created for groups '%s'%s", groups.empty() ? "public" : groups.c_str(),
                   s.option_flag ? ", with this process's own sources" : "");
        return reinterpret_cast<QRVlib_find_instance_t>(handle);
    });
}

QRVLIB_API void QRVlib_find_destroy(QRVlib_find_instance_t finder)
{
    guarded_void([&] {
        if (auto f = lib().registry<Finder>().remove(finder)) {
            release(f);
            QRV_LOG_AT(debug, finder, "destroyed");
        }
    });
}

QRVLIB_API bool QRVlib_find_wait_for_sources(QRVlib_find_instance_t finder, uint32_t timeout_ms)
{
    return guarded(false, [&] {
        auto f = finder_of(finder);
        return f ? f->wait_for_change(timeout_ms) : false;
    });
}

QRVLIB_API const QRVlib_source_t* QRVlib_find_get_current_sources(QRVlib_find_instance_t finder,
                                                                 uint32_t* no_sources)
{
    return guarded((const QRVlib_source_t*)nullptr, [&]() -> const QRVlib_source_t* {
        if (no_sources)
            *no_sources = 0;
        auto f = finder_of(finder);
        return f ? f->current(no_sources) : nullptr;
    });
}

}  // extern "C"
