#pragma once
// Failure values that cross subsystem boundaries. Nothing is thrown between
// subsystems: an operation that can fail returns a null result and, when the
// caller asks for it, fills an Error.

#include <string>

namespace orvanta {

inline constexpr const char *kOrvantaErrorDomain = "OrvantaErrorDomain";
inline constexpr const char *kRawOpenErrorDomain = "RawOpenErrorDomain";
inline constexpr const char *kPOSIXErrorDomain = "POSIXErrorDomain";
inline constexpr const char *kPropertyListErrorDomain = "PropertyListErrorDomain";

enum PropertyListErrorCode : int {
    kPropertyListReadCorruptError = -1,  // not well-formed or not a property list
    kPropertyListWriteInvalidError = -2, // holds a value a property list cannot carry
};

struct Error {
    std::string domain;
    int code = 0;
    std::string reason; // the failure reason, shown to users as is

    Error() = default;
    Error(std::string d, int c, std::string r) : domain(std::move(d)), code(c), reason(std::move(r)) {}

    // An error from a failed system call: the errno value as code (as the
    // platform reports POSIX errors), the reason naming what failed.
    static Error posix(int errnum, const std::string &what);

    // "Domain (code): reason" for logs.
    std::string description() const;
};

// Fills *out when the caller passed a place for the error.
inline void setError(Error *out, Error e) {
    if (out) *out = std::move(e);
}

} // namespace orvanta
