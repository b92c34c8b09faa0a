#pragma once
// An image wrapper over pixel blocks held in memory, as a decoder hands them
// over, for the engine tests.

#include "color/ProfileManager.h"
#include "input/ImageWrapper.h"

#include <cmath>
#include <vector>

namespace orvanta::test {

// An image wrapper over pixel blocks held in memory (what a decoder hands over).
class MemoryWrapper : public ImageWrapper {
public:
    MemoryWrapper(int w, int h, bool withAlternate) : ImageWrapper("", "memory", false) {
        imageWidth_ = static_cast<std::uint16_t>(w);
        imageHeight_ = static_cast<std::uint16_t>(h);
        master.assign(static_cast<std::size_t>(w) * h * 3, 0);
        if (withAlternate) alternate.assign(master.size(), 0);
    }
    const std::uint16_t *masterImageBytes() override { return master.data(); }
    const std::uint16_t *alternateImageBytes() override {
        return alternate.empty() ? nullptr : alternate.data();
    }
    std::shared_ptr<ColorSyncProfileWrap> bufferProfile() override {
        return ProfileManager::sharedManager().getProPhotoGamma1_D65Profile();
    }
    void set(std::vector<std::uint16_t> &block, int x, int y, float r, float g, float b) {
        const std::size_t i = (static_cast<std::size_t>(y) * imageWidth_ + x) * 3;
        block[i] = static_cast<std::uint16_t>(std::lround(r * 65535));
        block[i + 1] = static_cast<std::uint16_t>(std::lround(g * 65535));
        block[i + 2] = static_cast<std::uint16_t>(std::lround(b * 65535));
    }
    std::vector<std::uint16_t> master, alternate;
};

} // namespace orvanta::test
