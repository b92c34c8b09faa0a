#pragma once
// The catalog: per image, the settings it had when its window was closed,
// kept as an XML property list (root array, one dictionary per image) keyed
// by "Orvanta_UUID". The shared manager also turns settings into property-
// list form and back, replacing live profile objects by marker dictionaries.
//
// Every change reads, edits and rewrites the whole file under the store's
// lock, and the file is replaced atomically, so a crash or two threads
// closing documents at once never leave a half-written or mixed catalog.

#include "platform/Error.h"
#include "platform/Value.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace orvanta {

inline constexpr const char *kSerializedClassKey = "Class_of_serialized_Object";
inline constexpr const char *kCatalogStoreName = "Catalog";

class DataStoreItem {
public:
    explicit DataStoreItem(std::string storeName); // initWithStoreName:

    const std::string &dataStoreName() const { return dataStoreName_; }
    // The store folder, worked out once per process and shared by every
    // store; none (and tried again next time) when it cannot be made.
    std::optional<std::string> pathToCurrentCatalogDirectory();
    // "Orvanta" + store name + ".plist" in the store folder.
    std::optional<std::string> storeFilePath();

    std::optional<std::string> imageDataFile();
    // The entries; none when the file is missing or not a property list
    // with an array at its root.
    std::optional<Array> imageData();
    bool saveImageData(const Array *entries);

    bool addItem(const Dictionary *entry);
    bool updateItem(const Dictionary *entry);
    bool removeItem(const Dictionary *entry);
    std::optional<Dictionary> getItemForUUID(const std::string &uuid);
    bool deleteCurrentCatalog(Error *error);

private:
    std::string dataStoreName_;
    std::mutex lock_; // read-modify-write of this store's file
};

class MultiDataStore {
public:
    static MultiDataStore *sharedMultiDataStore();

    std::shared_ptr<DataStoreItem> dataStoreForStore(const std::string &name);

    Dictionary serializeToPList(const Dictionary &settings) const;
    Dictionary serializeToPList(const Dictionary &settings, int depth) const;
    Dictionary deserializeFromPList(const Dictionary &plist) const;
    Dictionary deserializeFromPList(const Dictionary &plist, int depth) const;

    int depthToConvert() const { return depthToConvert_; }
    void setDepthToConvert(int depth) { depthToConvert_ = depth; }

    MultiDataStore(const MultiDataStore &) = delete;
    MultiDataStore &operator=(const MultiDataStore &) = delete;

private:
    MultiDataStore() = default;

    std::mutex storesLock_;
    std::map<std::string, std::shared_ptr<DataStoreItem>> dataStoreSet;
    int depthToConvert_ = 2;
};

} // namespace orvanta
