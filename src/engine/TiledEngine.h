#pragma once
// The base of every image-processing step. Engines form a chain pulled from
// its end: running an engine over a tile region first runs its source over
// the same region, then prepares this engine's output (in place on the
// source's product when allowed, else a buffer of its own or from the
// intermediate-product cache), then processes every tile of the region that
// is not clean, in passes of one worker per processor on the shared queue.
//
// Contract for subclasses: processTile/processEdge run concurrently on
// different tiles of the same buffers and write only their own tile of the
// destination (reading neighbouring source pixels is fine).
//
// Locks, outermost first: the source and output buffer locks (held by the
// running thread for a run), the map's tile lock (preparation,
// markAllDirty), each tile's claim lock (one worker, one tile).

#include "ImageBuffer.h"
#include "ReadWriteLock.h"
#include "TileMap.h"
#include "platform/Value.h"

#include <atomic>
#include <memory>
#include <optional>
#include <string>

namespace orvanta {

class TiledEngine;

class OrvantaTiledEngineDelegate {
public:
    virtual ~OrvantaTiledEngineDelegate() = default;
    virtual void engineActiveRectDirty(TiledEngine *sender) = 0;
};

class TiledEngine : public Object {
public:
    // initWithSize:imageID:releasePrecursors: — an engine without source.
    TiledEngine(Size size, std::optional<std::string> idForCache, bool releasePrecursors);
    // initWithImage:imageID:releasePrecursors: — an engine over a source.
    TiledEngine(std::shared_ptr<TiledEngine> source, std::optional<std::string> idForCache,
                bool releasePrecursors);
    ~TiledEngine() override;

    std::string className() const override { return "TiledEngine"; }
    virtual std::string engineName() const { return "OrvantaDefaultEngine"; }

    // Runs the chain for the region; returns this engine's run record.
    virtual std::shared_ptr<TileProcess> runProcessToCompletion(const TileRegion &region);
    std::shared_ptr<TileProcess> prepareBuffers(const TileRegion &region,
                                                const std::shared_ptr<TileProcess> &prev);

    // Per-tile and per-band work (ends exclusive). The base logs.
    virtual void processTile(int colStart, int colEnd, int rowStart, int rowEnd, ImageBuffer *src,
                             ImageBuffer *dst, int pass);
    virtual void processEdge(int colStart, int colEnd, int rowStart, int rowEnd, ImageBuffer *src,
                             ImageBuffer *dst, int pass);
    static void copyTile(int colStart, int colEnd, int rowStart, int rowEnd, const ImageBuffer *from,
                         ImageBuffer *to);
    // Called on the running thread before the workers of each pass start,
    // after the previous pass has finished: the place to take a stable view
    // of pixels that tiles of the coming pass read across their borders.
    virtual void beforePass(int pass, const TileRegion &region, ImageBuffer *src, ImageBuffer *dst);

    // Forwards up the chain; subclasses re-read their values first when the
    // key (none: every key) concerns them.
    virtual void setParameters(const std::string *key, const Dictionary &parameters);
    void markAllDirty();

    std::shared_ptr<ImageBuffer> localOutputBuffer();
    void setLocalOutputBuffer(std::shared_ptr<ImageBuffer> buffer);
    void flushCache();

    // Readers; the base's versions say the engine cannot answer.
    virtual bool getPixelValues(int col, int row, int patchSize, double values[4]);
    bool getPixelValues(int col, int row, double values[4]) { return getPixelValues(col, row, 1, values); }
    virtual std::shared_ptr<ImageBuffer> getThumbnail(bool flag);
    // A rendered tile of the product (the core engine's); the base cannot.
    // rect is in image pixels with a bottom-left origin; *tileIsThumbnail,
    // when given, tells whether the tile was cut from the thumbnail.
    virtual std::unique_ptr<CGImageBitMap> imageTile(float scale, const Rect &rect,
                                                     std::shared_ptr<ColorSyncProfileWrap> destProfile,
                                                     bool *tileIsThumbnail, bool createFloat,
                                                     int orientation);

    std::shared_ptr<TiledEngine> sourceBuf() const { return _sourceBuffer; }
    TileMap &mainMap() { return *mainMap_; }
    Size outputSize() const { return outputSize_; }
    Rect extent() const { return Rect(0, 0, outputSize_.width, outputSize_.height); }
    ReadWriteLock *cacheLock();

    // Not retained: set once when the chain is built; a delegate that has
    // gone away is simply not called.
    std::weak_ptr<OrvantaTiledEngineDelegate> delegate;
    // Tiles this engine has processed since it was made (diagnostics, tests).
    std::atomic<std::uint64_t> tilesProcessed{0};
    int verticalBorder = 0, horizontalBorder = 0;
    bool ignoreEdges = true, reprocessEdgeTiles = false;
    bool edgesDone = false, allTilesDirty = false;
    int numberOfPasses = 1;
    // Workers per pass (0: one per processor) and the tile sweep order; the
    // product must not depend on either, which tests check by changing them.
    int workersPerPass = 0;
    bool reverseSweep = false;
    std::atomic<bool> cachedImageIsDirty{false};
    std::optional<std::string> idForCache;
    bool shouldReleasePrecursors = false;

protected:
    // The key under which this engine's product is cached.
    std::string cacheKey() const { return idForCache.value_or("") + engineName(); }

private:
    void setupObject(std::optional<std::string> cacheId, bool releasePrecursors);
    void worker(const TileRegion &region, int pass, bool lastPass, ImageBuffer *src, ImageBuffer *dst);

    std::shared_ptr<TiledEngine> _sourceBuffer;
    std::shared_ptr<ImageBuffer> _localOutputBuffer;
    Size outputSize_;
    std::unique_ptr<TileMap> mainMap_;
    std::unique_ptr<ReadWriteLock> _cacheLock;
};

} // namespace orvanta
