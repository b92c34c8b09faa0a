#include "browser/InspectorModel.h"

#include "platform/ImagePropertyKeys.h"

#include <gtest/gtest.h>

using namespace orvanta;
namespace ip = imageprops;

namespace {

std::string shown(const char *key, const Value &v) {
    return InspectorModel::prettyValue(v, InspectorModel::itemIndex(key));
}

} // namespace

TEST(Inspector, NamesAndValues) {
    const std::pair<const char *, const char *> names[] = {{"FNumber", "F Number"},
                                                           {"ExposureTime", "Exposure Time"},
                                                           {"ABC", "A BC"},
                                                           {"ID", "ID"},
                                                           {"PixelXDimension", "Pixel X Dimension"}};
    for (const auto &[key, name] : names)
        EXPECT_EQ(InspectorModel::prettyName(key), name);

    const struct {
        const char *key;
        Value value;
        const char *text;
    } values[] = {
        {"ExposureTime", 0.004, "1/250"},
        {"ExposureTime", 2.5, "2.5"},
        {"ExposureTime", 30.0, "30"},
        {"ApertureValue", 5.0, "5.7"},
        {"FNumber", 0.95, "0.95"},
        {"ShutterSpeedValue", 8.0, "1/256"},
        {"Flash", 0x19, "Flash fired; auto mode; flash function present"},
        {"Flash", 0x10, "Flash did not fire; compulsory flash suppression; flash function present"},
        {"Flash", 0x20, "Flash did not fire; no flash function present"},
        {"Flash", 0x41, "Flash fired; flash function present; red-eye reduction supported"},
        {"Latitude", 48.8584, "48\u00b0 51\" 30.24'"},
        {"LatitudeRef", "n", "North"},
        {"ExposureProgram", 3, "Aperture priority"},
        {"LightSource", 21, "D65"},
        {"LightSource", 99, "Other"},
        {"DNGVersion", Array{Value(1), Value(4), Value(0), Value(0)}, "1.4.0.0"},
        {"LensInfo", Array{Value(24.0), Value(70.0), Value(2.8), Value(2.8)}, "( 24, 70, 2.8, 2.8 )"},
        {"LensInfo", Array{Value(24.25), Value(105.5), Value(3.55), Value(5.65)}, "( 24.2, 106, 3.55, ... )"},
        {"Model", "  Camera  ", "Camera"},
        {"FocalLength", 1234.5, "1234.5"},
        {"ISOSpeedRatings", Array{Value(400)}, "400"},
    };
    for (const auto &v : values)
        EXPECT_EQ(shown(v.key, v.value), v.text) << v.key;
}

TEST(Inspector, TreeGroupsAndHiddenRows) {
    const Dictionary meta{
        {ip::kPixelWidth, 6000},
        {"NotInTheTable", 1},
        {ip::kExifDictionary, Dictionary{{"MakerNote", "xyz"}, {"ExposureTime", 0.01}, {"OECF", "x"}}},
        {ip::kTIFFDictionary, Dictionary{{"Make", "Maker"}}},
        {"{Custom}", Dictionary{{"Model", "m"}}},
    };
    const auto tree = InspectorModel::propTree(meta);
    // Keys in ascending order: the top-level row first, then the groups.
    ASSERT_EQ(tree.size(), 4u);
    EXPECT_EQ(tree[0].key, "Pixel Width");
    EXPECT_EQ(tree[0].val, "6000");
    EXPECT_EQ(tree[1].key, "{Custom}");
    EXPECT_EQ(tree[1].children.at(0).key, "Model");
    EXPECT_EQ(tree[2].key, "EXIF Metadata");
    ASSERT_EQ(tree[2].children.size(), 1u) << "maker note and OECF hidden";
    EXPECT_EQ(tree[2].children[0].key, "Exposure Time");
    EXPECT_EQ(tree[2].children[0].val, "1/100");
    EXPECT_EQ(tree[3].key, "TIFF Metadata");
    EXPECT_EQ(InspectorModel::appendWithSeparator("", "a", ", "), "a");
    EXPECT_EQ(InspectorModel::appendWithSeparator("a", "b", ", "), "a, b");
}
