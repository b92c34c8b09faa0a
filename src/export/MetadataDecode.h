#pragma once
// Reading one metadata value the way every writer does: an array counts as
// its first element, a string gives its text, a number its text and its
// integer and real values.

#include "platform/Value.h"

#include <cstdint>
#include <optional>
#include <string>

namespace orvanta {

// decodeObject:key:iValue:fValue: — none for a missing key or another type.
std::optional<std::string> decodeObject(const Dictionary &d, const std::string &key, std::int64_t *iValue,
                                        double *fValue);

} // namespace orvanta
