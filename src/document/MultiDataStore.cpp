#include "MultiDataStore.h"

#include "color/ColorSyncProfileWrap.h"
#include "color/DNGCameraProfile.h"
#include "platform/FileUtil.h"
#include "platform/Folders.h"
#include "platform/Log.h"
#include "platform/PropertyList.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <strings.h>
#include <sys/stat.h>

namespace orvanta {

namespace {

std::mutex &folderLock() {
    static std::mutex m;
    return m;
}
std::optional<std::string> &sharedFolder() {
    static std::optional<std::string> folder;
    return folder;
}

std::string uuidOf(const Value &entry) {
    const Dictionary *d = entry.dictionary();
    const Value *v = d ? d->get("Orvanta_UUID") : nullptr;
    return v && v->string() ? *v->string() : std::string();
}

// The last entry with the identity, and every entry equal to it in full.
void removeLastWithUUID(Array &entries, const std::string &uuid) {
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        if (uuidOf(*it) != uuid) continue;
        const Value found = *it;
        std::erase_if(entries, [&](const Value &v) { return v == found; });
        return;
    }
}

} // namespace

DataStoreItem::DataStoreItem(std::string storeName) : dataStoreName_(std::move(storeName)) {}

std::optional<std::string> DataStoreItem::pathToCurrentCatalogDirectory() {
    std::lock_guard lock(folderLock());
    auto &folder = sharedFolder();
    if (folder) return folder;
    Error error;
    const auto support = folders::applicationSupportDirectory(&error);
    if (!support) {
        logMessage("Could not access Library directory\n%s", error.description().c_str());
        return std::nullopt;
    }
    const std::string path = *support + "/" + dataStoreName_;
    if (!createDirectories(path, &error)) {
        logMessage("Could not create directory %s\n%s", path.c_str(), error.description().c_str());
        return std::nullopt;
    }
    folder = path;
    return folder;
}

std::optional<std::string> DataStoreItem::storeFilePath() {
    const auto folder = pathToCurrentCatalogDirectory();
    if (!folder) return std::nullopt;
    return *folder + "/Orvanta" + dataStoreName_ + ".plist";
}

std::optional<std::string> DataStoreItem::imageDataFile() {
    const auto path = storeFilePath();
    if (!path) return std::nullopt;
    return readWholeFile(*path);
}

std::optional<Array> DataStoreItem::imageData() {
    const auto bytes = imageDataFile();
    if (!bytes) return std::nullopt;
    auto root = plist::parseXML(*bytes);
    if (!root || !root->isArray()) return std::nullopt;
    return std::move(*root->array());
}

bool DataStoreItem::saveImageData(const Array *entries) {
    if (!entries) return false;
    const auto path = storeFilePath();
    if (!path) return false;
    Error error;
    if (!plist::writeFile(*path, Value(*entries), &error)) {
        logMessage(">> %s", error.description().c_str());
        return false;
    }
    return true;
}

bool DataStoreItem::addItem(const Dictionary *entry) {
    if (!entry) return false;
    std::lock_guard lock(lock_);
    Array entries = imageData().value_or(Array{});
    const Value *uuid = entry->get("Orvanta_UUID");
    removeLastWithUUID(entries, uuid && uuid->string() ? *uuid->string() : std::string());
    entries.push_back(Value(*entry));
    return saveImageData(&entries);
}

bool DataStoreItem::updateItem(const Dictionary *entry) {
    if (!entry) return false;
    std::lock_guard lock(lock_);
    Array entries = imageData().value_or(Array{});
    const Value *uuid = entry->get("Orvanta_UUID");
    const std::string id = uuid && uuid->string() ? *uuid->string() : std::string();
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if (uuidOf(*it) != id || !it->dictionary()) continue;
        Dictionary merged = *it->dictionary();
        merged.merge(*entry);
        entries.erase(it);
        entries.push_back(Value(std::move(merged)));
        break;
    }
    return saveImageData(&entries);
}

