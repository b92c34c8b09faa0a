#include "TiledEngine.h"

#include "IntermediateProductCache.h"
#include "QueueEngine.h"
#include "platform/Log.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace orvanta {

TiledEngine::TiledEngine(Size size, std::optional<std::string> cacheId, bool releasePrecursors)
    : outputSize_(size) {
    setupObject(std::move(cacheId), releasePrecursors);
}

TiledEngine::TiledEngine(std::shared_ptr<TiledEngine> source, std::optional<std::string> cacheId,
                         bool releasePrecursors)
    : _sourceBuffer(std::move(source)) {
    outputSize_ = _sourceBuffer ? _sourceBuffer->outputSize() : Size{};
    setupObject(std::move(cacheId), releasePrecursors);
}

TiledEngine::~TiledEngine() = default;

void TiledEngine::setupObject(std::optional<std::string> cacheId, bool releasePrecursors) {
    mainMap_ = std::make_unique<TileMap>(outputSize_);
    verticalBorder = horizontalBorder = 0;
    ignoreEdges = true;
    reprocessEdgeTiles = false;
    edgesDone = false;
    numberOfPasses = 1;
    _cacheLock = ReadWriteLock::create();
    idForCache = std::move(cacheId);
    shouldReleasePrecursors = releasePrecursors;
}

ReadWriteLock *TiledEngine::cacheLock() {
    if (!_cacheLock) _cacheLock = ReadWriteLock::create();
    return _cacheLock.get();
}

std::shared_ptr<ImageBuffer> TiledEngine::localOutputBuffer() {
    if (idForCache)
        return std::dynamic_pointer_cast<ImageBuffer>(
            IntermediateProductCache::sharedIntermediateProductCache()->retrieveItem(cacheKey()));
    return _localOutputBuffer;
}

void TiledEngine::setLocalOutputBuffer(std::shared_ptr<ImageBuffer> buffer) {
    if (idForCache && !shouldReleasePrecursors)
        IntermediateProductCache::sharedIntermediateProductCache()->cacheItem(std::move(buffer), cacheKey());
    else
        _localOutputBuffer = std::move(buffer);
}

void TiledEngine::flushCache() {
    if (_sourceBuffer) _sourceBuffer->flushCache();
    if (idForCache)
        IntermediateProductCache::sharedIntermediateProductCache()->cacheItem(nullptr, cacheKey());
    idForCache.reset();
}

void TiledEngine::setParameters(const std::string *key, const Dictionary &parameters) {
    if (_sourceBuffer) _sourceBuffer->setParameters(key, parameters);
}

void TiledEngine::markAllDirty() {
    std::lock_guard lock(mainMap_->tileLock());
    cachedImageIsDirty = true;
    allTilesDirty = true;
    edgesDone = false;
}

bool TiledEngine::getPixelValues(int, int, int, double values[4]) {
    logMessage(">>>>>>>>>> ERROR %s engine not getPixelValues capable", engineName().c_str());
    values[0] = values[1] = values[2] = 0;
    values[3] = 1;
    return false;
}

std::unique_ptr<CGImageBitMap>
TiledEngine::imageTile(float, const Rect &, std::shared_ptr<ColorSyncProfileWrap>, bool *, bool, int) {
    logMessage(">>>>>>>>>> ERROR %s engine not tile capable", engineName().c_str());
    return nullptr;
}

std::shared_ptr<ImageBuffer> TiledEngine::getThumbnail(bool flag) {
    return _sourceBuffer ? _sourceBuffer->getThumbnail(flag) : nullptr;
}

void TiledEngine::processTile(int c0, int c1, int r0, int r1, ImageBuffer *, ImageBuffer *, int) {
    logMessage("%s %i %i %i %i",
               "-[TiledEngine processTile:colEnd:rowStart:rowEnd:srcBuffer:destBuffer:pass:]", c0, c1, r0,
               r1);
}

