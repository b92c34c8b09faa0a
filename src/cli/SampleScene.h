#pragma once
// The project's own sample image: a test scene (colour patches, a grey ramp
// and fine detail) sampled through an RGGB colour filter and written as a
// Bayer DNG whose camera space is linear ProPhoto RGB.

#include <string>

namespace orvanta {

bool writeSampleDng(const std::string &path, int width, int height, std::string *message);

} // namespace orvanta
