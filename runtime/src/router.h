// A router: publishes a source of its own that carries whichever source it
// is pointed at.
#ifndef QRV_ROUTER_H
#define QRV_ROUTER_H

#include <mutex>
#include <optional>
#include <string>

#include "finder.h"

namespace qrv {

struct RouterSettings {
    std::string name;
    std::string groups;
};

class Router {
public:
    explicit Router(RouterSettings settings);
    const RouterSettings& settings() const { return settings_; }

    void change(SourceInfo target);
    void clear();
    std::optional<SourceInfo> target() const;

private:
    const RouterSettings settings_;
    mutable std::mutex mutex_;
    std::optional<SourceInfo> target_;
};

}  // namespace qrv

#endif
