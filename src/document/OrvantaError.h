#pragma once
// Codes of the "OrvantaErrorDomain" errors of documents, opening and presets.

#include "platform/Error.h" // the domain

namespace orvanta {

enum OrvantaErrorCode : int {
    kOrvantaNoDecoder = -2,
    kOrvantaDirectoryRead = -4,
    kOrvantaCannotResolve = -5,
    kOrvantaNoPath = -6,
    kOrvantaPresetNeedsName = -14,
    kOrvantaNoRawSearchLocation = -15,
    kOrvantaInvalidNameSuffix = -16,
    kOrvantaRawFileNotFound = -17,
};

} // namespace orvanta
