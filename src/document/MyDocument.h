#pragma once
// The image document: the image's settings (and the values a reset to
// default restores), its render pipeline over the image wrapper, the white-
// balance, crop and orientation operations, the pixel read-out, and opening
// a file (including the search for the raw file behind a JPEG or TIFF that
// an external editor hands back). Every other part reads and writes
// settings through it; it decides how the pipeline hears of each change.
//
// Settings are read and written on the main thread. Pipeline callbacks
// arrive on the render thread; the start and finish ones are relayed to the
// main queue.

#include "OrvantaError.h"
#include "color/ColorHelper.h"
#include "engine/ThreadedImageEngine.h"
#include "platform/Error.h"
#include "platform/Geometry.h"
#include "platform/NotificationCenter.h"
#include "platform/Value.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace orvanta {

inline constexpr const char *kEngineDidStartNotification = "Quenfold_EngineDidStart";
inline constexpr const char *kNewProcessedImageNotification = "Quenfold_NewProcessedImage";

// What the document needs of a window controller of its own; the display
// implements it.
class DocumentWindowController {
public:
    virtual ~DocumentWindowController() = default;
    // The part of the image the view shows, in image pixels.
    virtual Rect activeTiledRect() = 0;
    virtual void setTempAndTint(float temperature, float tint) = 0;
    virtual void setSceneReferred(bool sceneReferred) = 0;
    // The document's image failed: the window goes.
    virtual void performClose() = 0;
};

class MyDocument : public ThreadedImageEngineDelegate, public std::enable_shared_from_this<MyDocument> {
public:
    using Observer = std::function<void(const std::string &key)>;
    using Token = std::uint64_t;

    static std::shared_ptr<MyDocument> create(); // init
    ~MyDocument() override;

    // Key-value access. A key beginning with "Orvanta_metaData" reads the
    // wrapper's metadata; keys with the prefixes "Orvanta_" and "Quenfold_"
    // are settings (a stored null marker reads as absent).
    std::optional<Value> valueForKey(const std::string &key);
    void setValue(const std::optional<Value> &value, const std::string &key);
    // Observers of one settings key, told after every change of it.
    Token addObserver(const std::string &keyPath, Observer observer);
    void removeObserver(Token token);

    // readFromURL:ofType:error: — a path or a file:// URL.
    bool readFromURL(const std::string &url, const std::string &type, Error *error);
    static std::optional<std::string> parseToBaseName(const std::string &name);
    static std::optional<std::string> searchDirectory(const std::string &folder, const std::string &name,
                                                      const std::map<std::string, int> &extensionsPriority);
    static std::map<std::string, int> extensionPriorityTable();

    void addWindowController(std::shared_ptr<DocumentWindowController> controller);
    void removeWindowController(const std::shared_ptr<DocumentWindowController> &controller);
    void documentIsForDisplay(bool display);

    const Dictionary &getSettingsDictionary() const { return imageParameters; }
    Dictionary imageDefaultsCopy();
    std::optional<Dictionary> getCameraParameters();
    std::shared_ptr<RawCombineTiledEngine> originalImage();
    std::shared_ptr<TiledEngine> adjustedImage();
    std::shared_ptr<TiledEngine> outputImage() { return adjustedImage(); }
    std::shared_ptr<ThreadedImageEngine> displayEngine() const { return displayEngine_; }
    const std::optional<std::string> &extEditorURL() const { return extEditorURL_; }
    bool openedFromExternal() const { return extEditorURL_.has_value(); }
    const std::string &displayName() const { return displayName_; }

    void markAdjustedImageDirty(const std::vector<std::string> &keys);
    void addSettingValues(const Dictionary *settings);
    void setToDefault(const std::string &key);

    void setWBFromColor(ColorHelper &color);
    void setWBFromPoint(double x, double y);
    void setWBAsShot();
    void setWBToAsShotFromImageParameters();
    std::optional<ColorHelper> wbFromMetaData();
    static std::optional<ColorHelper> wbFromWrapper(const std::shared_ptr<ImageWrapper> &wrapper);
    void setSceneReferred(bool sceneReferred);

    void cropRectChanged(const Rect &rect);
    Rect getCropRect() const;
    void orientationChanged(int orientation);
    int getOrientation() const;

    std::string pixelValueString(double x, double y);
    // Three linear values as sRGB-encoded percentages, "R:%5.1f, G:%5.1f, B:%5.1f".
    static std::string formatPixelValues(const double values[3]);
    // The document's monitor: the read-out and the export render hold it.
    std::recursive_mutex &documentLock() { return monitor_; }

    void CIImageEngineDidStart(ThreadedImageEngine *engine) override;
    void CIImageEngineNewMetaData(ThreadedImageEngine *engine) override;
    void CIImageEngineDidFinish(ThreadedImageEngine *engine) override;

    // Renders the image at full size through the pipeline with the current
    // settings and writes it as type ("public.jpeg", "public.tiff",
    // "com.adobe.dng", "com.ilm.openexr-image"). crop: image pixels, top-left
    // origin; a width or height below 1 is the whole image. canReleaseImages:
    // the caller closes the document right after, so the pipeline is not
    // put back to display.
    bool exportToURL(const std::string &path, const std::string &type, const Rect &crop,
                     bool canReleaseImages, Error *error);
    // Writes the developed image back into the file an external editor
    // handed over: JPEG for "jpg"/"jpeg" in any case, else TIFF; the whole
    // image, the crop not applied.
    bool extEditorUpdate(Error *error);
    // The export type of an "Orvanta_ExportFileType" index, and its OpenEXR
    // output format.
    static std::string exportTypeForIndex(std::int64_t index);
    static int exrCodeForIndex(std::int64_t index);
    static const std::vector<std::string> &ExportFileTypeMenuList();

    // Documents are never written as data.
    std::optional<std::string> dataOfType(const std::string &type, Error *error);
    // Stores the settings of a displayed document in the catalog, then lets
    // the pipeline go.
    void close();

    // Shown to the user when a render ends with a decoding error (the
    // display sets it; by default the error is only logged).
    std::function<void(const Error &)> presentError;

    static const std::vector<std::string> &observedKeys();

    MyDocument(const MyDocument &) = delete;
    MyDocument &operator=(const MyDocument &) = delete;

private:
    MyDocument();
    bool rawSearch(std::string &path, Error *error);
    // Stores a settings value (none stores the null marker) and tells the
    // key's observers; an observed key is passed on to the pipeline.
    void storeSetting(const std::string &key, const std::optional<Value> &value);
    void removeSetting(const std::string &key);
    void settingChanged(const std::string &key);
    void fail(Error *error, int code, const std::string &reason);

    std::shared_ptr<ThreadedImageEngine> displayEngine_;
    Dictionary imageParameters;
    Dictionary imageDefaults;
    std::mutex defaultsLock_; // the render thread writes the as-shot white into the defaults
    std::optional<std::string> secureBookmark;
    std::optional<std::map<std::string, int>> extArray;
    std::optional<std::string> extEditorURL_;
    std::string displayName_;

    std::vector<std::shared_ptr<DocumentWindowController>> windowControllers_;
    bool observingSettings_ = false;
    std::map<Token, std::pair<std::string, Observer>> observers_;
    Token nextToken_ = 1;
    std::recursive_mutex monitor_;
};

} // namespace orvanta
