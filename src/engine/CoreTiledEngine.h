#pragma once
// The last engine of the chain: renders the working-space product into the
// picture (exposure-to-the-right gain, the camera profile's gain table, the
// colour matrix, the tone table or the highlight knee) lazily, per tile
// request, from copies of its source's product cached per zoom level.
// Parameter changes recompute the tables (the first time at once, later on
// the high-priority queue) under the settings lock; renders hold it for
// reading.

#include "TiledEngine.h"

#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace orvanta {

class DNGCameraProfileAbstract;

class CoreTiledEngine : public TiledEngine, public std::enable_shared_from_this<CoreTiledEngine> {
public:
    CoreTiledEngine(std::shared_ptr<TiledEngine> source, std::optional<std::string> cacheId, bool release);
    CoreTiledEngine(Size size, std::optional<std::string> cacheId, bool release);

    std::string className() const override { return "CoreTiledEngine"; }
    std::string engineName() const override;

    void setParameters(const std::string *key, const Dictionary &parameters) override;
    std::shared_ptr<TileProcess> runProcessToCompletion(const TileRegion &region) override;
    void processTile(int c0, int c1, int r0, int r1, ImageBuffer *src, ImageBuffer *dst, int pass) override;
    void processEdge(int, int, int, int, ImageBuffer *, ImageBuffer *, int) override {}
    std::unique_ptr<CGImageBitMap> imageTile(float scale, const Rect &rect,
                                             std::shared_ptr<ColorSyncProfileWrap> destProfile,
                                             bool *tileIsThumbnail, bool createFloat,
                                             int orientation) override;
    std::shared_ptr<ImageBuffer> getThumbnail(bool flag) override;
    bool getPixelValues(int col, int row, int patchSize, double values[4]) override;

    float processKnee(float v) const;
    // The zoom key of a display scale: ⌊100 / max(1, 1 / scale)⌋.
    static int zoomKey(float scale);
    // Waits until a recomputation on the queue has finished (tests, export).
    void waitForSettings();

    Dictionary cameraParameters;
    float cameraBaselineExposure = 0, highlightExposureAdjust = 0;
    bool enableCinematic = true;

    // Read-only views for tests and read-outs.
    float matrixAt(int i) const { return matrix[i]; }
    float outputOffsetValue() const { return outputOffset; }
    float kneeLowValue() const { return kneeLow; }
    float kneeFValue() const { return kneeF; }
    void setKnee(float low, float f) { kneeLow = low, kneeF = f; }

private:
    std::unique_ptr<CGImageBitMap> renderPiece(const ImageBuffer &picture, const Rect &crop,
                                               bool fromThumbnail,
                                               const std::shared_ptr<ColorSyncProfileWrap> &destProfile,
                                               bool createFloat, int orientation);
    void recompute(const Dictionary &settings, std::uint64_t generation);

    std::vector<float> fLut;
    std::shared_ptr<DNGCameraProfileAbstract> cameraProfile;
    bool processAsOutputReferred = true, clipWhites = true;
    float ettrMul = 1;
    std::optional<float> toneCurve;
    float matrix[16];
    std::shared_ptr<ImageBufferF32> LUT;
    float outputOffset = 0, kneeLow = 0, kneeF = -1;
    std::unique_ptr<ReadWriteLock> _settingsLock;
    std::mutex thumbLock;
    std::shared_ptr<ImageBuffer> thumbBuf, processsedThumbBuf;
    std::shared_ptr<ImageBuffer> tileSourceBuffer;
    std::map<int, std::shared_ptr<ImageBuffer>> cachedImages;
    bool haveCache_ = false;
    dispatch::Group recomputations_;
    std::atomic<bool> haveTables_{false};
    std::atomic<std::uint64_t> requestedGeneration_{0};
    std::uint64_t appliedGeneration_ = 0; // under the settings lock
};

} // namespace orvanta
