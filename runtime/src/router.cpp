#include "router.h"

namespace qrv {

Router::Router(RouterSettings settings) : settings_(std::move(settings)) {}

void Router::change(SourceInfo target)
{
    std::lock_guard lock(mutex_);
    target_ = std::move(target);
}

void Router::clear()
{
    std::lock_guard lock(mutex_);
    target_.reset();
}

std::optional<SourceInfo> Router::target() const
{
    std::lock_guard lock(mutex_);
    return target_;
}

}  // namespace qrv
