// What every exported C operation is built from. Each checks its
// arguments, finds the object behind the handle and forwards to it. Nothing
// thrown inside crosses this boundary; failures become the null or false
// results callers expect, and their reason becomes the calling thread's
// last error. Failed creates and starts are logged as well; refusals of
// other operations are not, since some of them may repeat for every frame.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "base/error.h"
#include "base/locator.h"
#include "base/log.h"
#include "objects/library.h"
#include "qrv/qrv_runtime.h"

namespace qrv::capi {

// What went wrong, in words, for whatever was thrown.
std::string reason_of(std::exception_ptr thrown);

// Keeps the reason as the thread's last error and logs it when asked to
// (what: the failed action, null for none).
void fail(std::exception_ptr thrown, log::Category category, log::Level level, const char* what) noexcept;

// f's result, or `failed` with the reason kept when f throws.
template <class F, class R>
R guarded(R failed, F&& f) noexcept
{
    try {
        return f();
    } catch (...) {
        fail(std::current_exception(), log::Category::library, log::Level::warn, nullptr);
        return failed;
    }
}

template <class F>
void guarded_void(F&& f) noexcept
{
    try {
        f();
    } catch (...) {
        fail(std::current_exception(), log::Category::library, log::Level::warn, nullptr);
    }
}

// A create: null with the reason on failure, the last error cleared on
// success.
template <class H, class F>
H create(log::Category category, const char* what, F&& make) noexcept
{
    try {
        H handle = make();
        clear_last_error();
        return handle;
    } catch (...) {
        fail(std::current_exception(), category, log::Level::warn, what);
        return nullptr;
    }
}

Library& lib();

// What a new object takes from the running library; throws when it is not
// running.
std::shared_ptr<const Context> require_context();

template <class T>
const T& require(const T* settings, const char* reason)
{
    if (!settings)
        throw Error(reason);
    return *settings;
}

// Copies value and its terminator into text when capacity allows; returns
// the bytes needed (0 when that does not fit the count's type), so that a
// caller can ask with no buffer first.
uint32_t put_text(const std::string& value, char* text, uint32_t capacity);

// A locator's text, as put_text puts it.
uint32_t copy_locator(const Endpoint& e, char* text, uint32_t capacity);

// A caller's text, bounded; what names it in the reason.
std::string text_argument(const char* text, size_t max, const char* what);

// A text that this process publishes (in discovery records, or to a source
// in its greeting), which others read as UTF-8. Names found on the network
// are taken as they come instead, so that any source can be received.
std::string published_text(const char* text, size_t max, const char* what);

// The object behind a handle, or null with the reason.
template <class T>
std::shared_ptr<T> live(const Registry<T>& registry, const void* handle, const char* kind)
{
    auto object = registry.find(handle);
    if (!object)
        set_last_error(std::string("not a live ") + kind + " handle (null, destroyed, or of another kind)");
    return object;
}

std::shared_ptr<Sender> sender_of(QRVlib_send_instance_t h);
std::shared_ptr<Finder> finder_of(QRVlib_find_instance_t h);
std::shared_ptr<Receiver> receiver_of(QRVlib_recv_instance_t h);
std::shared_ptr<Router> router_of(QRVlib_routing_instance_t h);

// False with the reason when a pointer the operation writes to is null.
bool present(const void* pointer, const char* what);

}  // namespace qrv::capi
