#include "api_support.h"

#include <cstring>
#include <new>
#include <system_error>

#include "base/text.h"

namespace qrv::capi {

static_assert(int(QRVlib_log_level_none) == int(log::Level::none) &&
              int(QRVlib_log_level_error) == int(log::Level::error) &&
              int(QRVlib_log_level_warn) == int(log::Level::warn) &&
              int(QRVlib_log_level_info) == int(log::Level::info) &&
              int(QRVlib_log_level_debug) == int(log::Level::debug));

std::string reason_of(std::exception_ptr thrown)
{
    try {
        std::rethrow_exception(thrown);
    } catch (const Error& e) {
        return e.what();
    } catch (const std::bad_alloc&) {
        return "out of memory";
    } catch (const std::system_error& e) {
        return "system error: " + e.code().message();
    } catch (const std::exception& e) {
        return std::string("internal error: ") + e.what();
    } catch (...) {
        return "internal error";
    }
}

void fail(std::exception_ptr thrown, log::Category category, log::Level level, const char* what) noexcept
{
    try {
        const std::string reason = reason_of(thrown);
        set_last_error(reason);
        if (what && log::enabled(category, level))
            log::write(category, level, "%s: %s", what, reason.c_str());
    } catch (...) {
    }
}

Library& lib()
{
    return Library::instance();
}

std::shared_ptr<const Context> require_context()
{
    auto c = lib().context();
    if (!c)
        throw Error("the library is not initialized");
    return c;
}

uint32_t put_text(const std::string& value, char* text, uint32_t capacity)
{
    if (value.size() + 1 > UINT32_MAX)
        return 0;
    if (text && capacity >= value.size() + 1)
        std::memcpy(text, value.c_str(), value.size() + 1);
    return uint32_t(value.size() + 1);
}

uint32_t copy_locator(const Endpoint& e, char* text, uint32_t capacity)
{
    return put_text(format_locator(e), text, capacity);
}

std::string text_argument(const char* text, size_t max, const char* what)
{
    auto copy = copy_text(text, max);
    if (!copy)
        throw Error(std::string(what) + " is longer than " + std::to_string(max - 1) + " bytes");
    return *copy;
}

std::string published_text(const char* text, size_t max, const char* what)
{
    std::string copy = text_argument(text, max, what);
    if (!valid_utf8(copy))
        throw Error(std::string(what) + " is not valid UTF-8");
    return copy;
}

std::shared_ptr<Sender> sender_of(QRVlib_send_instance_t h)
{
    return live(lib().registry<Sender>(), h, "sender");
}

std::shared_ptr<Finder> finder_of(QRVlib_find_instance_t h)
{
    return live(lib().registry<Finder>(), h, "finder");
}

std::shared_ptr<Receiver> receiver_of(QRVlib_recv_instance_t h)
{
    return live(lib().registry<Receiver>(), h, "receiver");
}

std::shared_ptr<Router> router_of(QRVlib_routing_instance_t h)
{
    return live(lib().registry<Router>(), h, "router");
}

bool present(const void* pointer, const char* what)
{
    if (!pointer)
        set_last_error(std::string(what) + " is null");
    return pointer != nullptr;
}

}  // namespace qrv::capi
