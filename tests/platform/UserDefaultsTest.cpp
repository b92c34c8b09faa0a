#include "platform/UserDefaults.h"

#include "TestSupport.h"
#include "platform/Log.h"
#include "platform/PropertyList.h"

#include <gtest/gtest.h>

using namespace orvanta;

namespace {
Dictionary registration() {
    return Dictionary{{"ResolutionSelect", std::int64_t(4)},
                      {"BrowserFileSelect", std::int64_t(1)},
                      {"ShowExternalProfiles", true},
                      {"DisableImageCache", false}};
}
} // namespace

TEST(UserDefaults, UserValuesWinOverRegisteredOnesAndSurviveARestart) {
    test::ScratchDir dir;
    const std::string path = dir.file("Orvanta.plist");
    {
        UserDefaults defaults(path);
        defaults.registerDefaults(registration());
        EXPECT_EQ(defaults.integerForKey("ResolutionSelect"), 4);
        EXPECT_EQ(defaults.integerForKey("BrowserFileSelect"), 1);
        EXPECT_TRUE(defaults.boolForKey("ShowExternalProfiles"));
        EXPECT_FALSE(defaults.object("Unknown"));
        EXPECT_FALSE(test::fileExists(path)) << "registered values are never stored";

        defaults.set("ResolutionSelect", std::int64_t(2));
        defaults.set("ShowExternalProfiles", false);
        defaults.set("rawSearchDirectoryBookmark", Data{1, 2, 3});
        EXPECT_EQ(defaults.integerForKey("ResolutionSelect"), 2);
    }
    // A new process: registration runs again, the user's values stay in force.
    UserDefaults again(path);
    again.registerDefaults(registration());
    EXPECT_EQ(again.integerForKey("ResolutionSelect"), 2);
    EXPECT_FALSE(again.boolForKey("ShowExternalProfiles"));
    EXPECT_EQ(again.integerForKey("BrowserFileSelect"), 1);
    EXPECT_EQ(*again.dataForKey("rawSearchDirectoryBookmark"), (Data{1, 2, 3}));

    // Removing the user's value uncovers the registered one, also after a restart.
    again.remove("ResolutionSelect");
    EXPECT_EQ(again.integerForKey("ResolutionSelect"), 4);
    UserDefaults third(path);
    EXPECT_FALSE(third.object("ResolutionSelect"));
}

TEST(UserDefaults, TypedGettersConvertLikeThePlatform) {
    UserDefaults d{std::string()};
    d.set("s-yes", "YES");
    d.set("s-num", "42");
    d.set("real", 2.75);
    d.set("int", std::int64_t(3));
    EXPECT_TRUE(d.boolForKey("s-yes"));
    EXPECT_EQ(d.integerForKey("s-num"), 42);
    EXPECT_EQ(d.integerForKey("real"), 2);
    EXPECT_DOUBLE_EQ(d.doubleForKey("int"), 3.0);
    EXPECT_TRUE(d.boolForKey("int"));
    EXPECT_EQ(d.stringForKey("int"), "");
    EXPECT_FALSE(d.boolForKey("missing"));
    EXPECT_FALSE(d.dataForKey("s-yes"));
}

TEST(UserDefaults, ObserversHearOnlyRealChanges) {
    UserDefaults d{std::string()};
    d.registerDefaults(registration());
    std::vector<std::string> heard;
    auto token = d.addObserver("ResolutionSelect", [&](const std::string &key) { heard.push_back(key); });
    d.set("ResolutionSelect", std::int64_t(4)); // same effective value
    EXPECT_TRUE(heard.empty());
    d.set("ResolutionSelect", std::int64_t(5));
    d.set("BrowserFileSelect", std::int64_t(0)); // another key
    d.remove("ResolutionSelect");
    EXPECT_EQ(heard, (std::vector<std::string>{"ResolutionSelect", "ResolutionSelect"}));
    d.removeObserver(token);
    d.set("ResolutionSelect", std::int64_t(1));
    EXPECT_EQ(heard.size(), 2u);
}

TEST(UserDefaults, RefusesValuesAPropertyListCannotHold) {
    struct Thing : Object {
        std::string className() const override { return "Thing"; }
    };
    test::ScratchDir dir;
    UserDefaults d(dir.file("Orvanta.plist"));
    d.set("good", true);
    LogCapture log;
    EXPECT_FALSE(d.set("bad", Value(std::make_shared<Thing>())));
    EXPECT_TRUE(log.contains("user default bad not set"));
    EXPECT_FALSE(d.object("bad"));
    EXPECT_TRUE(UserDefaults(dir.file("Orvanta.plist")).boolForKey("good")) << "the file is still whole";
    d.set("good", Value::null());
    EXPECT_FALSE(d.object("good")) << "the null marker removes a value";
}

TEST(UserDefaults, AMalformedFileStartsEmptyAndIsReplacedOnTheNextChange) {
    test::ScratchDir dir;
    const std::string path = dir.file("Orvanta.plist");
    test::writeText(path, "<plist><dict><key>broken");
    LogCapture log;
    UserDefaults d(path);
    EXPECT_TRUE(log.contains("could not read user defaults"));
    EXPECT_FALSE(d.object("broken"));
    d.set("OrvantaIsRunning", true);
    auto back = plist::readFile(path);
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->dictionary()->boolFor("OrvantaIsRunning"));
}
