#include "ObjectCache.h"

#include <vector>

namespace orvanta {

void ObjectCache::setObject(std::shared_ptr<Object> object, const std::string &key) {
    if (!object) {
        removeObject(key);
        return;
    }
    // Evicted objects are destroyed outside the lock: a destructor may be slow
    // (large buffers) or call back into the cache.
    std::vector<std::shared_ptr<Object>> evicted;
    {
        std::lock_guard lock(m_);
        if (auto it = index_.find(key); it != index_.end()) {
            evicted.push_back(std::move(it->second->second));
            lru_.erase(it->second);
            index_.erase(it);
        }
        lru_.emplace_front(key, std::move(object));
        index_[key] = lru_.begin();
        while (limit_ > 0 && lru_.size() > limit_) {
            evicted.push_back(std::move(lru_.back().second));
            index_.erase(lru_.back().first);
            lru_.pop_back();
        }
    }
}

std::shared_ptr<Object> ObjectCache::object(const std::string &key) {
    std::lock_guard lock(m_);
    auto it = index_.find(key);
    if (it == index_.end()) return nullptr;
    lru_.splice(lru_.begin(), lru_, it->second);
    return it->second->second;
}

void ObjectCache::removeObject(const std::string &key) {
    std::shared_ptr<Object> gone;
    std::lock_guard lock(m_);
    auto it = index_.find(key);
    if (it == index_.end()) return;
    gone = std::move(it->second->second);
    lru_.erase(it->second);
    index_.erase(it);
}

void ObjectCache::removeAllObjects() {
    std::list<Entry> gone;
    {
        std::lock_guard lock(m_);
        gone.swap(lru_);
        index_.clear();
    }
}

std::size_t ObjectCache::count() const {
    std::lock_guard lock(m_);
    return lru_.size();
}

} // namespace orvanta
