#include "TileMap.h"

#include <algorithm>

namespace orvanta {

TileMap::TileMap(Size imageSize)
    : imageSize_(imageSize), xTiles_(static_cast<int>((imageSize.width + 511) / 512)),
      yTiles_(static_cast<int>((imageSize.height + 511) / 512)) {}

const TileMap::Trackers &TileMap::tileMap() {
    std::lock_guard lock(_tileLock);
    if (_tileMap.empty() && xTiles_ > 0 && yTiles_ > 0) {
        const Rect bounds(0, 0, imageSize_.width, imageSize_.height);
        _tileMap.reserve(static_cast<std::size_t>(xTiles_) * yTiles_);
        for (int y = 0; y < yTiles_; ++y)
            for (int x = 0; x < xTiles_; ++x) {
                auto t = std::make_shared<TileTracker>();
                t->location = Rect(x * kTileSize, y * kTileSize, kTileSize, kTileSize).intersection(bounds);
                _tileMap.push_back(std::move(t));
            }
    }
    return _tileMap;
}

void TileMap::resetTiles() {
    std::lock_guard lock(_tileLock);
    _tileMap.clear();
}

std::shared_ptr<TileTracker> TileMap::getTileTracker(int x, int y) {
    if (x < 0 || y < 0 || x >= xTiles_ || y >= yTiles_) return nullptr;
    const auto &map = tileMap();
    return map[static_cast<std::size_t>(x) + static_cast<std::size_t>(y) * xTiles_];
}

TileRegion TileMap::regionForRect(const Rect &r, int resolution) const {
    TileRegion region;
    region.tileResolution = resolution;
    if (r.isNull() || r.isEmpty() || r.isInfinite()) return region;
    const Rect s = r.standardized();
    const double x = s.origin.x, y = s.origin.y, w = s.size.width, h = s.size.height;
    region.firstTileX = static_cast<std::int32_t>(std::max(x / 512.0, 0.0));
    region.firstTileY = static_cast<std::int32_t>(std::max(y / 512.0, 0.0));
    // "+ 1": a rectangle ending on a tile boundary takes the next tile too.
    region.lastTileX =
        static_cast<std::int32_t>(std::min(static_cast<double>(xTiles_ - 1), (x + w + 1) / 512.0));
    region.lastTileY =
        static_cast<std::int32_t>(std::min(static_cast<double>(yTiles_ - 1), (y + h + 1) / 512.0));
    return region;
}

Rect TileMap::rectForRegion(const TileRegion &g) const {
    if (g.isAll()) return Rect::null();
    const Rect r(512.0 * g.firstTileX, 512.0 * g.firstTileY, 512.0 * (g.lastTileX + 1) - 512.0 * g.firstTileX,
                 512.0 * (g.lastTileY + 1) - 512.0 * g.firstTileY);
    return r.intersection(Rect(0, 0, imageSize_.width, imageSize_.height));
}

bool TileMap::isClean() {
    std::lock_guard lock(_tileLock);
    const auto &map = tileMap();
    return std::all_of(map.begin(), map.end(), [](const auto &t) { return t->state == tileIsClean; });
}

bool TileMap::isCleanInRect(const Rect &r) {
    std::lock_guard lock(_tileLock);
    const TileRegion g = regionForRect(r, 0);
    if (g.isAll()) return false; // a tile outside the grid counts as not clean
    for (int y = g.firstTileY; y <= g.lastTileY; ++y)
        for (int x = g.firstTileX; x <= g.lastTileX; ++x) {
            auto t = getTileTracker(x, y);
            if (!t || t->state != tileIsClean) return false;
        }
    return true;
}

TileMap::Trackers TileMap::dirtyList() {
    Trackers out;
    for (int y = 0; y < yTiles_; ++y)
        for (int x = 0; x < xTiles_; ++x)
            if (auto t = getTileTracker(x, y); t && t->state != tileIsClean) out.push_back(t);
    return out;
}

} // namespace orvanta
