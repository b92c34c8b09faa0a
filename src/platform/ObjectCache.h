#pragma once
// A thread-safe cache of shared objects by string key, with a count limit.
// When a store would pass the limit the least recently used entries are
// evicted. Like any cache, it may also drop entries at any time
// (evictAll() under memory pressure): holders must be able to rebuild.

#include "Value.h"

#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace orvanta {

class ObjectCache {
public:
    explicit ObjectCache(std::size_t countLimit = 0) : limit_(countLimit) {}

    void setObject(std::shared_ptr<Object> object, const std::string &key);
    std::shared_ptr<Object> object(const std::string &key);
    void removeObject(const std::string &key);
    void removeAllObjects();
    std::size_t count() const;
    std::size_t countLimit() const { return limit_; }

private:
    using Entry = std::pair<std::string, std::shared_ptr<Object>>;
    mutable std::mutex m_;
    std::size_t limit_;    // 0: no limit
    std::list<Entry> lru_; // most recently used first
    std::unordered_map<std::string, std::list<Entry>::iterator> index_;
};

} // namespace orvanta
