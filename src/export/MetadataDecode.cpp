#include "MetadataDecode.h"

#include <cmath>
#include <cstdio>

namespace orvanta {

std::optional<std::string> decodeObject(const Dictionary &d, const std::string &key, std::int64_t *iValue,
                                        double *fValue) {
    const Value *v = d.get(key);
    if (v && v->isArray()) v = v->array()->empty() ? nullptr : &v->array()->front();
    if (!v) return std::nullopt;
    if (const std::string *s = v->string()) return *s;
    if (v->isNumber()) {
        const double real = v->toDouble().value_or(0);
        if (iValue) *iValue = v->toInt64().value_or(static_cast<std::int64_t>(real));
        if (fValue) *fValue = real;
        char text[64];
        if (v->isInteger() || v->isBool())
            std::snprintf(text, sizeof text, "%lld", static_cast<long long>(v->toInt64().value_or(0)));
        else
            std::snprintf(text, sizeof text, "%g", real);
        return std::string(text);
    }
    return std::nullopt;
}

} // namespace orvanta
