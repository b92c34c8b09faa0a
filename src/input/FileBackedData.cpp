#include "FileBackedData.h"

#include "platform/Folders.h"
#include "platform/LargeAlloc.h"
#include "platform/Log.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace orvanta {

FileBackedDataManager &FileBackedDataManager::sharedFileBackedDataManager() {
    static auto *manager = new FileBackedDataManager;
    return *manager;
}

void *FileBackedDataManager::allocVM(std::size_t length) {
    std::lock_guard lock(m_);
    Error error;
    auto folder = folders::temporaryDirectory(&error);
    if (!folder) {
        logMessage("allocVM: no temporary folder: %s", error.description().c_str());
        return nullptr;
    }
    std::string tmpl = *folder + "/kestranatempfile.XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        logMessage("allocVM: cannot create %s: %s", tmpl.c_str(), std::strerror(errno));
        return nullptr;
    }
    // A failed block leaves nothing behind: its file is removed too.
    auto fail = [&](const char *what) -> void * {
        logMessage("allocVM: %s failed for %zu bytes: %s", what, length, std::strerror(errno));
        ::close(fd);
        ::unlink(name.data());
        return nullptr;
    };
    const std::size_t mapLength = std::max<std::size_t>(length, 1);
    if (::ftruncate(fd, static_cast<off_t>(mapLength)) != 0) return fail("ftruncate");
    void *address = ::mmap(nullptr, mapLength, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (address == MAP_FAILED) return fail("mmap");
    // The file was just created and extended, so the mapping already reads as
    // zeros; writing them would only push every page to disk.
    blocks_.push_back(Block{address, fd, mapLength, name.data()});
    return address;
}

void FileBackedDataManager::deallocVM(void *address) {
    if (!address) return;
    Block block;
    {
        std::lock_guard lock(m_);
        auto it = std::find_if(blocks_.begin(), blocks_.end(),
                               [&](const Block &b) { return b.address == address; });
        if (it == blocks_.end()) {
            // Only blocks of ours are released; freeing an address we did not
            // hand out would corrupt the heap.
            logMessage("deallocVM: %p is not a file-backed block; left alone", address);
            return;
        }
        block = *it;
        blocks_.erase(it);
    }
    dispatch::globalQueue(dispatch::Priority::Background)->async(pending_, [block] {
        // Truncating first drops the dirty pages instead of writing them back.
        if (::ftruncate(block.fd, 0) != 0)
            logMessage("deallocVM: truncate %s: %s", block.path.c_str(), std::strerror(errno));
        ::munmap(block.address, block.length);
        ::close(block.fd);
        if (::unlink(block.path.c_str()) != 0)
            logMessage("deallocVM: remove %s: %s", block.path.c_str(), std::strerror(errno));
    });
}

std::optional<std::string> FileBackedDataManager::pathForAddress(const void *address) const {
    std::lock_guard lock(m_);
    for (const auto &b : blocks_)
        if (b.address == address) return b.path;
    return std::nullopt;
}

void FileBackedDataManager::waitForPendingReleases() {
    pending_.wait();
}

std::shared_ptr<FileBackedFactoryNSData> FileBackedFactoryNSData::create(std::size_t length,
                                                                         bool preferVirtualMemory) {
    std::shared_ptr<FileBackedFactoryNSData> data(new FileBackedFactoryNSData);
    void *memory = nullptr;
    auto &manager = FileBackedDataManager::sharedFileBackedDataManager();
    if (preferVirtualMemory) {
        memory = manager.allocVM(length);
        data->fromVM_ = memory != nullptr;
    } else {
        // Large blocks come straight from the kernel, zeroed and marked for
        // huge pages: far fewer page faults when a 200 MB image is filled.
        const std::size_t bytes = std::max<std::size_t>(length, 1);
        memory = bytes >= kLargeAllocThreshold ? allocateLarge(bytes) : std::calloc(bytes, 1);
        if (memory) data->allocatedBytes_ = bytes;
        if (!memory) {
            logMessage(">>>>> Warning: real memory could not be assigned; falling back to virtual");
            memory = manager.allocVM(length);
            data->fromVM_ = memory != nullptr;
        }
    }
    if (!memory) {
        logMessage("FileBackedFactoryNSData failed - no memory");
        return nullptr;
    }
    data->bufferLength = length;
    data->pBuffer = static_cast<std::uint8_t *>(memory);
    data->writePtr = data->pBuffer;
    return data;
}

FileBackedFactoryNSData::~FileBackedFactoryNSData() {
    doneWithData();
}

bool FileBackedFactoryNSData::writeToData(const void *source, std::size_t count) {
    const std::size_t used = static_cast<std::size_t>(writePtr - pBuffer);
    if (!pBuffer || count > bufferLength - used) {
        logMessage("FileBackedFactoryNSData writeToData buffer overrun failure");
        return false;
    }
    if (count) std::memcpy(writePtr, source, count);
    writePtr += count;
    return true;
}

void FileBackedFactoryNSData::doneWithData() {
    if (pBuffer) {
        if (fromVM_)
            FileBackedDataManager::sharedFileBackedDataManager().deallocVM(pBuffer);
        else
            freeLarge(pBuffer, allocatedBytes_); // below the large-block size: free()
    }
    pBuffer = writePtr = nullptr;
    bufferLength = 0;
    fromVM_ = false;
    allocatedBytes_ = 0;
    fileName_.clear();
}

} // namespace orvanta
