#pragma once
// The tile grid of a tiled engine's output: 512 × 512 tiles, each with a
// state (dirty, edge dirty, clean), a claim lock and the last pass that
// processed it; the region of tiles a rectangle covers; and the record one
// engine run hands to the next.
//
// Locking: the map's recursive tile lock guards building and discarding the
// tracker list and whole-map state changes; a tracker's own lock is the claim
// on that tile. State and pass are atomics, so the unlocked readers
// (dirtyList) see whole values.

#include "ImageBuffer.h"
#include "platform/Dispatch.h"
#include "platform/Geometry.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace orvanta {

inline constexpr int kTileSize = 512;

enum TileState : int { tileIsDirty = 0, tileIsEdgeDirty = 1, tileIsClean = 2 };

struct TileRegion {
    std::int32_t tileResolution = 0;
    std::int32_t firstTileX = -1, firstTileY = -1, lastTileX = -1, lastTileY = -1;
    bool isAll() const { return firstTileX < 0 || firstTileY < 0 || lastTileX < 0 || lastTileY < 0; }
    friend bool operator==(const TileRegion &, const TileRegion &) = default;
};

class TileTracker {
public:
    TileTracker() = default;
    Rect location; // the tile's pixels, clipped to the image
    std::atomic<int> state{tileIsDirty};
    std::recursive_mutex lock;
    std::atomic<int> passTrack{-1};

    // Identity by the integer parts of the origin.
    std::size_t hash() const {
        return static_cast<std::size_t>(static_cast<long>(location.origin.x)) |
               (static_cast<std::size_t>(static_cast<long>(location.origin.y)) << 12);
    }
    bool isEqual(const TileTracker &o) const {
        return static_cast<long>(location.origin.x) == static_cast<long>(o.location.origin.x) &&
               static_cast<long>(location.origin.y) == static_cast<long>(o.location.origin.y);
    }
};

class TileMap {
public:
    using Trackers = std::vector<std::shared_ptr<TileTracker>>;

    explicit TileMap(Size imageSize);

    const Trackers &tileMap();
    void resetTiles();
    std::shared_ptr<TileTracker> getTileTracker(int x, int y);
    TileRegion regionForRect(const Rect &r, int resolution) const;
    Rect rectForRegion(const TileRegion &region) const;
    bool isClean();
    bool isCleanInRect(const Rect &r);
    Trackers dirtyList();

    std::recursive_mutex &tileLock() { return _tileLock; }
    Size imageSize() const { return imageSize_; }
    int xTiles() const { return xTiles_; }
    int yTiles() const { return yTiles_; }

private:
    Size imageSize_;
    Trackers _tileMap;
    std::recursive_mutex _tileLock;
    int xTiles_, yTiles_;
};

struct TileProcess {
    dispatch::Group dispatchGroup;
    TileMap::Trackers dirtyList;
    std::shared_ptr<ImageBuffer> buffer;
};

} // namespace orvanta
