#include "Geometry.h"

#include <algorithm>
#include <cstdio>

namespace orvanta {

bool Rect::isInfinite() const {
    Rect inf = infinite();
    return origin == inf.origin && size == inf.size;
}

Rect Rect::standardized() const {
    if (isNull()) return null();
    Rect r = *this;
    if (r.size.width < 0) {
        r.origin.x += r.size.width;
        r.size.width = -r.size.width;
    }
    if (r.size.height < 0) {
        r.origin.y += r.size.height;
        r.size.height = -r.size.height;
    }
    return r;
}

double Rect::minX() const {
    return standardized().origin.x;
}
double Rect::minY() const {
    return standardized().origin.y;
}
double Rect::maxX() const {
    Rect r = standardized();
    return r.origin.x + r.size.width;
}
double Rect::maxY() const {
    Rect r = standardized();
    return r.origin.y + r.size.height;
}

Rect Rect::intersection(const Rect &other) const {
    if (isNull() || other.isNull()) return null();
    if (isInfinite()) return other.standardized();
    if (other.isInfinite()) return standardized();
    Rect a = standardized(), b = other.standardized();
    double x0 = std::max(a.origin.x, b.origin.x);
    double y0 = std::max(a.origin.y, b.origin.y);
    double x1 = std::min(a.origin.x + a.size.width, b.origin.x + b.size.width);
    double y1 = std::min(a.origin.y + a.size.height, b.origin.y + b.size.height);
    if (x1 < x0 || y1 < y0) return null();
    return Rect(x0, y0, x1 - x0, y1 - y0);
}

Rect Rect::unionWith(const Rect &other) const {
    if (isNull()) return other.standardized();
    if (other.isNull()) return standardized();
    if (isInfinite() || other.isInfinite()) return infinite();
    Rect a = standardized(), b = other.standardized();
    double x0 = std::min(a.origin.x, b.origin.x);
    double y0 = std::min(a.origin.y, b.origin.y);
    double x1 = std::max(a.origin.x + a.size.width, b.origin.x + b.size.width);
    double y1 = std::max(a.origin.y + a.size.height, b.origin.y + b.size.height);
    return Rect(x0, y0, x1 - x0, y1 - y0);
}

Rect Rect::integral() const {
    if (isNull() || isInfinite()) return *this;
    Rect r = standardized();
    double x0 = std::floor(r.origin.x), y0 = std::floor(r.origin.y);
    double x1 = std::ceil(r.origin.x + r.size.width), y1 = std::ceil(r.origin.y + r.size.height);
    return Rect(x0, y0, x1 - x0, y1 - y0);
}

Rect Rect::offsetBy(double dx, double dy) const {
    if (isNull() || isInfinite()) return *this;
    Rect r = standardized();
    r.origin.x += dx;
    r.origin.y += dy;
    return r;
}

Rect Rect::insetBy(double dx, double dy) const {
    if (isNull() || isInfinite()) return *this;
    Rect r = standardized();
    r.origin.x += dx;
    r.origin.y += dy;
    r.size.width -= 2 * dx;
    r.size.height -= 2 * dy;
    if (r.size.width < 0 || r.size.height < 0) return null();
    return r;
}

bool Rect::intersects(const Rect &other) const {
    return !intersection(other).isEmpty();
}

bool Rect::contains(Point p) const {
    if (isEmpty()) return false;
    Rect r = standardized();
    return p.x >= r.origin.x && p.x < r.origin.x + r.size.width && p.y >= r.origin.y &&
           p.y < r.origin.y + r.size.height;
}

bool Rect::contains(const Rect &other) const {
    if (isNull()) return false;
    return unionWith(other).equals(*this);
}

bool Rect::equals(const Rect &other) const {
    if (isNull() || other.isNull()) return isNull() && other.isNull();
    Rect a = standardized(), b = other.standardized();
    return a.origin == b.origin && a.size == b.size;
}

std::string Rect::description() const {
    if (isNull()) return "{null}";
    if (isInfinite()) return "{infinite}";
    char buf[160];
    std::snprintf(buf, sizeof buf, "{{%g, %g}, {%g, %g}}", origin.x, origin.y, size.width, size.height);
    return buf;
}

} // namespace orvanta
