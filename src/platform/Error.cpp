#include "Error.h"

#include <cstring>

namespace orvanta {

Error Error::posix(int errnum, const std::string &what) {
    std::string reason =
        what.empty() ? std::string(std::strerror(errnum)) : what + ": " + std::strerror(errnum);
    return Error(kPOSIXErrorDomain, errnum, std::move(reason));
}

std::string Error::description() const {
    return domain + " (" + std::to_string(code) + "): " + reason;
}

} // namespace orvanta
