#pragma once
// The first engine of every chain: blends the master and alternate decodes
// per pixel in HSV (value by artifact suppression, hue and saturation by
// chroma artifact suppression) into a 16-bit buffer it owns, keeps that
// buffer for read-outs and makes the image's thumbnail. And the colour-match
// engine, a tool that converts a whole buffer between two ICC profiles.

#include "TiledEngine.h"

#include <memory>
#include <mutex>

namespace orvanta {

class ImageWrapper;

class RawCombineTiledEngine : public TiledEngine {
public:
    RawCombineTiledEngine(std::shared_ptr<ImageWrapper> rawImage, bool releasePrecursors);

    std::string className() const override { return "RawCombineTiledEngine"; }
    std::string engineName() const override;

    void setParameters(const std::string *key, const Dictionary &parameters) override;
    std::shared_ptr<TileProcess> runProcessToCompletion(const TileRegion &region) override;
    void processTile(int c0, int c1, int r0, int r1, ImageBuffer *src, ImageBuffer *dst, int pass) override;
    void processEdge(int c0, int c1, int r0, int r1, ImageBuffer *src, ImageBuffer *dst, int pass) override;
    void processArea(int c0, int c1, int r0, int r1, float artifactSup, float cArtifactSup, ImageBuffer *dst);

    std::shared_ptr<ImageBuffer> getThumbnail(bool flag) override;
    bool getPixelValues(int col, int row, int patchSize, double values[4]) override;
    void buildThumbnail();

    float artifactSuppression = 0, chromaArtifactSuppression = 0;

    // HSV with hue in sixths (0 ≤ hue < 6).
    static void rgbToHsv(float r, float g, float b, float *h, float *s, float *v);
    static void hsvToRgb(float h, float s, float v, float *r, float *g, float *b);

private:
    std::shared_ptr<ImageWrapper> rawImage;
    bool thumbnailIsDirty = true;
    std::mutex thumbLock;
    std::shared_ptr<ImageBuffer> pixelValueBuffer, thumbnail;
};

class ColorMatchTiledEngine : public TiledEngine {
public:
    ColorMatchTiledEngine(Size size) : TiledEngine(size, std::nullopt, false) {}
    std::string className() const override { return "ColorMatchTiledEngine"; }
    std::string engineName() const override;
    void processTile(int, int, int, int, ImageBuffer *, ImageBuffer *, int) override {}
    void processEdge(int, int, int, int, ImageBuffer *, ImageBuffer *, int) override {}

    // Converts the buffer (a crop view converts only its pixels) in place
    // and tags it with the destination profile.
    void convertBuffer(ImageBuffer &buffer);

    std::shared_ptr<ColorSyncProfileWrap> srcProfile, destProfile;
};

} // namespace orvanta
