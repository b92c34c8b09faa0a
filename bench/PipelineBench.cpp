// The render pipeline on the 24-megapixel benchmark DNG, as a document uses
// it: open until the first render of the whole image has finished, then a
// visible 2560 × 1440 area fetched as 512 × 512 display tiles at scale 1 (in
// parallel, as the display's per-tile queues do), then the time from a
// setting change until that area has been fetched again — for exposure (the
// core engine's tables only) and for the artifact filter (the filter chain
// over the area). Baselines from the same run: a memcpy of a 24-megapixel
// 16-bit RGBA buffer and the wrapper's decode alone.
//
// Usage: pipeline_bench [file.dng] (default: $ORVANTA_TESTDATA or
// ../shared/testdata, bench/synth_24mp.dng); ORVANTA_BENCH_REPEATS changes
// the number of timed changes (default 9).

#include "color/ProfileManager.h"
#include "engine/ThreadedImageEngine.h"
#include "input/CGImageBitMap.h"
#include "input/RawWrapper.h"
#include "platform/Dispatch.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <sys/resource.h>
#include <vector>

using namespace orvanta;
using Clock = std::chrono::steady_clock;

namespace {

double msSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

class Waiter : public ThreadedImageEngineDelegate {
public:
    void CIImageEngineDidStart(ThreadedImageEngine *) override {}
    void CIImageEngineNewMetaData(ThreadedImageEngine *) override {}
    void CIImageEngineDidFinish(ThreadedImageEngine *) override {
        std::lock_guard lock(m_);
        ++finished_;
        cv_.notify_all();
    }
    int finished() {
        std::lock_guard lock(m_);
        return finished_;
    }
    void waitFor(int n) {
        std::unique_lock lock(m_);
        cv_.wait(lock, [&] { return finished_ >= n; });
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    int finished_ = 0;
};

struct Area {
    int x, y, w, h; // top-left origin, image pixels
};

// Fetches every display tile of the area; returns how many came from the
// thumbnail instead of the rendered image.
int fetchArea(TiledEngine &out, const Area &a, int imageHeight, std::shared_ptr<ColorSyncProfileWrap> dest) {
    std::vector<Rect> tiles;
    for (int y = a.y; y < a.y + a.h; y += 512)
        for (int x = a.x; x < a.x + a.w; x += 512) {
            const int w = std::min(512, a.x + a.w - x), h = std::min(512, a.y + a.h - y);
            tiles.push_back(Rect(x, imageHeight - y - h, w, h)); // bottom-left origin
        }
    std::atomic<int> fromThumbnail{0}, missing{0};
    static const bool serial = std::getenv("ORVANTA_BENCH_SERIAL") != nullptr;
    auto forEach = [&](std::size_t n, const std::function<void(std::size_t)> &f) {
        if (serial)
            for (std::size_t i = 0; i < n; ++i)
                f(i);
        else
            dispatch::apply(n, f);
    };
    forEach(tiles.size(), [&](std::size_t i) {
        bool thumb = false;
        auto tile = out.imageTile(1.0f, tiles[i], dest, &thumb, false, 1);
        if (!tile) ++missing;
        if (thumb) ++fromThumbnail;
    });
    if (missing) std::fprintf(stderr, "%d tiles missing\n", missing.load());
    return fromThumbnail.load();
}

} // namespace

int main(int argc, char **argv) {
    std::string path;
    if (argc > 1) {
        path = argv[1];
    } else {
        const char *env = std::getenv("ORVANTA_TESTDATA");
        path = std::string(env ? env : "../shared/testdata") + "/bench/synth_24mp.dng";
    }
    const char *rep = std::getenv("ORVANTA_BENCH_REPEATS");
    const int repeats = std::max(1, rep ? std::atoi(rep) : 9);
    // ORVANTA_BENCH_FILTER=0 leaves the artifact-filter changes out (for
    // profiling the exposure path alone).
    const char *filterEnv = std::getenv("ORVANTA_BENCH_FILTER");
    const int filterRepeats = filterEnv && std::atoi(filterEnv) == 0 ? 0 : repeats;

    // Baseline 1: a memcpy of a 24-megapixel 16-bit RGBA buffer.
    const std::size_t bytes = std::size_t(6000) * 4000 * 8;
    std::vector<std::uint8_t> a(bytes, 1), b(bytes, 0);
    std::vector<double> copies;
    for (int i = 0; i < 5; ++i) {
        const auto t = Clock::now();
        std::memcpy(b.data(), a.data(), bytes);
        copies.push_back(msSince(t));
    }
    const double memcpyMs = median(copies);
    a.clear(), a.shrink_to_fit(), b.clear(), b.shrink_to_fit();

    // Baseline 2: the decode alone (both demosaics), no engines.
    double decodeMs;
    {
        const auto t = Clock::now();
        rawWrapper w(path, path);
        if (!w.masterImageBytes()) {
            std::fprintf(stderr, "cannot decode %s: %s\n", path.c_str(),
                         w.error() ? w.error()->reason.c_str() : "");
            return 1;
        }
        w.alternateImageBytes();
        decodeMs = msSince(t);
    }

    auto waiter = std::make_shared<Waiter>();
    auto wrapper = std::make_shared<rawWrapper>(path, path);
    auto pipeline = ThreadedImageEngine::create(wrapper, false);
    pipeline->setDelegate(waiter);
    Dictionary settings{{"Orvanta_ArtifactFilter", 0.0f}};
    auto t = Clock::now();
    pipeline->invalidateImageStage(std::nullopt, settings, Rect::null());
    waiter->waitFor(1);
    const double openMs = msSince(t);
    auto out = pipeline->outputImage();
    if (!out) {
        std::fprintf(stderr, "no image\n");
        return 1;
    }
    const int W = wrapper->imageWidth(), H = wrapper->imageHeight();
    const Area area{1024, 1024, std::min(2560, W - 1024), std::min(1440, H - 1024)};
    const Rect visible(area.x, area.y, area.w, area.h);
    auto sRGB = ProfileManager::sharedManager().getSRGBProfile();

    t = Clock::now();
    int thumbs = fetchArea(*out, area, H, sRGB);
    const double firstFetchMs = msSince(t);
    t = Clock::now();
    thumbs += fetchArea(*out, area, H, sRGB);
    const double refetchMs = msSince(t);
    t = Clock::now();
    thumbs += fetchArea(*out, area, H, nullptr);
    const double unconvertedMs = msSince(t);

    std::vector<double> exposure, filter;
    for (int i = 0; i < repeats; ++i) {
        settings.set("Orvanta_Filter_inputEV", (i % 2) ? 0.0f : 0.5f);
        const int n = waiter->finished();
        t = Clock::now();
        pipeline->invalidateImageStage(std::vector<std::string>{"Orvanta_Filter_inputEV"}, settings, visible);
        waiter->waitFor(n + 1);
        thumbs += fetchArea(*out, area, H, sRGB);
        exposure.push_back(msSince(t));
    }
    const int chainRunsBefore = pipeline->chainRunCount();
    for (int i = 0; i < filterRepeats; ++i) {
        settings.set("Orvanta_ArtifactFilter", (i % 2) ? 0.0f : 0.5f);
        const int n = waiter->finished();
        t = Clock::now();
        pipeline->invalidateImageStage(std::vector<std::string>{"Orvanta_ArtifactFilter"}, settings, visible);
        waiter->waitFor(n + 1);
        thumbs += fetchArea(*out, area, H, sRGB);
        filter.push_back(msSince(t));
    }
    struct rusage ru {};
    getrusage(RUSAGE_SELF, &ru);

    std::printf("image %d x %d, visible %d x %d at (%d, %d), %d changes each, %d processors\n", W, H, area.w,
                area.h, area.x, area.y, repeats, static_cast<int>(std::thread::hardware_concurrency()));
    std::printf("baseline memcpy of 24 MP RGBA16:          %8.1f ms\n", memcpyMs);
    std::printf("baseline decode alone:                    %8.1f ms\n", decodeMs);
    std::printf("open to first full render:                %8.1f ms  (%.2f x decode)\n", openMs,
                openMs / decodeMs);
    std::printf("first fetch of the area (zoom copy made): %8.1f ms\n", firstFetchMs);
    std::printf("fetch of the area again:                  %8.1f ms  (%.2f x memcpy)\n", refetchMs,
                refetchMs / memcpyMs);
    std::printf("fetch of the area, no profile conversion: %8.1f ms\n", unconvertedMs);
    std::printf(
        "exposure change to area re-rendered:      %8.1f ms  median (min %.1f, max %.1f; %.2f x memcpy)\n",
        median(exposure), *std::min_element(exposure.begin(), exposure.end()),
        *std::max_element(exposure.begin(), exposure.end()), median(exposure) / memcpyMs);
    if (!filter.empty())
        std::printf("artifact filter change to area re-rendered: %6.1f ms  median (min %.1f, max %.1f; %.2f "
                    "x memcpy)\n",
                    median(filter), *std::min_element(filter.begin(), filter.end()),
                    *std::max_element(filter.begin(), filter.end()), median(filter) / memcpyMs);
    std::printf("chain runs for %d filter changes: %d; tiles from the thumbnail: %d; peak RSS %.0f MB\n",
                filterRepeats, pipeline->chainRunCount() - chainRunsBefore, thumbs, ru.ru_maxrss / 1024.0);
    return 0;
}
