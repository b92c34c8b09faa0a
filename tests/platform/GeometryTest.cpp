#include "platform/Geometry.h"

#include <gtest/gtest.h>

using orvanta::Point;
using orvanta::Rect;

TEST(Rect, NullEmptyInfiniteAreDistinct) {
    struct Case {
        const char *name;
        Rect r;
        bool null, empty, infinite;
    } cases[] = {
        {"null", Rect::null(), true, true, false},
        {"infinite", Rect::infinite(), false, false, true},
        {"zero width", Rect(5, 5, 0, 10), false, true, false},
        {"zero height", Rect(5, 5, 10, 0), false, true, false},
        {"zero at origin", Rect(), false, true, false},
        {"ordinary", Rect(0, 0, 1, 1), false, false, false},
        {"negative size", Rect(10, 10, -4, -4), false, false, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.r.isNull(), c.null);
        EXPECT_EQ(c.r.isEmpty(), c.empty);
        EXPECT_EQ(c.r.isInfinite(), c.infinite);
    }
}

TEST(Rect, Intersection) {
    struct Case {
        const char *name;
        Rect a, b, expected;
    } cases[] = {
        {"overlap", Rect(0, 0, 10, 10), Rect(5, 5, 10, 10), Rect(5, 5, 5, 5)},
        {"tile clipped to image", Rect(512, 512, 512, 512), Rect(0, 0, 1000, 600), Rect(512, 512, 488, 88)},
        {"disjoint gives null", Rect(0, 0, 10, 10), Rect(20, 20, 5, 5), Rect::null()},
        {"touching gives a line", Rect(0, 0, 10, 10), Rect(10, 0, 10, 10), Rect(10, 0, 0, 10)},
        {"with null", Rect(0, 0, 10, 10), Rect::null(), Rect::null()},
        {"null with null", Rect::null(), Rect::null(), Rect::null()},
        {"with infinite", Rect(3, 4, 5, 6), Rect::infinite(), Rect(3, 4, 5, 6)},
        {"infinite with infinite", Rect::infinite(), Rect::infinite(), Rect::infinite()},
        {"negative size standardised", Rect(10, 10, -10, -10), Rect(5, 5, 10, 10), Rect(5, 5, 5, 5)},
        {"contained", Rect(0, 0, 100, 100), Rect(10, 20, 30, 40), Rect(10, 20, 30, 40)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.a.intersection(c.b), c.expected) << c.a.intersection(c.b).description();
        EXPECT_EQ(c.b.intersection(c.a), c.expected);
    }
    EXPECT_TRUE(Rect(0, 0, 10, 10).intersection(Rect(20, 20, 5, 5)).isNull());
}

TEST(Rect, UnionIgnoresNullAndAbsorbsIntoInfinite) {
    EXPECT_EQ(Rect(0, 0, 1, 1).unionWith(Rect(4, 5, 1, 1)), Rect(0, 0, 5, 6));
    EXPECT_EQ(Rect::null().unionWith(Rect(2, 3, 4, 5)), Rect(2, 3, 4, 5));
    EXPECT_EQ(Rect(2, 3, 4, 5).unionWith(Rect::null()), Rect(2, 3, 4, 5));
    EXPECT_TRUE(Rect::null().unionWith(Rect::null()).isNull());
    EXPECT_TRUE(Rect(1, 1, 1, 1).unionWith(Rect::infinite()).isInfinite());
    // Accumulating from null, as the display does for its active tile area.
    Rect acc = Rect::null();
    for (Rect tile : {Rect(0, 0, 256, 256), Rect(256, 0, 256, 256), Rect(0, 256, 256, 100)})
        acc = acc.unionWith(tile);
    EXPECT_EQ(acc, Rect(0, 0, 512, 356));
}

TEST(Rect, IntegralRoundsOutward) {
    EXPECT_EQ(Rect(0.5, 1.2, 10.1, 3.3).integral(), Rect(0, 1, 11, 4));
    EXPECT_EQ(Rect(-0.5, -1.5, 1, 1).integral(), Rect(-1, -2, 2, 2));
    EXPECT_EQ(Rect(3, 4, 5, 6).integral(), Rect(3, 4, 5, 6));
    EXPECT_TRUE(Rect::null().integral().isNull());
    EXPECT_TRUE(Rect::infinite().integral().isInfinite());
}

TEST(Rect, Containment) {
    Rect r(0, 0, 10, 10);
    EXPECT_TRUE(r.contains(Point{0, 0}));
    EXPECT_TRUE(r.contains(Point{9.999, 9.999}));
    EXPECT_FALSE(r.contains(Point{10, 5})) << "the maximum edge is outside";
    EXPECT_FALSE(Rect::null().contains(Point{0, 0}));
    EXPECT_TRUE(r.contains(Rect(2, 2, 8, 8)));
    EXPECT_FALSE(r.contains(Rect(2, 2, 9, 8)));
    EXPECT_TRUE(r.contains(Rect::null()));
    EXPECT_FALSE(Rect::null().contains(r));
    EXPECT_TRUE(Rect::infinite().contains(r));
    EXPECT_TRUE(r.intersects(Rect(5, 5, 10, 10)));
    EXPECT_FALSE(r.intersects(Rect(10, 0, 10, 10))) << "touching edges share no area";
    EXPECT_FALSE(r.intersects(Rect::null()));
    EXPECT_TRUE(r.intersects(Rect::infinite()));
}

TEST(Rect, NullRectanglesAreEqualWhateverTheirSize) {
    Rect oddNull = Rect::null();
    oddNull.size = {5, 5};
    EXPECT_EQ(oddNull, Rect::null());
    EXPECT_NE(Rect(0, 0, 0, 0), Rect::null());
    EXPECT_EQ(Rect(10, 10, -4, -4), Rect(6, 6, 4, 4));
    EXPECT_TRUE(Rect(0, 0, 4, 4).insetBy(3, 3).isNull());
    EXPECT_EQ(Rect(0, 0, 4, 4).insetBy(1, 1), Rect(1, 1, 2, 2));
}
