// The camera-profile reader on arbitrary bytes, and the tone table of
// whatever it accepts.

#include "color/DcpReader.h"
#include "color/DngToneCurve.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    auto profile = orvanta::dcp::parse(data, size);
    if (profile && !profile->toneCurve.empty()) {
        orvanta::dng::SplineSolver s;
        for (auto [h, v] : profile->toneCurve)
            s.add(h, v);
        s.solve();
        for (int i = 0; i <= 64; ++i)
            (void)s.evaluate(i / 64.0);
    }
    return 0;
}