void TiledEngine::processEdge(int c0, int c1, int r0, int r1, ImageBuffer *, ImageBuffer *, int) {
    logMessage("%s %i %i %i %i",
               "-[TiledEngine processEdge:colEnd:rowStart:rowEnd:srcBuffer:destBuffer:pass:]", c0, c1, r0,
               r1);
}

void TiledEngine::beforePass(int, const TileRegion &, ImageBuffer *, ImageBuffer *) {}

void TiledEngine::copyTile(int c0, int c1, int r0, int r1, const ImageBuffer *from, ImageBuffer *to) {
    if (!from || !to || r1 <= r0 || c1 <= c0) return;
    const std::size_t bytes = static_cast<std::size_t>(c1 - c0) * from->bytesPerPixel();
    for (int r = r0; r < r1; ++r) {
        const std::uint8_t *s = from->rowBytes(r) + static_cast<std::size_t>(c0) * from->bytesPerPixel();
        std::uint8_t *d = to->rowBytes(r) + static_cast<std::size_t>(c0) * to->bytesPerPixel();
        if (s != d) std::memmove(d, s, bytes);
    }
}

std::shared_ptr<TileProcess> TiledEngine::prepareBuffers(const TileRegion &region,
                                                         const std::shared_ptr<TileProcess> &prev) {
    ImageBuffer *prevBuffer = prev ? prev->buffer.get() : nullptr;
    if (prevBuffer) prevBuffer->lock(this);
    auto process = std::make_shared<TileProcess>();
    {
        std::lock_guard lock(mainMap_->tileLock());
        TileMap &map = *mainMap_;
        if (allTilesDirty) {
            allTilesDirty = false;
            for (const auto &t : map.tileMap()) {
                t->state = tileIsDirty;
                t->passTrack = -1;
            }
        } else {
            if (reprocessEdgeTiles && !region.isAll()) {
                auto inRegion = [&](int x, int y) {
                    return x >= region.firstTileX && x <= region.lastTileX && y >= region.firstTileY &&
                           y <= region.lastTileY;
                };
                for (int x = region.firstTileX; x <= region.lastTileX; ++x)
                    for (int y = region.firstTileY; y <= region.lastTileY; ++y) {
                        auto tile = map.getTileTracker(x, y);
                        if (!tile || tile->state != tileIsClean) continue;
                        for (auto [dx, dy] : {std::pair{-1, -1}, {1, -1}, {-1, 1}, {1, 1}}) {
                            if (!inRegion(x + dx, y + dy)) continue;
                            auto n = map.getTileTracker(x + dx, y + dy);
                            if (n && n->state != tileIsClean) {
                                tile->state = tileIsEdgeDirty;
                                tile->passTrack = -1;
                                break;
                            }
                        }
                    }
            }
            if (prev)
                for (const auto &t : prev->dirtyList) {
                    const int x = static_cast<int>(std::max(t->location.origin.x / 512.0, 0.0));
                    const int y = static_cast<int>(std::max(t->location.origin.y / 512.0, 0.0));
                    if (auto mine = map.getTileTracker(x, y)) {
                        mine->state = tileIsDirty;
                        mine->passTrack = -1;
                    }
                }
        }
        process->dirtyList = map.dirtyList();
    }
    const bool mustNotWrite = !prevBuffer || prevBuffer->testReadOnlyAndAddtoEngineList(this);
    if (mustNotWrite) {
        auto out = localOutputBuffer();
        if (!out) {
            const int w = static_cast<int>(outputSize_.width), h = static_cast<int>(outputSize_.height);
            auto profile = prevBuffer ? prevBuffer->bufferProfile : nullptr;
            if (prevBuffer && prevBuffer->isFloat())
                out = ImageBufferF32::create(w, h, nullptr, profile);
            else
                out = ImageBufferU16::create(w, h, nullptr, profile);
            mainMap_->resetTiles(); // a new buffer: every tile again
            process->dirtyList = mainMap_->dirtyList();
            setLocalOutputBuffer(out);
        }
        process->buffer = out;
    } else {
        process->buffer = prev->buffer;
    }
    if (prevBuffer) prevBuffer->unlock(this);
    return process;
}

