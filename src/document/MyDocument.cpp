#include "MyDocument.h"

#include "MultiDataStore.h"
#include "PresetManager.h"
#include "color/ColorSyncProfileWrap.h"
#include "color/DNGCameraProfile.h"
#include "engine/RawCombineTiledEngine.h"
#include "input/ImageWrapper.h"
#include "platform/Dispatch.h"
#include "platform/Log.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <strings.h>

namespace orvanta {

namespace {

bool hasPrefix(const std::string &s, const char *prefix) {
    return s.rfind(prefix, 0) == 0;
}
bool isSettingsKey(const std::string &key) {
    return hasPrefix(key, "Orvanta_") || hasPrefix(key, "Quenfold_");
}
} // namespace

const std::vector<std::string> &MyDocument::observedKeys() {
    static const std::vector<std::string> keys = {"Orvanta_iccProfile",
                                                  "Orvanta_CameraProfile",
                                                  "Orvanta_SceneReferred",
                                                  "Orvanta_MaintainWhites",
                                                  "Orvanta_MonochromeSensor",
                                                  "Orvanta_ArtifactSuppression",
                                                  "Orvanta_ChromaArtifactSuppression",
                                                  "Orvanta_ettrAdjust",
                                                  "Orvanta_toneCurveAdjust",
                                                  "Orvanta_ArtifactFilter",
                                                  "Orvanta_KodakProcessing"};
    return keys;
}

std::shared_ptr<MyDocument> MyDocument::create() {
    return std::shared_ptr<MyDocument>(new MyDocument);
}

MyDocument::MyDocument() {
    imageDefaults = Dictionary{
        {"Orvanta_Filter_inputEV", 0.0f},
        {"Orvanta_Filter_inputContrast", 0.0f},
        {"Orvanta_Filter_inputBrightness", 0.0f},
        {"Orvanta_Filter_inputFillLight", 0.0f},
        {"Orvanta_Filter_inputHighLight", 0.0f},
        {"Orvanta_Filter_inputKneeHigh", 3.5f},
        {"Orvanta_Filter_inputKneeLow", 0.0f},
        {"Orvanta_Filter_inputSaturation", 1.0f},
        {"Orvanta_Filter_inputAngle", 0.0f},
        {"Orvanta_Filter_inputRadius", 0.8f},
        {"Orvanta_Filter_inputIntensity", 1.0f},
        {"Orvanta_Filter_monochromeRed", 1.0f},
        {"Orvanta_Filter_monochromeYellow", 1.0f},
        {"Orvanta_Filter_monochromeGreen", 1.0f},
        {"Orvanta_Filter_monochromeCyan", 1.0f},
        {"Orvanta_Filter_monochromeBlue", 1.0f},
        {"Orvanta_CameraProfile", Value(DNGCameraProfileAbstract::initAsAutoProfile())},
        {"Orvanta_iccProfile", Value(ColorSyncProfileWrap::initAsAutoProfile())},
        {"Orvanta_MaintainWhites", true},
        {"Orvanta_MonochromeSensor", false},
        {"Orvanta_IRUVSensor", false},
        {"Orvanta_ArtifactSuppression", 1.0f},
        {"Orvanta_ChromaArtifactSuppression", 1.0f},
        {"Orvanta_ettrAdjust", 0.0f},
        {"Orvanta_toneCurveAdjust", 1.0f},
        {"Orvanta_ArtifactFilter", 0.0f},
        {"Orvanta_KodakProcessing", true},
        {"Orvanta_ExportFileType", std::int32_t{0}},
        {"Orvanta_JPEGQuality", 10.0f},
    };
    imageParameters = imageDefaults;
    imageParameters.set("Orvanta_UseAsShotWB", true);
}

MyDocument::~MyDocument() {
    if (displayEngine_) displayEngine_->setDelegate(nullptr);
}

// ----- settings --------------------------------------------------------------

std::optional<Value> MyDocument::valueForKey(const std::string &key) {
    if (hasPrefix(key, "Orvanta_metaData")) {
        auto wrapper = displayEngine_ ? displayEngine_->rawFileWrapper() : nullptr;
        if (!wrapper) return std::nullopt;
        return Value(wrapper->metaData());
    }
    if (isSettingsKey(key)) {
        const Value *v = imageParameters.get(key);
        if (!v) return std::nullopt;
        return *v;
    }
    if (key == "displayName") return Value(displayName_);
    return std::nullopt;
}

void MyDocument::setValue(const std::optional<Value> &value, const std::string &key) {
    if (!value || key.empty())
        logMessage("ERROR : NULL value in %s : %s\n", "-[MyDocument setValue:forKey:]", key.c_str());
    if (!isSettingsKey(key)) return;
    storeSetting(key, value);
    if (hasPrefix(key, "Orvanta_Filter_")) markAdjustedImageDirty({key});
}

MyDocument::Token MyDocument::addObserver(const std::string &keyPath, Observer observer) {
    const Token t = nextToken_++;
    observers_.emplace(t, std::make_pair(keyPath, std::move(observer)));
    return t;
}

void MyDocument::removeObserver(Token token) {
    observers_.erase(token);
}

void MyDocument::storeSetting(const std::string &key, const std::optional<Value> &value) {
    imageParameters.set(key, value.value_or(Value::null()));
    settingChanged(key);
}

void MyDocument::removeSetting(const std::string &key) {
    if (imageParameters.remove(key)) settingChanged(key);
}

void MyDocument::settingChanged(const std::string &key) {
    std::vector<Observer> toTell;
    for (const auto &[token, entry] : observers_)
        if (entry.first == key) toTell.push_back(entry.second);
    for (const auto &o : toTell)
        o(key);
    if (!observingSettings_) return;
    // Filter keys reach the pipeline from setValue itself; these eleven are
    // passed on whoever changes them.
    const auto &watched = observedKeys();
    if (std::find(watched.begin(), watched.end(), key) != watched.end()) markAdjustedImageDirty({key});
}

Dictionary MyDocument::imageDefaultsCopy() {
    std::lock_guard lock(defaultsLock_);
    return imageDefaults;
}

void MyDocument::addWindowController(std::shared_ptr<DocumentWindowController> controller) {
    observingSettings_ = true;
    if (controller) windowControllers_.push_back(std::move(controller));
}

void MyDocument::removeWindowController(const std::shared_ptr<DocumentWindowController> &controller) {
    std::erase(windowControllers_, controller);
}

void MyDocument::documentIsForDisplay(bool display) {
    if (!display || !displayEngine_) return;
    displayEngine_->setDelegate(shared_from_this());
    displayEngine_->configureRenderingSpaceForType(std::nullopt, false);
    displayEngine_->invalidateImageStage(std::nullopt, imageParameters, Rect::null());
}

std::optional<Dictionary> MyDocument::getCameraParameters() {
    if (!displayEngine_) return std::nullopt;
    return displayEngine_->cameraParameters();
}

std::shared_ptr<RawCombineTiledEngine> MyDocument::originalImage() {
    return displayEngine_ ? displayEngine_->demosaicedImage() : nullptr;
}

std::shared_ptr<TiledEngine> MyDocument::adjustedImage() {
    return displayEngine_ ? displayEngine_->outputImage() : nullptr;
}

void MyDocument::markAdjustedImageDirty(const std::vector<std::string> &keys) {
    Rect area = Rect::null();
    for (const auto &wc : windowControllers_) {
        const Rect r = wc->activeTiledRect();
        const double parts[4] = {r.origin.x, r.origin.y, r.size.width, r.size.height};
        if (std::all_of(std::begin(parts), std::end(parts), [](double v) { return v >= 0; })) area = r;
    }
    if (displayEngine_) displayEngine_->invalidateImageStage(keys, imageParameters, area);
}

void MyDocument::addSettingValues(const Dictionary *settings) {
    if (!settings) return;
    std::vector<std::string> changed;
    for (const auto &[key, value] : *settings) {
        if (const Dictionary *d = value.dictionary()) {
            Value *existing = imageParameters.find(key);
            if (existing && existing->dictionary()) {
                Dictionary merged = *existing->dictionary();
                merged.merge(*d);
                storeSetting(key, Value(std::move(merged)));
            } else {
                storeSetting(key, value);
            }
            continue;
        }
        storeSetting(key, value);
        changed.push_back(key);
        if (strcasecmp(key.c_str(), "Orvanta_Filter_inputTemperature") == 0)
            removeSetting("Orvanta_UseAsShotWB");
    }
    if (!changed.empty()) markAdjustedImageDirty(changed);
}

void MyDocument::setToDefault(const std::string &key) {
    std::optional<Value> value;
    {
        std::lock_guard lock(defaultsLock_);
        if (const Value *v = imageDefaults.get(key)) value = *v;
    }
    if (!value) return;
    storeSetting(key, value);
    markAdjustedImageDirty({key});
}

// ----- white balance, crop, orientation ---------------------------------------

std::optional<ColorHelper> MyDocument::wbFromMetaData() {
    return wbFromWrapper(displayEngine_ ? displayEngine_->rawFileWrapper() : nullptr);
}

std::optional<ColorHelper> MyDocument::wbFromWrapper(const std::shared_ptr<ImageWrapper> &wrapper) {
    if (!wrapper) return std::nullopt;
    const auto parameters = wrapper->getParameters();
    if (!parameters) return std::nullopt;
    const Value *x = parameters->get("asShotWhitex");
    const Value *y = parameters->get("asShotWhitey");
    if (!x || !y || !x->toFloat() || !y->toFloat()) return std::nullopt;
    const float wx = *x->toFloat(), wy = *y->toFloat();
    // A camera without an as-shot white reports (0, 0), which is no colour:
    // taking it would set an absurd white balance.
    if (!(wx > 0) || !(wy > 0)) return std::nullopt;
    ColorHelper color;
    color.setFromxyCoord(wx, wy);
    return color;
}

void MyDocument::setWBFromColor(ColorHelper &color) {
    const float t =
        std::clamp(color.fTemperature(), ColorHelper::kMinTemperature, ColorHelper::kMaxTemperature);
    const float tint = std::clamp(color.fTint(), -ColorHelper::kMaxTint, ColorHelper::kMaxTint);
    color.setFTemperature(t);
    color.setFTint(tint);
    for (const auto &wc : windowControllers_)
        wc->setTempAndTint(t, tint);
    storeSetting("Orvanta_Filter_inputTemperature", Value(t));
    storeSetting("Orvanta_Filter_inputTint", Value(tint));
}

void MyDocument::setWBToAsShotFromImageParameters() {
    if (auto color = wbFromMetaData()) setWBFromColor(*color);
}

void MyDocument::setWBAsShot() {
    setWBToAsShotFromImageParameters();
    markAdjustedImageDirty({"Orvanta_Filter_inputTemperature"});
}

void MyDocument::setWBFromPoint(double x, double y) {
    auto wrapper = displayEngine_ ? displayEngine_->rawFileWrapper() : nullptr;
    if (!wrapper) return;
    const Dictionary camera = displayEngine_->cameraParameters();
    const Value *wx = camera.get("asShotWhitex"), *wy = camera.get("asShotWhitey");
    if (!wx || !wy || !wx->toFloat() || !wy->toFloat() || !(*wx->toFloat() > 0) || !(*wy->toFloat() > 0)) return;
    auto image = displayEngine_->demosaicedImage();
    double values[4];
    if (!image || !image->getPixelValues(static_cast<int>(x), static_cast<int>(y), 5, values)) {
        logMessage("%s Warning: getPixelValues failed for %f %f", "-[MyDocument setWBFromPoint:]", x, y);
        return;
    }
    const float asShot[2] = {*wx->toFloat(), *wy->toFloat()};
    float d50[2];
    ColorHelper::D50_xy_coord(&d50[0], &d50[1]);
    float m[3][3];
    ColorHelper::MapWhiteMatrix(d50, asShot, m);
    float xyz[3], mapped[3];
    ColorHelper::ProPhotoRGBtoXYZ(static_cast<float>(values[0]), static_cast<float>(values[1]),
                                  static_cast<float>(values[2]), xyz);
    for (int i = 0; i < 3; ++i)
        mapped[i] = m[i][0] * xyz[0] + m[i][1] * xyz[1] + m[i][2] * xyz[2];
    ColorHelper color;
    color.setFromXYZCoord(mapped);
    setWBFromColor(color);
    markAdjustedImageDirty({"Orvanta_Filter_inputTemperature"});
}

void MyDocument::setSceneReferred(bool sceneReferred) {
    for (const auto &wc : windowControllers_)
        wc->setSceneReferred(sceneReferred);
    storeSetting("Orvanta_SceneReferred", Value(sceneReferred));
}

void MyDocument::cropRectChanged(const Rect &r) {
    storeSetting("Orvanta_CropRect_x", Value(static_cast<float>(r.origin.x)));
    storeSetting("Orvanta_CropRect_y", Value(static_cast<float>(r.origin.y)));
    storeSetting("Orvanta_CropRect_width", Value(static_cast<float>(r.size.width)));
    storeSetting("Orvanta_CropRect_height", Value(static_cast<float>(r.size.height)));
}

Rect MyDocument::getCropRect() const {
    double v[4] = {-1, -1, -1, -1};
    const char *keys[4] = {"Orvanta_CropRect_x", "Orvanta_CropRect_y", "Orvanta_CropRect_width",
                           "Orvanta_CropRect_height"};
    bool haveHeight = false;
    for (int i = 0; i < 4; ++i)
        if (const Value *x = imageParameters.get(keys[i]); x && x->toFloat()) {
            v[i] = static_cast<double>(*x->toFloat());
            if (i == 3) haveHeight = true;
        }
    if (v[2] < 16 || !haveHeight || v[3] < 16) return Rect(-1, -1, -1, -1);
    return Rect(v[0], v[1], v[2], v[3]);
}

void MyDocument::orientationChanged(int orientation) {
    storeSetting("Orvanta_ImageOrientation", Value(static_cast<float>(orientation)));
}

int MyDocument::getOrientation() const {
    const Value *v = imageParameters.get("Orvanta_ImageOrientation");
    return v && v->toFloat() ? static_cast<int>(*v->toFloat()) : 1;
}

std::string MyDocument::pixelValueString(double x, double y) {
    std::lock_guard lock(monitor_);
    double v[4];
    if (!displayEngine_ || !displayEngine_->getPixelValues(static_cast<int>(x), static_cast<int>(y), v))
        return "-";
    return formatPixelValues(v);
}

std::string MyDocument::formatPixelValues(const double values[3]) {
    float p[3];
    for (int i = 0; i < 3; ++i) {
        const float f = static_cast<float>(values[i]);
        float s;
        if (f <= 0)
            s = 0;
        else if (f <= 0.0031308f)
            s = 12.92f * f;
        else
            s = 1.055f * std::pow(f, 1.0f / 2.4f) - 0.055f;
        p[i] = s * 100.0f;
    }
    char out[64];
    std::snprintf(out, sizeof out, "R:%5.1f, G:%5.1f, B:%5.1f", p[0], p[1], p[2]);
    return out;
}

// ----- pipeline callbacks -----------------------------------------------------

void MyDocument::CIImageEngineDidStart(ThreadedImageEngine *) {
    std::weak_ptr<MyDocument> weak = weak_from_this();
    dispatch::mainQueue()->async([weak] {
        if (auto self = weak.lock())
            NotificationCenter::defaultCenter().post(kEngineDidStartNotification, self.get());
    });
}

void MyDocument::CIImageEngineNewMetaData(ThreadedImageEngine *engine) {
    // On the render thread: the pipeline that calls is used, not the
    // document's field, which the main thread may be clearing.
    if (auto color = wbFromWrapper(engine ? engine->rawFileWrapper() : nullptr)) {
        std::lock_guard lock(defaultsLock_);
        imageDefaults.set("Orvanta_Filter_inputTemperature", Value(color->fTemperature()));
        imageDefaults.set("Orvanta_Filter_inputTint", Value(color->fTint()));
    }
}

void MyDocument::CIImageEngineDidFinish(ThreadedImageEngine *) {
    std::weak_ptr<MyDocument> weak = weak_from_this();
    dispatch::mainQueue()->async([weak] {
        auto self = weak.lock();
        if (!self || !self->displayEngine_) return;
        auto wrapper = self->displayEngine_->rawFileWrapper();
        if (wrapper && wrapper->error()) {
            logMessage("%s %s", "-[MyDocument CIImageEngineDidFinish:]",
                       wrapper->error()->description().c_str());
            if (self->presentError) self->presentError(*wrapper->error());
            auto controllers = self->windowControllers_;
            for (const auto &wc : controllers)
                wc->performClose();
            return;
        }
        if (!self->imageParameters.get("Orvanta_Filter_inputTemperature"))
            self->setWBToAsShotFromImageParameters();
        if (!self->imageParameters.get("Orvanta_SceneReferred"))
            self->setSceneReferred(!(wrapper && wrapper->isOutputReferred()));
        self->removeSetting("Orvanta_UseAsShotWB");
        NotificationCenter::defaultCenter().post(kNewProcessedImageNotification, self.get());
    });
}

// ----- persistence --------------------------------------------------------------

std::optional<std::string> MyDocument::dataOfType(const std::string &, Error *error) {
    if (error) *error = Error("NSOSStatusErrorDomain", -4, "Documents are not saved as files.");
    return std::nullopt;
}

void MyDocument::close() {
    if (displayEngine_ && displayEngine_->delegate()) {
        auto *store = MultiDataStore::sharedMultiDataStore();
        const Dictionary entry = store->serializeToPList(imageParameters);
        store->dataStoreForStore(kCatalogStoreName)->addItem(&entry);
    }
    imageParameters.clear();
    if (displayEngine_) displayEngine_->setDelegate(nullptr);
    displayEngine_.reset();
    windowControllers_.clear();
}

} // namespace orvanta
