#pragma once
// Points, sizes and rectangles in double precision, with the semantics the
// engine and display code rely on:
//  - the null rectangle (origin at +infinity, size 0) stands for "no
//    rectangle"; intersecting disjoint rectangles yields it, and it is the
//    identity of union;
//  - a rectangle is empty when it is null or has zero width or height;
//  - the infinite rectangle covers every point; it is the identity of
//    intersection;
//  - negative sizes are standardised before any operation.

#include <cmath>
#include <limits>
#include <string>

namespace orvanta {

struct Point {
    double x = 0, y = 0;
    friend bool operator==(const Point &, const Point &) = default;
};

struct Size {
    double width = 0, height = 0;
    friend bool operator==(const Size &, const Size &) = default;
};

struct Rect {
    Point origin;
    Size size;

    constexpr Rect() = default;
    constexpr Rect(double x, double y, double w, double h) : origin{x, y}, size{w, h} {}
    constexpr Rect(Point o, Size s) : origin(o), size(s) {}

    static constexpr Rect null() {
        return Rect(std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity(), 0, 0);
    }
    static constexpr Rect infinite() {
        return Rect(-std::numeric_limits<double>::max() / 2, -std::numeric_limits<double>::max() / 2,
                    std::numeric_limits<double>::max(), std::numeric_limits<double>::max());
    }

    bool isNull() const {
        return origin.x == std::numeric_limits<double>::infinity() ||
               origin.y == std::numeric_limits<double>::infinity();
    }
    bool isInfinite() const;
    bool isEmpty() const { return isNull() || size.width == 0 || size.height == 0; }

    // Same rectangle with non-negative width and height.
    Rect standardized() const;

    double minX() const;
    double minY() const;
    double maxX() const;
    double maxY() const;
    double midX() const { return (minX() + maxX()) / 2; }
    double midY() const { return (minY() + maxY()) / 2; }
    double width() const { return std::fabs(size.width); }
    double height() const { return std::fabs(size.height); }

    // Overlap of two rectangles; null when they do not meet. Rectangles that
    // only touch give a rectangle of zero width or height, not null.
    Rect intersection(const Rect &other) const;
    // Smallest rectangle holding both; a null operand is ignored.
    Rect unionWith(const Rect &other) const;
    // Smallest rectangle with whole-number edges that holds this one.
    Rect integral() const;
    Rect offsetBy(double dx, double dy) const;
    Rect insetBy(double dx, double dy) const;

    // True when the two share an area of positive size.
    bool intersects(const Rect &other) const;
    // Half-open: a point on the maximum edge is outside.
    bool contains(Point p) const;
    // True when the union of both is this rectangle (so a null rectangle is
    // contained in any rectangle, and nothing is contained in a null one).
    bool contains(const Rect &other) const;

    // Null rectangles are equal to each other whatever their fields hold.
    bool equals(const Rect &other) const;
    friend bool operator==(const Rect &a, const Rect &b) { return a.equals(b); }

    std::string description() const;
};

} // namespace orvanta
