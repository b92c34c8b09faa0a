#pragma once
// Process-wide cache of intermediate engine products (output buffers), keyed
// by an engine's cache prefix and name. It keeps at most two products and may
// drop any of them at any time; an engine that finds its product gone
// allocates a new buffer and recomputes, so eviction only costs time.

#include "platform/ObjectCache.h"

#include <memory>
#include <string>

namespace orvanta {

class IntermediateProductCache {
public:
    static constexpr std::size_t kCountLimit = 2;

    static IntermediateProductCache *sharedIntermediateProductCache();

    // Stores item under key; a null item removes the key.
    void cacheItem(std::shared_ptr<Object> item, const std::string &key);
    // The stored item, or null (also after eviction).
    std::shared_ptr<Object> retrieveItem(const std::string &key);
    void removeAllObjects();

    IntermediateProductCache(const IntermediateProductCache &) = delete;
    IntermediateProductCache &operator=(const IntermediateProductCache &) = delete;

    // The start-up message for the given setting and memory size in bytes.
    static std::string startupMessage(bool disabledInPreferences, double physicalMemoryBytes);

private:
    IntermediateProductCache();

    ObjectCache theCache{kCountLimit};
};

} // namespace orvanta
