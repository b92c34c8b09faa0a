#pragma once
// The median, mean and sharpening engines between raw combine and the core
// colour engine. Reads across tile borders are made deterministic: each
// median pass reads the processed channel from a snapshot taken before the
// pass, the mean reads the ring around its tile from a snapshot taken before
// the run, and sharpening reads a source no engine writes during its run —
// so the product does not depend on worker count or tile order.

#include "TiledEngine.h"

#include <vector>

namespace orvanta {

// Median and mean pass counts for "Orvanta_ArtifactFilter" × 6 (truncated)
// and "Orvanta_KodakProcessing".
int medianPassesFor(int level, bool kodak);
int meanPassesFor(int level, bool kodak);

class MedianTiledEngine : public TiledEngine {
public:
    MedianTiledEngine(std::shared_ptr<TiledEngine> source, std::optional<std::string> cacheId, bool release,
                      int color);
    std::string className() const override { return "MedianTiledEngine"; }
    std::string engineName() const override;
    void setParameters(const std::string *key, const Dictionary &parameters) override;
    void beforePass(int pass, const TileRegion &region, ImageBuffer *src, ImageBuffer *dst) override;
    void processTile(int c0, int c1, int r0, int r1, ImageBuffer *src, ImageBuffer *dst, int pass) override;
    void processEdge(int, int, int, int, ImageBuffer *, ImageBuffer *, int) override {}

    int colorToProcess = 0;
    int medianFilterPasses = 4;

private:
    std::vector<std::uint16_t> before_; // the channel as it was before this pass
};

class MeanTiledEngine : public TiledEngine {
public:
    MeanTiledEngine(std::shared_ptr<TiledEngine> source, std::optional<std::string> cacheId, bool release);
    std::string className() const override { return "MeanTiledEngine"; }
    std::string engineName() const override;
    void setParameters(const std::string *key, const Dictionary &parameters) override;
    std::shared_ptr<TileProcess> runProcessToCompletion(const TileRegion &region) override;
    void beforePass(int pass, const TileRegion &region, ImageBuffer *src, ImageBuffer *dst) override;
    void processTile(int c0, int c1, int r0, int r1, ImageBuffer *src, ImageBuffer *dst, int pass) override;
    void processEdge(int, int, int, int, ImageBuffer *, ImageBuffer *, int) override {}

    int numberOfFilterPasses = 0;

private:
    std::vector<std::uint16_t> snapshot_; // rows of the buffer before the run, from snapshotY0_
    int snapshotY0_ = 0;
};

class SharpeningTiledEngine : public TiledEngine {
public:
    SharpeningTiledEngine(std::shared_ptr<TiledEngine> source, std::optional<std::string> cacheId,
                          bool release);
    std::string className() const override { return "SharpeningTiledEngine"; }
    std::string engineName() const override;
    void setParameters(const std::string *key, const Dictionary &parameters) override;
    std::shared_ptr<TileProcess> runProcessToCompletion(const TileRegion &region) override;
    void processTile(int c0, int c1, int r0, int r1, ImageBuffer *src, ImageBuffer *dst, int pass) override;
    void processEdge(int, int, int, int, ImageBuffer *, ImageBuffer *, int) override {}

    // Builds the kernel from radius and intensity; false when it cannot.
    bool buildKernel();

    float radius = 0.05f, intensity = 0;
    int length = 3;
    std::vector<float> kernel;
};

} // namespace orvanta
