#include "Value.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace orvanta {

Object::~Object() = default;

namespace detail {
template <class T> Box<T>::Box(T v) : p_(std::make_unique<T>(std::move(v))) {}
template <class T> Box<T>::Box(const Box &o) : p_(std::make_unique<T>(*o.p_)) {}
template <class T> Box<T> &Box<T>::operator=(const Box &o) {
    if (this != &o) p_ = std::make_unique<T>(*o.p_);
    return *this;
}
template <class T> Box<T>::~Box() = default;
template class Box<Array>;
template class Box<Dictionary>;
} // namespace detail

Value::Value() = default;
Value::Value(bool b) : v_(b) {}
Value::Value(std::int32_t i) : v_(i) {}
Value::Value(std::int64_t i) : v_(i) {}
Value::Value(std::uint32_t i) : v_(static_cast<std::int64_t>(i)) {}
Value::Value(std::uint64_t i) : v_(static_cast<std::int64_t>(i)) {}
Value::Value(long long i) : v_(static_cast<std::int64_t>(i)) {}
Value::Value(float f) : v_(f) {}
Value::Value(double d) : v_(d) {}
Value::Value(std::string s) : v_(std::move(s)) {}
Value::Value(const char *s) : v_(std::string(s ? s : "")) {}
Value::Value(orvanta::Data d) : v_(std::move(d)) {}
Value::Value(orvanta::Date d) : v_(d) {}
Value::Value(orvanta::Array a) : v_(detail::Box<Array>(std::move(a))) {}
Value::Value(orvanta::Dictionary d) : v_(detail::Box<Dictionary>(std::move(d))) {}
Value::Value(std::shared_ptr<orvanta::Object> o) {
    if (o) v_ = std::move(o);
}
Value::Value(const Value &) = default;
Value::Value(Value &&) noexcept = default;
Value &Value::operator=(const Value &) = default;
Value &Value::operator=(Value &&) noexcept = default;
Value::~Value() = default;

Value::Type Value::type() const {
    return static_cast<Type>(v_.index());
}

std::optional<double> Value::toDouble() const {
    switch (type()) {
    case Type::Bool:
        return std::get<bool>(v_) ? 1.0 : 0.0;
    case Type::Int32:
        return std::get<std::int32_t>(v_);
    case Type::Int64:
        return static_cast<double>(std::get<std::int64_t>(v_));
    case Type::Float:
        return std::get<float>(v_);
    case Type::Double:
        return std::get<double>(v_);
    default:
        return std::nullopt;
    }
}

std::optional<float> Value::toFloat() const {
    if (type() == Type::Float) return std::get<float>(v_);
    auto d = toDouble();
    if (!d) return std::nullopt;
    return static_cast<float>(*d);
}

std::optional<std::int64_t> Value::toInt64() const {
    switch (type()) {
    case Type::Bool:
        return std::get<bool>(v_) ? 1 : 0;
    case Type::Int32:
        return std::get<std::int32_t>(v_);
    case Type::Int64:
        return std::get<std::int64_t>(v_);
    case Type::Float:
    case Type::Double: {
        double d = *toDouble();
        if (std::isnan(d)) return 0;
        // Saturate rather than invoke undefined behaviour on out-of-range reals.
        if (d >= 9.2233720368547758e18) return std::numeric_limits<std::int64_t>::max();
        if (d <= -9.2233720368547758e18) return std::numeric_limits<std::int64_t>::min();
        return static_cast<std::int64_t>(d);
    }
    default:
        return std::nullopt;
    }
}

