#include "IntermediateProductCache.h"

#include "platform/Log.h"
#include "platform/UserDefaults.h"

#include <cstdio>
#include <mutex>
#include <unistd.h>

namespace orvanta {

IntermediateProductCache *IntermediateProductCache::sharedIntermediateProductCache() {
    static std::mutex classLock;
    static IntermediateProductCache *instance = nullptr;
    std::lock_guard lock(classLock);
    if (!instance) instance = new IntermediateProductCache;
    return instance;
}

std::string IntermediateProductCache::startupMessage(bool disabledInPreferences, double physicalMemoryBytes) {
    if (disabledInPreferences) return "Cache disabled in preferences";
    char buf[96];
    const double mb = physicalMemoryBytes / (1024.0 * 1024.0);
    // 8 GiB is the least memory at which keeping two products pays off.
    std::snprintf(buf, sizeof buf, "Cache %s - Physical memory %.2fMB",
                  physicalMemoryBytes >= 8589934592.0 ? "enabled" : "disabled", mb);
    return buf;
}

IntermediateProductCache::IntermediateProductCache() {
    // The setting and the memory size only choose the message: the cache is
    // in use either way.
    const double memory =
        static_cast<double>(::sysconf(_SC_PHYS_PAGES)) * static_cast<double>(::sysconf(_SC_PAGE_SIZE));
    logString(startupMessage(UserDefaults::standard().boolForKey("DisableImageCache"), memory));
}

void IntermediateProductCache::cacheItem(std::shared_ptr<Object> item, const std::string &key) {
    theCache.setObject(std::move(item), key);
}

std::shared_ptr<Object> IntermediateProductCache::retrieveItem(const std::string &key) {
    return theCache.object(key);
}

void IntermediateProductCache::removeAllObjects() {
    theCache.removeAllObjects();
}

} // namespace orvanta
