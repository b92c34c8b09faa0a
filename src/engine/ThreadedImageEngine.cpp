#include "ThreadedImageEngine.h"

#include "CoreTiledEngine.h"
#include "FilterEngines.h"
#include "IntermediateProductCache.h"
#include "RawCombineTiledEngine.h"
#include "color/ColorSyncProfileWrap.h"
#include "color/DNGCameraProfile.h"
#include "color/ProfileManager.h"
#include "input/ImageWrapper.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"

#include <cstdio>
#include <cstdlib>
#include <strings.h>

namespace orvanta {

namespace {

const char *const kStageTable[][2] = {
    {"Orvanta_CameraProfile", "0"},
    {"Orvanta_iccProfile", "0"},
    {"Orvanta_MonochromeSensor", "0"},
    {"Orvanta_MaintainWhites", "0"},
    {"Orvanta_ArtifactSuppression", "1"},
    {"Orvanta_ChromaArtifactSuppression", "1"},
    {"Orvanta_ArtifactFilter", "2"},
    {"Orvanta_KodakProcessing", "2"},
    {"Orvanta_Filter_inputRadius", "3"},
    {"Orvanta_Filter_inputIntensity", "3"},
    {"Orvanta_Filter_inputEV", "4"},
    {"Orvanta_Filter_inputContrast", "4"},
    {"Orvanta_Filter_inputBrightness", "4"},
    {"Orvanta_Filter_inputFillLight", "4"},
    {"Orvanta_Filter_inputHighLight", "4"},
    {"Orvanta_Filter_inputKneeLow", "4"},
    {"Orvanta_Filter_inputKneeHigh", "4"},
    {"Orvanta_Filter_inputSaturation", "4"},
    {"Orvanta_Filter_inputAngle", "4"},
    {"Orvanta_Filter_monochromeRed", "4"},
    {"Orvanta_Filter_monochromeYellow", "4"},
    {"Orvanta_Filter_monochromeGreen", "4"},
    {"Orvanta_Filter_monochromeCyan", "4"},
    {"Orvanta_Filter_monochromeBlue", "4"},
    {"Orvanta_IRUVSensor", "4"},
    {"Orvanta_ettrAdjust", "4"},
    {"Orvanta_SceneReferred", "4"},
    {"Orvanta_toneCurveAdjust", "4"},
    {"Orvanta_Filter_inputTemperature", "4"},
    {"Orvanta_Filter_inputTint", "4"},
    {"Orvanta_ExportFileType", "-1"},
    {"Orvanta_JPEGQuality", "-1"},
    {"Orvanta_PresetUUID", "-1"},
    {"displayName", "-1"},
};

template <class T> std::shared_ptr<T> objectFor(const Dictionary &d, const char *key) {
    const Value *v = d.get(key);
    return v ? v->objectAs<T>() : nullptr;
}

} // namespace

std::shared_ptr<ThreadedImageEngine> ThreadedImageEngine::create(std::shared_ptr<ImageWrapper> wrapper,
                                                                 bool renderForExport) {
    return std::shared_ptr<ThreadedImageEngine>(new ThreadedImageEngine(std::move(wrapper), renderForExport));
}

ThreadedImageEngine::ThreadedImageEngine(std::shared_ptr<ImageWrapper> wrapper, bool renderForExport)
    : rawFileWrapper_(std::move(wrapper)), highRes_(renderForExport),
      imageParameters_(std::make_shared<const Dictionary>()) {
    IntermediateProductCache::sharedIntermediateProductCache()->removeAllObjects();
}

ThreadedImageEngine::~ThreadedImageEngine() {
    // A recomputation queued on the core engine holds the engine, not us;
    // the cache entries of this pipeline's filters go with it.
    if (_demosaicedImage) _demosaicedImage->flushCache();
    if (auto out = _outputImage ? _outputImage : coreEngine_) {
        out->waitForSettings();
        out->flushCache();
    }
}

int ThreadedImageEngine::invalidatedStageForKey(const std::string *key) {
    std::call_once(stageToKeyOnce_, [this] {
        for (const auto &row : kStageTable)
            stageToKey.emplace(row[0], std::atoi(row[1]));
    });
    if (!key) return 0;
    auto it = stageToKey.find(*key);
    return it == stageToKey.end() ? 0 : it->second;
}

std::string ThreadedImageEngine::cacheEngine() const {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", static_cast<const void *>(this));
    return buf;
}

std::shared_ptr<const Dictionary> ThreadedImageEngine::imageParameters() const {
    std::lock_guard lock(parametersLock_);
    return imageParameters_;
}

void ThreadedImageEngine::setImageParameters(const Dictionary &parameters) {
    auto copy = std::make_shared<const Dictionary>(parameters);
    std::lock_guard lock(parametersLock_);
    imageParameters_ = std::move(copy);
}

Dictionary ThreadedImageEngine::cameraParameters() {
    std::lock_guard lock(_syncLock);
    return cameraParameters_;
}

void ThreadedImageEngine::setDelegate(const std::shared_ptr<ThreadedImageEngineDelegate> &d) {
    std::lock_guard lock(_syncLock);
    delegate_ = d;
}

std::shared_ptr<ThreadedImageEngineDelegate> ThreadedImageEngine::delegate() {
    std::lock_guard lock(_syncLock);
    return delegate_.lock();
}

std::shared_ptr<ColorSyncProfileWrap> ThreadedImageEngine::renderingSpace() {
    std::lock_guard lock(_syncLock);
    return renderingSpace_;
}

void ThreadedImageEngine::setRenderingSpace(std::shared_ptr<ColorSyncProfileWrap> profile) {
    std::lock_guard lock(_syncLock);
    renderingSpace_ = std::move(profile);
}

void ThreadedImageEngine::configureRenderingSpaceForType(const std::optional<std::string> &type,
                                                         bool useWideGamutExports) {
    auto &pm = ProfileManager::sharedManager();
    std::shared_ptr<ColorSyncProfileWrap> p;
    if (!type)
        p = pm.getProPhotoGamma1_D65Profile();
    else if (*type == "com.adobe.dng" || *type == "public.tiff")
        p = pm.getProPhotoGamma1Profile();
    else if (*type == "com.ilm.openexr-image")
        p = useWideGamutExports ? pm.getProPhotoGamma1Profile() : pm.getRec709Gamma1Profile();
    else
        p = pm.getSRGBProfile();
    setRenderingSpace(std::move(p));
}

std::shared_ptr<TiledEngine> ThreadedImageEngine::outputImage() {
    std::lock_guard lock(_syncLock);
    return _outputImage;
}

std::shared_ptr<RawCombineTiledEngine> ThreadedImageEngine::demosaicedImage() {
    std::lock_guard lock(_syncLock);
    return _demosaicedImage;
}

std::shared_ptr<MedianTiledEngine> ThreadedImageEngine::medianEngine0() {
    std::lock_guard lock(_syncLock);
    return medianEngine0_;
}
std::shared_ptr<MedianTiledEngine> ThreadedImageEngine::medianEngine2() {
    std::lock_guard lock(_syncLock);
    return medianEngine2_;
}
std::shared_ptr<MeanTiledEngine> ThreadedImageEngine::meanEngine() {
    std::lock_guard lock(_syncLock);
    return meanEngine_;
}
std::shared_ptr<SharpeningTiledEngine> ThreadedImageEngine::sharpEngine() {
    std::lock_guard lock(_syncLock);
    return sharpEngine_;
}
std::shared_ptr<CoreTiledEngine> ThreadedImageEngine::coreEngine() {
    std::lock_guard lock(_syncLock);
    return coreEngine_;
}

bool ThreadedImageEngine::isRunning() {
    std::lock_guard lock(_syncLock);
    return isRunning_;
}

bool ThreadedImageEngine::getPixelValues(int col, int row, double values[4]) {
    std::lock_guard lock(_syncLock);
    if (!_outputImage) {
        values[0] = values[1] = values[2] = 0;
        values[3] = 1;
        return false;
    }
    return _outputImage->getPixelValues(col, row, 1, values);
}

void ThreadedImageEngine::engineActiveRectDirty(TiledEngine *) {
    invalidateImageStage(std::vector<std::string>{kActiveRectDirtyKey}, std::nullopt, Rect::null());
}

void ThreadedImageEngine::invalidateImageStage(const std::optional<std::vector<std::string>> &keys,
                                               const std::optional<Dictionary> &parameters,
                                               const Rect &area) {
    bool start = false;
    std::shared_ptr<ThreadedImageEngineDelegate> d;
    {
        std::lock_guard lock(_syncLock);
        d = delegate_.lock();
        auto one = [&](const std::string *key) {
            if (!key || strcasecmp(key->c_str(), kActiveRectDirtyKey) == 0) {
                activeAreaIsDirty = true;
                start = !isRunning_;
            }
            if (!parameters) return;
            const int stage = invalidatedStageForKey(key);
            if (stage < 0) return;
            setImageParameters(*parameters);
            start = !isRunning_;
            if (stage == 0) {
                stage0IsDirty = true;
                return;
            }
            if (stage <= 3) stagenIsDirty = true;
            if (!_outputImage) return; // the first build reads every setting
            // A stage-4 change raises no flag: a loop that is finishing must
            // still report it, or readers would never re-render for it.
            if (stage == 4 && isRunning_) finishPending_ = true;
            if (stage <= 3 && isRunning_) {
                // The filter engines must not see new settings in the middle
                // of a pass: the next cycle hands them over.
                deferredKeys_.push_back(key ? *key : std::string());
                return;
            }
            _outputImage->setParameters(key, *parameters);
        };
        if (!keys)
            one(nullptr);
        else
            for (const auto &k : *keys)
                one(&k);
    }

    if (!d) {
        // The synchronous form (export). A loop started for the display may
        // still be running on the queue: this one waits behind it rather than
        // running the same engines at the same time.
        std::shared_ptr<dispatch::Queue> queue;
        {
            std::lock_guard lock(_syncLock);
            queue = serialQueue;
        }
        if (queue)
            queue->sync([this, area] { renderLoop(area); });
        else
            renderLoop(area);
        return;
    }
    if (!start) return; // the running loop sees the new flags
    std::unique_lock lock(_syncLock);
    if (!serialQueue) serialQueue = dispatch::createSerialQueue("org.orvanta.render." + cacheEngine());
    if (serialQueue) {
        serialQueue->async([self = shared_from_this(), area] { self->renderLoop(area); });
        return;
    }
    logMessage("%s warning - no serial queue",
               "-[ThreadedImageEngine invalidateImageStage:newParameters:activeArea:]");
    lock.unlock();
    renderLoop(area);
}

bool ThreadedImageEngine::wrapperHasError() const {
    return rawFileWrapper_ && rawFileWrapper_->error().has_value();
}

void ThreadedImageEngine::didFinish(const std::shared_ptr<ThreadedImageEngineDelegate> &d) {
    // Readers re-render on this callback: the core engine's tables for the
    // last change must be in place by then, not still on their way.
    std::shared_ptr<CoreTiledEngine> core;
    {
        std::lock_guard lock(_syncLock);
        core = coreEngine_;
    }
    if (core) core->waitForSettings();
    if (d) d->CIImageEngineDidFinish(this);
}

void ThreadedImageEngine::applyDeferredParameters() {
    std::vector<std::string> keys;
    std::shared_ptr<TiledEngine> out;
    {
        std::lock_guard lock(_syncLock);
        keys.swap(deferredKeys_);
        out = _outputImage;
    }
    if (!out || keys.empty()) return;
    const auto parameters = imageParameters();
    for (const auto &k : keys)
        out->setParameters(k.empty() ? nullptr : &k, *parameters);
}

void ThreadedImageEngine::renderLoop(const Rect &r) {
    std::shared_ptr<ThreadedImageEngineDelegate> d;
    bool ranCycle = false, extraFinish = false;
    std::unique_lock lock(_syncLock);
    for (;;) {
        d = delegate_.lock();
        if (!(stage0IsDirty || stagenIsDirty || activeAreaIsDirty) || wrapperHasError()) {
            // Stop and leave the running state in one step, so that a flag
            // raised during the last cycle is never left without a loop.
            isRunning_ = false;
            extraFinish = finishPending_;
            finishPending_ = false;
            break;
        }
        lock.unlock();
        ranCycle = true;
        if (d) d->CIImageEngineDidStart(this);

        lock.lock();
        isRunning_ = true;
        finishPending_ = false; // this cycle's DidFinish reports it
        const bool decode = stage0IsDirty;
        stage0IsDirty = false;
        if (decode) deferredKeys_.clear(); // the rebuild hands every setting over
        lock.unlock();

        if (decode) {
            stage0();
            std::shared_ptr<CoreTiledEngine> out = stage4(stage3(stage2(stage1())));
            lock.lock();
            if (out) {
                _outputImage = out;
                decodesWithoutImage_ = 0;
                stagenIsDirty = true;
            } else if (!wrapperHasError() && ++decodesWithoutImage_ >= kMaxDecodesWithoutImage) {
                logMessage("%s giving up: %d decodes gave no image", "-[ThreadedImageEngine renderLoop]",
                           decodesWithoutImage_);
                decodesWithoutImage_ = 0;
                stagenIsDirty = activeAreaIsDirty = false;
            } else {
                stage0IsDirty = stagenIsDirty = true;
            }
            lock.unlock();
        } else {
            applyDeferredParameters();
        }

        lock.lock();
        const std::shared_ptr<CoreTiledEngine> out = _outputImage;
        Rect whole;
        if (rawFileWrapper_)
            whole = Rect(0, 0, rawFileWrapper_->imageWidth(), rawFileWrapper_->imageHeight());
        const Rect renderRect = r.isNull() ? whole : r.intersection(whole);
        if (activeAreaIsDirty && out && out->mainMap().isClean()) activeAreaIsDirty = false;
        const bool run = (stagenIsDirty || activeAreaIsDirty) && !stage0IsDirty;
        if (run) stagenIsDirty = activeAreaIsDirty = false;
        if (run && out && highRes_) _demosaicedImage.reset(); // the chain frees it after use
        lock.unlock();

        if (run && out && !renderRect.isNull() && !renderRect.isEmpty()) {
            out->runProcessToCompletion(out->mainMap().regionForRect(renderRect, 0));
            chainRuns_.fetch_add(1);
        }
        didFinish(d);
        lock.lock();
    }
    lock.unlock();
    if (!ranCycle || extraFinish) didFinish(d);
}

void ThreadedImageEngine::stage0() {
    decodes_.fetch_add(1);
    if (!rawFileWrapper_) {
        logMessage("Error: rawFileWrapper nil in %s", "-[ThreadedImageEngine stage0]");
        return;
    }
    const auto parameters = imageParameters();
    rawFileWrapper_->setScannerProfile(objectFor<ColorSyncProfileWrap>(*parameters, "Orvanta_iccProfile"));
    rawFileWrapper_->setCameraProfile(
        objectFor<DNGCameraProfileAbstract>(*parameters, "Orvanta_CameraProfile"));
    rawFileWrapper_->setProcessAsMonchromeSensor(parameters->boolFor("Orvanta_MonochromeSensor"));
    rawFileWrapper_->setMaintainHighlights(parameters->boolFor("Orvanta_MaintainWhites"));
    rawFileWrapper_->masterImageBytes();
    if (const auto &error = rawFileWrapper_->error()) {
        logMessage("Raw file error: %s", error->description().c_str());
        return;
    }
    Dictionary camera = rawFileWrapper_->getParameters().value_or(Dictionary{});
    std::shared_ptr<ThreadedImageEngineDelegate> d;
    {
        std::lock_guard lock(_syncLock);
        cameraParameters_ = std::move(camera);
        d = delegate_.lock();
    }
    if (d) {
        d->CIImageEngineNewMetaData(this);
        NotificationCenter::defaultCenter().post(kNewImageMetadataNotification, d.get());
    }
}

std::shared_ptr<TiledEngine> ThreadedImageEngine::stage1() {
    std::unique_lock lock(_syncLock);
    std::shared_ptr<RawCombineTiledEngine> current = _demosaicedImage;
    lock.unlock();
    if (!rawFileWrapper_ || wrapperHasError()) return current;
    if (!rawFileWrapper_->masterImageBytes()) {
        logMessage(" No master image in %s", "-[ThreadedImageEngine stage1]");
        return current;
    }
    const Size size{double(rawFileWrapper_->imageWidth()), double(rawFileWrapper_->imageHeight())};
    if (current && current->outputSize() == size) return current;
    // First cycle, or a decode of another size: a chain over the old size
    // would read past the new pixels, so it is built anew.
    auto combine = std::make_shared<RawCombineTiledEngine>(rawFileWrapper_, highRes_);
    combine->ignoreEdges = false;
    combine->reprocessEdgeTiles = false;
    combine->verticalBorder = combine->horizontalBorder = 8;
    lock.lock();
    _demosaicedImage = combine;
    medianEngine0_.reset();
    medianEngine2_.reset();
    meanEngine_.reset();
    sharpEngine_.reset();
    coreEngine_.reset();
    return combine;
}

std::shared_ptr<TiledEngine> ThreadedImageEngine::stage2(std::shared_ptr<TiledEngine> input) {
    if (!input) return nullptr;
    std::lock_guard lock(_syncLock);
    if (medianEngine0_ && meanEngine_ && medianEngine0_->sourceBuf() == input) return meanEngine_;
    const std::string prefix = cacheEngine();
    auto filter = [](TiledEngine &e) {
        e.ignoreEdges = true;
        e.reprocessEdgeTiles = true;
        e.verticalBorder = e.horizontalBorder = 2;
    };
    medianEngine0_ = std::make_shared<MedianTiledEngine>(input, prefix, highRes_, 0);
    filter(*medianEngine0_);
    medianEngine2_ = std::make_shared<MedianTiledEngine>(medianEngine0_, prefix, highRes_, 2);
    filter(*medianEngine2_);
    meanEngine_ = std::make_shared<MeanTiledEngine>(medianEngine2_, prefix, highRes_);
    filter(*meanEngine_);
    sharpEngine_.reset();
    coreEngine_.reset();
    return meanEngine_;
}

std::shared_ptr<TiledEngine> ThreadedImageEngine::stage3(std::shared_ptr<TiledEngine> input) {
    if (!input) return nullptr;
    std::lock_guard lock(_syncLock);
    if (sharpEngine_ && sharpEngine_->sourceBuf() == input) return sharpEngine_;
    sharpEngine_ = std::make_shared<SharpeningTiledEngine>(input, std::nullopt, highRes_);
    sharpEngine_->ignoreEdges = true;
    sharpEngine_->reprocessEdgeTiles = true;
    sharpEngine_->verticalBorder = sharpEngine_->horizontalBorder = 0;
    coreEngine_.reset();
    return sharpEngine_;
}

std::shared_ptr<CoreTiledEngine> ThreadedImageEngine::stage4(std::shared_ptr<TiledEngine> input) {
    if (!input) return nullptr;
    std::shared_ptr<CoreTiledEngine> core;
    {
        std::lock_guard lock(_syncLock);
        if (!coreEngine_ || coreEngine_->sourceBuf() != input) {
            coreEngine_ = std::make_shared<CoreTiledEngine>(input, std::nullopt, highRes_);
            coreEngine_->delegate = weak_from_this();
        }
        core = coreEngine_;
        // Invalidations hand settings to this engine under the same lock, so
        // no recomputation reads the fields while they change.
        core->waitForSettings();
        core->cameraParameters = cameraParameters_;
        core->ignoreEdges = true;
        core->reprocessEdgeTiles = false;
        core->verticalBorder = core->horizontalBorder = 0;
        if (rawFileWrapper_) {
            core->cameraBaselineExposure = rawFileWrapper_->cameraBaselineExposure();
            core->highlightExposureAdjust = rawFileWrapper_->highlightExposureAdjust();
        }
    }
    core->setParameters(nullptr, *imageParameters());
    return core;
}

} // namespace orvanta
