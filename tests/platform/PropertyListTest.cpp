#include "platform/PropertyList.h"

#include "TestSupport.h"
#include "platform/FileUtil.h"

#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>

using namespace orvanta;

namespace {

Value everyKind() {
    Dictionary nested{{"depth", Dictionary{{"deeper", Array{1, 2.5, "x"}}}}};
    return Value(Dictionary{
        {"bool true", true},
        {"bool false", false},
        {"int32", std::int32_t(-42)},
        {"int64", std::int64_t(-9007199254740993)},
        {"float", 0.1f},
        {"double", 1.0 / 3.0},
        {"whole real", 2.0},
        {"string", "a < b & c > d \"quoted\" ünïcödé"},
        {"blank string", "   "},
        {"empty string", ""},
        {"data", Data{0, 1, 2, 250, 255}},
        {"empty data", Data{}},
        {"date", Date{1765456814}},
        {"empty array", Array{}},
        {"empty dict", Dictionary{}},
        {"nested", nested},
    });
}

} // namespace

TEST(PropertyList, RoundTripKeepsEveryTypeApart) {
    Value original = everyKind();
    Error error;
    auto xml = plist::toXML(original, &error);
    ASSERT_TRUE(xml) << error.description();
    auto back = plist::parseXML(*xml, &error);
    ASSERT_TRUE(back) << error.description();
    const Dictionary &d = *back->dictionary();

    EXPECT_EQ(d.find("bool true")->type(), Value::Type::Bool);
    EXPECT_EQ(d.find("bool false")->type(), Value::Type::Bool);
    EXPECT_TRUE(d.find("int32")->isInteger());
    EXPECT_EQ(*d.find("int64")->toInt64(), -9007199254740993);
    EXPECT_TRUE(d.find("float")->isReal());
    EXPECT_EQ(*d.find("float")->toFloat(), 0.1f);
    EXPECT_EQ(*d.find("float")->toDouble(), static_cast<double>(0.1f)) << "the float's exact value is kept";
    EXPECT_EQ(*d.find("double")->toDouble(), 1.0 / 3.0);
    EXPECT_TRUE(d.find("whole real")->isReal()) << "a whole-number real stays a real";
    EXPECT_EQ(d.find("blank string")->string() ? *d.find("blank string")->string() : "<none>", "   ");
    EXPECT_TRUE(d.find("data")->isData());
    EXPECT_TRUE(d.find("date")->isDate());
    EXPECT_EQ(*back, original);
}

TEST(PropertyList, ReadsAHandWrittenFileInThePlatformFormat) {
    const char *xml = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<array>
	<dict>
		<key>Orvanta_UUID</key>
		<string>/Users/someone/Pictures/IMG_0001.CR2</string>
		<key>Orvanta_Filter_inputEV</key>
		<real>0.30000001192092896</real>
		<key>Orvanta_ExportFileType</key>
		<integer>2</integer>
		<key>Orvanta_MaintainWhites</key>
		<true/>
		<key>Orvanta_SceneReferred</key>
		<false/>
		<key>Orvanta_CameraProfile</key>
		<dict>
			<key>Class_of_serialized_Object</key>
			<string>DNGCameraProfileAbstract</string>
			<key>FileName</key>
			<string>Camera Standard.dcp</string>
		</dict>
		<key>Orvanta_Thumb</key>
		<data>
		AAEC
		/w==
		</data>
		<key>Orvanta_Closed</key>
		<date>2020-02-29T23:59:59Z</date>
	</dict>
</array>
</plist>
)";
    Error error;
    auto root = plist::parseXML(xml, &error);
    ASSERT_TRUE(root) << error.description();
    ASSERT_TRUE(root->isArray());
    ASSERT_EQ(root->array()->size(), 1u);
    const Dictionary &e = *(*root->array())[0].dictionary();
    EXPECT_EQ(e.stringFor("Orvanta_UUID"), "/Users/someone/Pictures/IMG_0001.CR2");
    EXPECT_TRUE(e.find("Orvanta_Filter_inputEV")->isReal());
    EXPECT_EQ(*e.find("Orvanta_Filter_inputEV")->toFloat(), 0.3f);
    EXPECT_TRUE(e.find("Orvanta_ExportFileType")->isInteger());
    EXPECT_EQ(e.intFor("Orvanta_ExportFileType"), 2);
    EXPECT_EQ(e.find("Orvanta_MaintainWhites")->type(), Value::Type::Bool);
    EXPECT_TRUE(e.boolFor("Orvanta_MaintainWhites"));
    EXPECT_FALSE(e.boolFor("Orvanta_SceneReferred", true));
    const Dictionary *marker = e.find("Orvanta_CameraProfile")->dictionary();
    ASSERT_NE(marker, nullptr);
    EXPECT_EQ(marker->stringFor("Class_of_serialized_Object"), "DNGCameraProfileAbstract");
    EXPECT_EQ(*e.find("Orvanta_Thumb")->data(), (Data{0, 1, 2, 255}));
    EXPECT_EQ(plist::formatDate(*e.find("Orvanta_Closed")->date()), "2020-02-29T23:59:59Z");
}