bool DataStoreItem::removeItem(const Dictionary *entry) {
    if (!entry) return false;
    std::lock_guard lock(lock_);
    Array entries = imageData().value_or(Array{});
    const Value *uuid = entry->get("Orvanta_UUID");
    removeLastWithUUID(entries, uuid && uuid->string() ? *uuid->string() : std::string());
    return saveImageData(&entries);
}

std::optional<Dictionary> DataStoreItem::getItemForUUID(const std::string &uuid) {
    std::lock_guard lock(lock_);
    auto entries = imageData();
    if (!entries) return std::nullopt;
    for (const Value &v : *entries)
        if (v.dictionary() && uuidOf(v) == uuid) return *v.dictionary();
    return std::nullopt;
}

bool DataStoreItem::deleteCurrentCatalog(Error *error) {
    std::lock_guard lock(lock_);
    const auto path = storeFilePath();
    if (!path) {
        if (error) *error = Error::posix(ENOENT, "no catalog folder");
        return false;
    }
    if (std::remove(path->c_str()) != 0) {
        if (error) *error = Error::posix(errno, "cannot delete " + *path);
        return false;
    }
    return true;
}

MultiDataStore *MultiDataStore::sharedMultiDataStore() {
    static MultiDataStore *instance = new MultiDataStore; // lives for the process
    return instance;
}

std::shared_ptr<DataStoreItem> MultiDataStore::dataStoreForStore(const std::string &name) {
    std::lock_guard lock(storesLock_);
    auto &item = dataStoreSet[name];
    if (!item) item = std::make_shared<DataStoreItem>(name);
    return item;
}

Dictionary MultiDataStore::serializeToPList(const Dictionary &settings) const {
    return serializeToPList(settings, depthToConvert_);
}

Dictionary MultiDataStore::serializeToPList(const Dictionary &settings, int depth) const {
    Dictionary out;
    for (const auto &[key, value] : settings) {
        if (value.isObject()) {
            const auto object = value.object();
            const std::string cls = object ? object->className() : std::string();
            if (cls == "DNGCameraProfileAbstract") {
                out.set(key, Value(std::static_pointer_cast<DNGCameraProfileAbstract>(object)
                                       ->objectSerializeForPList()));
                continue;
            }
            if (cls == "ColorSyncProfileWrap") {
                out.set(
                    key,
                    Value(std::static_pointer_cast<ColorSyncProfileWrap>(object)->objectSerializeForPList()));
                continue;
            }
        }
        if (depth >= 1 && value.isDictionary()) {
            out.set(key, Value(serializeToPList(*value.dictionary(), depth - 1)));
            continue;
        }
        out.set(key, value);
    }
    return out;
}

Dictionary MultiDataStore::deserializeFromPList(const Dictionary &plist) const {
    return deserializeFromPList(plist, depthToConvert_);
}

Dictionary MultiDataStore::deserializeFromPList(const Dictionary &plist, int depth) const {
    Dictionary out;
    for (const auto &[key, value] : plist) {
        const Dictionary *d = value.dictionary();
        if (d && d->contains(kSerializedClassKey)) {
            const std::string cls = d->stringFor(kSerializedClassKey);
            if (strcasecmp(cls.c_str(), "DNGCameraProfileAbstract") == 0) {
                if (auto p = DNGCameraProfileAbstract::initFromPList(*d)) out.set(key, Value(p));
            } else if (strcasecmp(cls.c_str(), "ColorSyncProfileWrap") == 0) {
                if (auto p = ColorSyncProfileWrap::initFromPList(*d)) out.set(key, Value(p));
            }
            continue; // a marker of any other class is dropped
        }
        if (depth > 0 && d) {
            out.set(key, Value(deserializeFromPList(*d, depth - 1)));
            continue;
        }
        out.set(key, value);
    }
    return out;
}

} // namespace orvanta
