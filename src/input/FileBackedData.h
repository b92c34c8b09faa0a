#pragma once
// Large fixed-size byte buffers that fall back to memory-mapped temporary
// files when ordinary memory cannot be had (or when asked to), so that very
// large images can still be processed when memory is short.
//
// A buffer is not locked: its users (image buffers) coordinate access.

#include "platform/Dispatch.h"
#include "platform/Value.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace orvanta {

// Owner of the file mappings: a list of blocks appended at the end and
// searched from the start by address. Process-wide, never destroyed.
class FileBackedDataManager {
public:
    static FileBackedDataManager &sharedFileBackedDataManager();

    // Zeroed memory mapped from a new temporary file "kestranatempfile.XXXXXX"
    // in the user's temporary folder, or null.
    void *allocVM(std::size_t length);
    // Releases a block from allocVM; the file is truncated, unmapped, closed
    // and removed on a background queue.
    void deallocVM(void *address);

    // The backing file of a block, or nullopt when address is not a block.
    std::optional<std::string> pathForAddress(const void *address) const;
    // Waits until every release handed to the background queue has finished.
    void waitForPendingReleases();

    FileBackedDataManager(const FileBackedDataManager &) = delete;
    FileBackedDataManager &operator=(const FileBackedDataManager &) = delete;

private:
    FileBackedDataManager() = default;

    struct Block {
        void *address;
        int fd;
        std::size_t length;
        std::string path;
    };
    mutable std::mutex m_;
    std::vector<Block> blocks_;
    dispatch::Group pending_;
};

class FileBackedFactoryNSData : public Object {
public:
    // A zeroed buffer of length bytes: ordinary memory first, a file mapping
    // when that fails or when preferVirtualMemory is set. Null (with
    // "FileBackedFactoryNSData failed - no memory" logged) when neither works.
    static std::shared_ptr<FileBackedFactoryNSData> create(std::size_t length, bool preferVirtualMemory);
    ~FileBackedFactoryNSData() override;

    std::string className() const override { return "FileBackedFactoryNSData"; }

    std::size_t length() const { return bufferLength; }
    const void *bytes() const { return pBuffer; }
    void *mutableBytes() { return pBuffer; }
    bool isFileBacked() const { return fromVM_; }

    // Copies count bytes at the write position and advances it; a copy that
    // would pass the end logs "FileBackedFactoryNSData writeToData buffer
    // overrun failure" and copies nothing.
    bool writeToData(const void *source, std::size_t count);
    bool appendBytes(const FileBackedFactoryNSData &data) { return writeToData(data.bytes(), data.length()); }

    // Releases the memory; afterwards the buffer is empty.
    void doneWithData();

    const std::string &fileName() const { return fileName_; }
    void setFileName(std::string name) { fileName_ = std::move(name); }

    FileBackedFactoryNSData(const FileBackedFactoryNSData &) = delete;
    FileBackedFactoryNSData &operator=(const FileBackedFactoryNSData &) = delete;

private:
    FileBackedFactoryNSData() = default;

    std::size_t bufferLength = 0;
    std::uint8_t *pBuffer = nullptr;
    std::uint8_t *writePtr = nullptr;
    std::string fileName_;
    bool fromVM_ = false;
    std::size_t allocatedBytes_ = 0; // ordinary memory: the size allocated
};

} // namespace orvanta