TEST(PropertyList, RejectsMalformedInputWithAnError) {
    const char *bad[] = {
        "",
        "not xml at all",
        "<plist version=\"1.0\"><dict><key>a</key></dict></plist>",
        "<plist version=\"1.0\"><dict><string>no key</string></dict></plist>",
        "<plist version=\"1.0\"><integer>12x</integer></plist>",
        "<plist version=\"1.0\"><integer>99999999999999999999999</integer></plist>",
        "<plist version=\"1.0\"><real>abc</real></plist>",
        "<plist version=\"1.0\"><data>!!!</data></plist>",
        "<plist version=\"1.0\"><date>yesterday</date></plist>",
        "<plist version=\"1.0\"><unknown/></plist>",
        "<plist version=\"1.0\"><array><string>unclosed</array></plist>",
        "<plist version=\"1.0\"></plist>",
    };
    for (const char *xml : bad) {
        SCOPED_TRACE(xml);
        Error error;
        EXPECT_FALSE(plist::parseXML(xml, &error));
        EXPECT_EQ(error.domain, kPropertyListErrorDomain);
        EXPECT_EQ(error.code, kPropertyListReadCorruptError);
    }
}

TEST(PropertyList, DeepNestingIsRefusedNotACrash) {
    std::string xml = "<plist version=\"1.0\">";
    for (int i = 0; i < 100000; ++i)
        xml += "<array>";
    for (int i = 0; i < 100000; ++i)
        xml += "</array>";
    xml += "</plist>";
    Error error;
    EXPECT_FALSE(plist::parseXML(xml, &error));
}

TEST(PropertyList, ValuesWithoutAPropertyListFormCannotBeWritten) {
    struct Thing : Object {
        std::string className() const override { return "Thing"; }
    };
    for (const Value &v :
         {Value(Dictionary{{"k", Value::null()}}), Value(Array{Value(std::make_shared<Thing>())})}) {
        Error error;
        EXPECT_FALSE(plist::toXML(v, &error));
        EXPECT_EQ(error.code, kPropertyListWriteInvalidError);
    }
}

TEST(PropertyList, WriteFileReplacesAtomically) {
    test::ScratchDir dir;
    const std::string path = dir.file("OrvantaCatalog.plist");
    ASSERT_TRUE(plist::writeFile(path, Value(Array{Dictionary{{"Orvanta_UUID", "/a"}}})));
    const std::string before = test::readText(path);

    // A value that cannot be written leaves the old file as it was.
    Error error;
    EXPECT_FALSE(plist::writeFile(path, Value(Array{Value::null()}), &error));
    EXPECT_EQ(test::readText(path), before);

    // So does a write that fails half-way: the file-size limit stands in for a
    // full disk (root is not stopped by permissions).
    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    Array big;
    for (int i = 0; i < 100; ++i)
        big.push_back(Dictionary{{"Orvanta_UUID", "/image/" + std::to_string(i)}});
    bool written = plist::writeFile(path, Value(big), &error);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(written);
    EXPECT_EQ(error.domain, kPOSIXErrorDomain);
    EXPECT_EQ(test::readText(path), before);
    EXPECT_EQ(test::countEntriesWithPrefix(dir.path(), "OrvantaCatalog.plist."), 0)
        << "no temporary file is left";

    // And a good write replaces the whole file.
    ASSERT_TRUE(plist::writeFile(path, Value(big)));
    auto back = plist::readFile(path);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->array()->size(), 100u);
}

TEST(PropertyList, MissingFileReportsThePosixError) {
    Error error;
    EXPECT_FALSE(plist::readFile("/nonexistent/folder/file.plist", &error));
    EXPECT_EQ(error.domain, kPOSIXErrorDomain);
    EXPECT_EQ(error.code, ENOENT);
}

TEST(PropertyList, Base64AndDates) {
    for (std::size_t n = 0; n < 8; ++n) {
        Data d;
        for (std::size_t i = 0; i < n; ++i)
            d.push_back(static_cast<std::uint8_t>(i * 37 + 5));
        auto back = plist::base64Decode(plist::base64Encode(d));
        ASSERT_TRUE(back);
        EXPECT_EQ(*back, d) << n;
    }
    EXPECT_EQ(plist::base64Encode(Data{'M', 'a', 'n'}), "TWFu");
    EXPECT_FALSE(plist::base64Decode("TW=Fu"));
    EXPECT_EQ(plist::formatDate(Date{0}), "1970-01-01T00:00:00Z");
    EXPECT_EQ(plist::parseDate("2001-01-01T00:00:00Z")->secondsSince1970, 978307200);
    EXPECT_FALSE(plist::parseDate("2001-13-01T00:00:00Z"));
    EXPECT_FALSE(plist::parseDate("2001-01-01T00:00:00"));
}