void TiledEngine::worker(const TileRegion &region, int pass, bool lastPass, ImageBuffer *src,
                         ImageBuffer *dst) {
    TileMap &map = *mainMap_;
    const int W = dst ? dst->imageWidth : static_cast<int>(outputSize_.width);
    const int H = dst ? dst->imageHeight : static_cast<int>(outputSize_.height);
    const int count = map.xTiles() * map.yTiles();
    for (int n = 0; n < count; ++n) {
        const int index = reverseSweep ? count - 1 - n : n;
        const int x = index % map.xTiles(), y = index / map.xTiles();
        {
            auto tile = map.getTileTracker(x, y);
            if (!tile || !tile->lock.try_lock()) continue;
            const bool inRegion = region.firstTileX < 0 || (x >= region.firstTileX && x <= region.lastTileX &&
                                                            y >= region.firstTileY && y <= region.lastTileY);
            if (!inRegion || tile->state == tileIsClean || tile->passTrack == pass) {
                tile->lock.unlock();
                continue;
            }
            tile->passTrack = pass;
            const Rect &l = tile->location;
            const int c0 = static_cast<int>(std::max<double>(horizontalBorder, l.origin.x));
            const int c1 =
                static_cast<int>(std::min<double>(l.origin.x + l.size.width, W - horizontalBorder));
            const int r0 = static_cast<int>(std::max<double>(verticalBorder, l.origin.y));
            const int r1 = static_cast<int>(std::min<double>(l.origin.y + l.size.height, H - verticalBorder));
            processTile(c0, c1, r0, r1, src, dst, pass);
            tilesProcessed.fetch_add(1, std::memory_order_relaxed);
            if (lastPass) tile->state = tileIsClean;
            tile->lock.unlock();
        }
    }
}

std::shared_ptr<TileProcess> TiledEngine::runProcessToCompletion(const TileRegion &region) {
    std::shared_ptr<TileProcess> prev =
        _sourceBuffer ? _sourceBuffer->runProcessToCompletion(region) : nullptr;
    std::shared_ptr<TileProcess> process = prepareBuffers(region, prev);
    ImageBuffer *src = prev ? prev->buffer.get() : nullptr;
    ImageBuffer *dst = process->buffer.get();
    if (src) src->lock(this);
    if (dst) dst->lock(this);

    auto *queues = QueueEngine::sharedQueueEngine();
    auto queue = queues->sharedQueue();
    dispatch::Group &group = process->dispatchGroup;
    if (!ignoreEdges && !edgesDone && dst) {
        const int W = dst->imageWidth, H = dst->imageHeight, V = verticalBorder, B = horizontalBorder;
        for (int p = 0; p < numberOfPasses; ++p) {
            if (V > 0) {
                queue->async(group, [=, this] { processEdge(0, W, 0, V, src, dst, p); });
                queue->async(group, [=, this] { processEdge(0, W, H - V, H, src, dst, p); });
            }
            if (B > 0) {
                queue->async(group, [=, this] { processEdge(0, B, V, H - V, src, dst, p); });
                queue->async(group, [=, this] { processEdge(W - B, W, V, H - V, src, dst, p); });
            }
            group.wait();
        }
        edgesDone = true;
    }
    const auto workers =
        workersPerPass > 0 ? static_cast<std::uint64_t>(workersPerPass) : queues->optimalNumberOfTasks();
    for (int p = 0; p < numberOfPasses; ++p) {
        const bool last = p == numberOfPasses - 1;
        beforePass(p, region, src, dst);
        for (std::uint64_t i = 0; i < workers; ++i)
            queue->async(group, [=, this] { worker(region, p, last, src, dst); });
        if (!last) group.wait();
    }
    group.wait();
    if (!process->dirtyList.empty()) cachedImageIsDirty = true;
    if (dst) dst->validRegion = mainMap_->rectForRegion(region);

    if (src) src->unlock(this);
    if (prev) prev->buffer.reset();
    if (dst) dst->unlock(this);
    if (shouldReleasePrecursors) _sourceBuffer.reset();
    return process;
}

} // namespace orvanta