std::optional<std::int32_t> Value::toInt32() const {
    auto i = toInt64();
    if (!i) return std::nullopt;
    if (*i > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
    if (*i < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(*i);
}

std::optional<bool> Value::toBool() const {
    if (type() == Type::Bool) return std::get<bool>(v_);
    auto d = toDouble();
    if (!d) return std::nullopt;
    return *d != 0;
}

const std::string *Value::string() const {
    return std::get_if<std::string>(&v_);
}
const Data *Value::data() const {
    return std::get_if<Data>(&v_);
}
const Date *Value::date() const {
    return std::get_if<Date>(&v_);
}
const Array *Value::array() const {
    auto b = std::get_if<detail::Box<Array>>(&v_);
    return b ? &b->get() : nullptr;
}
Array *Value::array() {
    auto b = std::get_if<detail::Box<Array>>(&v_);
    return b ? &b->get() : nullptr;
}
const Dictionary *Value::dictionary() const {
    auto b = std::get_if<detail::Box<Dictionary>>(&v_);
    return b ? &b->get() : nullptr;
}
Dictionary *Value::dictionary() {
    auto b = std::get_if<detail::Box<Dictionary>>(&v_);
    return b ? &b->get() : nullptr;
}
std::shared_ptr<Object> Value::object() const {
    auto p = std::get_if<std::shared_ptr<Object>>(&v_);
    return p ? *p : nullptr;
}

bool Value::operator==(const Value &other) const {
    if (isNumber() && other.isNumber()) {
        // Integers compare exactly so that large 64-bit values are not
        // merged by a round trip through double.
        if ((isInteger() || isBool()) && (other.isInteger() || other.isBool()))
            return *toInt64() == *other.toInt64();
        return *toDouble() == *other.toDouble();
    }
    if (type() != other.type()) return false;
    switch (type()) {
    case Type::Null:
        return true;
    case Type::String:
        return *string() == *other.string();
    case Type::Data:
        return *data() == *other.data();
    case Type::Date:
        return *date() == *other.date();
    case Type::Array:
        return *array() == *other.array();
    case Type::Dictionary:
        return *dictionary() == *other.dictionary();
    case Type::Object: {
        auto a = object(), b = other.object();
        return a == b || a->isEqual(*b);
    }
    default:
        return false;
    }
}

std::string Value::description() const {
    char buf[64];
    switch (type()) {
    case Type::Null:
        return "<null>";
    case Type::Bool:
        return std::get<bool>(v_) ? "YES" : "NO";
    case Type::Int32:
    case Type::Int64:
        return std::to_string(*toInt64());
    case Type::Float:
    case Type::Double:
        std::snprintf(buf, sizeof buf, "%.17g", *toDouble());
        return buf;
    case Type::String:
        return "\"" + *string() + "\"";
    case Type::Data:
        return "<" + std::to_string(data()->size()) + " bytes>";
    case Type::Date:
        std::snprintf(buf, sizeof buf, "<date %.3f>", date()->secondsSince1970);
        return buf;
    case Type::Array: {
        std::string s = "(";
        bool first = true;
        for (const auto &v : *array()) {
            s += first ? "" : ", ";
            s += v.description();
            first = false;
        }
        return s + ")";
    }
    case Type::Dictionary: {
        std::string s = "{";
        bool first = true;
        for (const auto &[k, v] : *dictionary()) {
            s += first ? "" : "; ";
            s += k + " = " + v.description();
            first = false;
        }
        return s + "}";
    }
    case Type::Object:
        return "<" + object()->className() + ">";
    }
    return {};
}

const Value *Dictionary::find(const std::string &key) const {
    auto it = map_.find(key);
    return it == map_.end() ? nullptr : &it->second;
}

Value *Dictionary::find(const std::string &key) {
    auto it = map_.find(key);
    return it == map_.end() ? nullptr : &it->second;
}

const Value *Dictionary::get(const std::string &key) const {
    const Value *v = find(key);
    return v && !v->isNull() ? v : nullptr;
}

double Dictionary::doubleFor(const std::string &key, double fallback) const {
    const Value *v = get(key);
    return v ? v->toDouble().value_or(fallback) : fallback;
}

float Dictionary::floatFor(const std::string &key, float fallback) const {
    const Value *v = get(key);
    return v ? v->toFloat().value_or(fallback) : fallback;
}

std::int64_t Dictionary::intFor(const std::string &key, std::int64_t fallback) const {
    const Value *v = get(key);
    return v ? v->toInt64().value_or(fallback) : fallback;
}

bool Dictionary::boolFor(const std::string &key, bool fallback) const {
    const Value *v = get(key);
    return v ? v->toBool().value_or(fallback) : fallback;
}

std::string Dictionary::stringFor(const std::string &key, const std::string &fallback) const {
    const Value *v = get(key);
    return v && v->string() ? *v->string() : fallback;
}

void Dictionary::merge(const Dictionary &other) {
    for (const auto &[k, v] : other)
        map_[k] = v;
}

} // namespace orvanta
