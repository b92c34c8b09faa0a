#include "platform/Value.h"

#include <cmath>
#include <gtest/gtest.h>

using namespace orvanta;

namespace {
struct Profile : Object {
    explicit Profile(std::string n) : name(std::move(n)) {}
    std::string className() const override { return "Profile"; }
    bool isEqual(const Object &o) const override {
        auto p = dynamic_cast<const Profile *>(&o);
        return p && p->name == name;
    }
    std::string name;
};
} // namespace

TEST(Value, KindsStayApart) {
    EXPECT_EQ(Value().type(), Value::Type::Null);
    EXPECT_EQ(Value(true).type(), Value::Type::Bool);
    EXPECT_EQ(Value(std::int32_t(3)).type(), Value::Type::Int32);
    EXPECT_EQ(Value(std::int64_t(3)).type(), Value::Type::Int64);
    EXPECT_EQ(Value(std::size_t(3)).type(), Value::Type::Int64);
    EXPECT_EQ(Value(0.1f).type(), Value::Type::Float);
    EXPECT_EQ(Value(0.1).type(), Value::Type::Double);
    EXPECT_EQ(Value("text").type(), Value::Type::String);
    EXPECT_EQ(Value(Data{1, 2}).type(), Value::Type::Data);
    EXPECT_EQ(Value(Date{5}).type(), Value::Type::Date);
    EXPECT_EQ(Value(Array{}).type(), Value::Type::Array);
    EXPECT_EQ(Value(Dictionary{}).type(), Value::Type::Dictionary);
    EXPECT_EQ(Value(std::make_shared<Profile>("a")).type(), Value::Type::Object);
    EXPECT_EQ(Value(std::shared_ptr<Object>()).type(), Value::Type::Null) << "a missing object is no object";
}

TEST(Value, FloatIsKeptExactly) {
    const float f = 0.1f;
    Value v(f);
    EXPECT_EQ(*v.toFloat(), f);
    EXPECT_EQ(*v.toDouble(), static_cast<double>(f));
    EXPECT_NE(*v.toDouble(), 0.1) << "a float must not be re-rounded to the nearest double";
}

TEST(Value, NumbersCompareByValueAcrossKinds) {
    EXPECT_EQ(Value(1), Value(1.0));
    EXPECT_EQ(Value(true), Value(std::int64_t(1)));
    EXPECT_EQ(Value(0.5f), Value(0.5));
    EXPECT_NE(Value(0.1f), Value(0.1));
    EXPECT_NE(Value(std::int64_t(9007199254740993)), Value(std::int64_t(9007199254740992)));
    EXPECT_NE(Value(1), Value("1"));
    EXPECT_EQ(Value(), Value::null());
    EXPECT_NE(Value(), Value(0));
}

TEST(Value, ContainersCopyDeeplyObjectsStayShared) {
    auto profile = std::make_shared<Profile>("p");
    Dictionary inner{{"k", 1}};
    Dictionary d{{"inner", inner}, {"profile", profile}, {"list", Array{1, "two"}}};
    Value a(d);
    Value b = a;
    b.dictionary()->find("inner")->dictionary()->set("k", 2);
    b.dictionary()->find("list")->array()->push_back(3.0);
    EXPECT_EQ(a.dictionary()->find("inner")->dictionary()->intFor("k"), 1);
    EXPECT_EQ(a.dictionary()->find("list")->array()->size(), 2u);
    EXPECT_EQ(b.dictionary()->find("profile")->object(), profile);
    EXPECT_NE(a, b);
    EXPECT_EQ(Value(std::make_shared<Profile>("x")), Value(std::make_shared<Profile>("x")))
        << "objects compare with isEqual";
}

TEST(Dictionary, StoredNullMarkerReadsAsAbsent) {
    Dictionary d;
    d.set("Orvanta_Filter_inputEV", Value::null());
    d.set("Orvanta_Filter_inputSaturation", 1.5f);
    ASSERT_NE(d.find("Orvanta_Filter_inputEV"), nullptr);
    EXPECT_TRUE(d.find("Orvanta_Filter_inputEV")->isNull());
    EXPECT_EQ(d.get("Orvanta_Filter_inputEV"), nullptr);
    EXPECT_EQ(d.get("missing"), nullptr);
    EXPECT_EQ(d.floatFor("Orvanta_Filter_inputEV", 7.f), 7.f);
    EXPECT_EQ(d.floatFor("Orvanta_Filter_inputSaturation"), 1.5f);
    EXPECT_EQ(d.stringFor("Orvanta_Filter_inputSaturation", "fallback"), "fallback");
    EXPECT_NE(d.get("orvanta_filter_inputsaturation"), d.get("Orvanta_Filter_inputSaturation"))
        << "keys are case-sensitive";
}

TEST(Value, ConversionsSaturateInsteadOfOverflowing) {
    EXPECT_EQ(*Value(1e300).toInt64(), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(*Value(-1e300).toInt32(), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(*Value(std::nan("")).toInt64(), 0);
    EXPECT_FALSE(Value("3").toDouble().has_value());
    EXPECT_TRUE(*Value(0.25).toBool());
}
