// Live objects of one kind, owned by the library and looked up by handle.
// A call holds a shared reference for its duration, so an object destroyed
// by another thread outlives the calls still running on it.
#ifndef QRV_REGISTRY_H
#define QRV_REGISTRY_H

#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace qrv {

template <class T>
class Registry {
public:
    T* add(std::shared_ptr<T> object)
    {
        T* handle = object.get();
        std::lock_guard lock(mutex_);
        order_.push_back(handle);
        objects_.emplace(handle, std::move(object));
        return handle;
    }

    std::shared_ptr<T> find(const void* handle) const
    {
        std::lock_guard lock(mutex_);
        auto it = objects_.find(static_cast<const T*>(handle));
        return it == objects_.end() ? nullptr : it->second;
    }

    // Removes the object; the caller drops the last reference outside the
    // registry's lock.
    std::shared_ptr<T> remove(const void* handle)
    {
        std::lock_guard lock(mutex_);
        auto it = objects_.find(static_cast<const T*>(handle));
        if (it == objects_.end())
            return nullptr;
        auto object = std::move(it->second);
        objects_.erase(it);
        std::erase(order_, object.get());
        return object;
    }

    // Takes every object out, newest first.
    std::vector<std::shared_ptr<T>> take_all()
    {
        std::lock_guard lock(mutex_);
        std::vector<std::shared_ptr<T>> out;
        for (auto it = order_.rbegin(); it != order_.rend(); ++it)
            out.push_back(std::move(objects_[*it]));
        objects_.clear();
        order_.clear();
        return out;
    }

    std::vector<std::shared_ptr<T>> all() const
    {
        std::lock_guard lock(mutex_);
        std::vector<std::shared_ptr<T>> out;
        for (const auto& [handle, object] : objects_)
            out.push_back(object);
        return out;
    }

    size_t size() const
    {
        std::lock_guard lock(mutex_);
        return objects_.size();
    }

private:
    mutable std::mutex mutex_;
    std::map<const T*, std::shared_ptr<T>> objects_;
    std::vector<const T*> order_;  // creation order
};

}  // namespace qrv

#endif
