#pragma once
// The render pipeline of one document: owns the image wrapper and builds over
// it, in five stages, the engine chain raw combine → median (red) → median
// (blue) → mean → sharpening → core colour. A settings change is mapped to
// the earliest stage it affects; renders run one at a time on the pipeline's
// serial queue, and changes that arrive during a render are folded into one
// further cycle. Without a delegate a change renders synchronously on the
// caller (export).
//
// Locks: _syncLock is taken briefly around the flags, isRunning, the queue
// creation, the output swap and pixel read-outs, and never while the chain
// runs.

#include "TiledEngine.h"
#include "platform/Dispatch.h"
#include "platform/Geometry.h"
#include "platform/Value.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace orvanta {

class ImageWrapper;
class ColorSyncProfileWrap;
class RawCombineTiledEngine;
class MedianTiledEngine;
class MeanTiledEngine;
class SharpeningTiledEngine;
class CoreTiledEngine;
class ThreadedImageEngine;

inline constexpr const char *kActiveRectDirtyKey = "Orvanta_ActiveRectDirty";
inline constexpr const char *kNewImageMetadataNotification = "Quenfold_NewImageMetadata";

// Called on the pipeline's render thread (or the caller's, synchronously).
class ThreadedImageEngineDelegate {
public:
    virtual ~ThreadedImageEngineDelegate() = default;
    virtual void CIImageEngineDidStart(ThreadedImageEngine *engine) = 0;
    virtual void CIImageEngineNewMetaData(ThreadedImageEngine *engine) = 0;
    virtual void CIImageEngineDidFinish(ThreadedImageEngine *engine) = 0;
};

class ThreadedImageEngine : public OrvantaTiledEngineDelegate,
                            public std::enable_shared_from_this<ThreadedImageEngine> {
public:
    // initWithRawImage:renderForExport: — empties the shared product cache
    // (every document's) and starts with the decode pending.
    static std::shared_ptr<ThreadedImageEngine> create(std::shared_ptr<ImageWrapper> wrapper,
                                                       bool renderForExport);
    ~ThreadedImageEngine() override;

    // keys: the changed settings keys, or none (counts as one missing key);
    // parameters: the whole settings, or none; area: the visible rectangle in
    // image pixels, or the null rectangle for the whole image.
    void invalidateImageStage(const std::optional<std::vector<std::string>> &keys,
                              const std::optional<Dictionary> &parameters, const Rect &area);
    void engineActiveRectDirty(TiledEngine *sender) override;

    // The earliest stage a key affects; −1 for none, 0 for a key not listed.
    int invalidatedStageForKey(const std::string *key);
    void configureRenderingSpaceForType(const std::optional<std::string> &type, bool useWideGamutExports);

    std::shared_ptr<TiledEngine> outputImage();
    std::shared_ptr<RawCombineTiledEngine> demosaicedImage();
    // The output engine's read-out at one pixel (patch size 1).
    bool getPixelValues(int col, int row, double values[4]);

    std::string cacheEngine() const;
    Dictionary cameraParameters();
    bool highRes() const { return highRes_; }
    std::shared_ptr<const Dictionary> imageParameters() const;
    void setImageParameters(const Dictionary &parameters);
    std::shared_ptr<ThreadedImageEngineDelegate> delegate();
    // Held weakly: the document owns its pipeline, and a callback to a
    // delegate that is going away is skipped instead of reaching it.
    void setDelegate(const std::shared_ptr<ThreadedImageEngineDelegate> &d);
    std::shared_ptr<ImageWrapper> rawFileWrapper() const { return rawFileWrapper_; }
    std::shared_ptr<ColorSyncProfileWrap> renderingSpace();
    void setRenderingSpace(std::shared_ptr<ColorSyncProfileWrap> profile);

    std::shared_ptr<MedianTiledEngine> medianEngine0();
    std::shared_ptr<MedianTiledEngine> medianEngine2();
    std::shared_ptr<MeanTiledEngine> meanEngine();
    std::shared_ptr<SharpeningTiledEngine> sharpEngine();
    std::shared_ptr<CoreTiledEngine> coreEngine();

    // How often stage 0 ran and how many chain runs there were (tests,
    // benchmarks, diagnostics).
    int decodeCount() const { return decodes_.load(); }
    int chainRunCount() const { return chainRuns_.load(); }
    bool isRunning();

    // Consecutive decodes without a master image (and without an error)
    // after which the loop stops instead of decoding forever.
    static constexpr int kMaxDecodesWithoutImage = 3;

    ThreadedImageEngine(const ThreadedImageEngine &) = delete;
    ThreadedImageEngine &operator=(const ThreadedImageEngine &) = delete;

private:
    ThreadedImageEngine(std::shared_ptr<ImageWrapper> wrapper, bool renderForExport);

    void renderLoop(const Rect &r);
    void stage0();
    std::shared_ptr<TiledEngine> stage1();
    std::shared_ptr<TiledEngine> stage2(std::shared_ptr<TiledEngine> input);
    std::shared_ptr<TiledEngine> stage3(std::shared_ptr<TiledEngine> input);
    std::shared_ptr<CoreTiledEngine> stage4(std::shared_ptr<TiledEngine> input);
    void applyDeferredParameters();
    void didFinish(const std::shared_ptr<ThreadedImageEngineDelegate> &d);
    bool wrapperHasError() const;

    std::shared_ptr<ImageWrapper> rawFileWrapper_;
    Dictionary cameraParameters_;
    bool highRes_ = false;
    mutable std::mutex parametersLock_; // makes imageParameters atomic
    std::shared_ptr<const Dictionary> imageParameters_;
    std::weak_ptr<ThreadedImageEngineDelegate> delegate_;
    std::shared_ptr<ColorSyncProfileWrap> renderingSpace_;

    // Guarded by _syncLock.
    bool isRunning_ = false, stage0IsDirty = true, stagenIsDirty = false, activeAreaIsDirty = false;
    bool finishPending_ = false; // a stage-4 change reached a loop past its last DidFinish
    // Stage 1–3 keys that arrived while the chain was running: handed to the
    // engines at the start of the next cycle, never under a running pass.
    std::vector<std::string> deferredKeys_;
    std::map<std::string, int> stageToKey; // made once, read-only after
    std::once_flag stageToKeyOnce_;
    std::shared_ptr<CoreTiledEngine> _outputImage;
    std::shared_ptr<RawCombineTiledEngine> _demosaicedImage;
    std::shared_ptr<dispatch::Queue> serialQueue;
    std::mutex _syncLock;

    // Written by the render loop under _syncLock (loops never overlap).
    std::shared_ptr<MedianTiledEngine> medianEngine0_, medianEngine2_;
    std::shared_ptr<MeanTiledEngine> meanEngine_;
    std::shared_ptr<SharpeningTiledEngine> sharpEngine_;
    std::shared_ptr<CoreTiledEngine> coreEngine_;
    int decodesWithoutImage_ = 0;

    std::atomic<int> decodes_{0}, chainRuns_{0};
};

} // namespace orvanta
