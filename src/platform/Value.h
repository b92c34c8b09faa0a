#pragma once
// The value type of settings dictionaries, metadata and property lists.
//
// A Value holds one of: the null marker (a stored "no value"), a bool, a
// 32- or 64-bit integer, a 32-bit float (kept exact, never widened on
// storage), a double, a string, a byte block, a date, an array, a dictionary
// with case-sensitive string keys, or a reference to a shared Object (profile
// objects, which a property list cannot carry).
//
// Arrays and dictionaries are held by value: copying a Value copies its
// containers (objects stay shared). Numbers compare by numeric value across
// kinds, so 1, 1.0f and true are equal, as number objects are.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace orvanta {

// Base of reference objects held in values: profiles, buffers kept in caches.
class Object {
public:
    virtual ~Object();
    // The class name used in serialised markers and in descriptions.
    virtual std::string className() const = 0;
    // Identity by default; classes with value identity override both.
    virtual bool isEqual(const Object &other) const { return this == &other; }
    virtual std::size_t hash() const { return reinterpret_cast<std::uintptr_t>(this); }
};

using Data = std::vector<std::uint8_t>;

// A point in time, seconds since 1970-01-01 00:00:00 UTC.
struct Date {
    double secondsSince1970 = 0;
    friend bool operator==(const Date &, const Date &) = default;
};

class Value;
class Dictionary;
using Array = std::vector<Value>;

namespace detail {
// Owns a heap copy of T so that Value can hold containers of itself.
template <class T> class Box {
public:
    explicit Box(T v);
    Box(const Box &o);
    Box(Box &&o) noexcept = default;
    Box &operator=(const Box &o);
    Box &operator=(Box &&o) noexcept = default;
    ~Box();
    T &get() { return *p_; }
    const T &get() const { return *p_; }

private:
    std::unique_ptr<T> p_;
};
} // namespace detail

class Value {
public:
    enum class Type {
        Null,
        Bool,
        Int32,
        Int64,
        Float,
        Double,
        String,
        Data,
        Date,
        Array,
        Dictionary,
        Object
    };

    Value(); // the null marker
    static Value null() { return Value(); }

    Value(bool b);
    Value(std::int32_t i);
    Value(std::int64_t i);
    Value(std::uint32_t i);
    Value(std::uint64_t i);
    Value(long long i);
    Value(float f);
    Value(double d);
    Value(std::string s);
    Value(const char *s);
    Value(orvanta::Data d);
    Value(orvanta::Date d);
    Value(orvanta::Array a);
    Value(orvanta::Dictionary d);
    Value(std::shared_ptr<orvanta::Object> o);
    template <class T, class = std::enable_if_t<std::is_base_of_v<orvanta::Object, T>>>
    Value(std::shared_ptr<T> o) : Value(std::static_pointer_cast<orvanta::Object>(std::move(o))) {}

    Value(const Value &);
    Value(Value &&) noexcept;
    Value &operator=(const Value &);
    Value &operator=(Value &&) noexcept;
    ~Value();

    Type type() const;
    bool isNull() const { return type() == Type::Null; }
    bool isBool() const { return type() == Type::Bool; }
    bool isInteger() const { return type() == Type::Int32 || type() == Type::Int64; }
    bool isReal() const { return type() == Type::Float || type() == Type::Double; }
    bool isNumber() const { return isBool() || isInteger() || isReal(); }
    bool isString() const { return type() == Type::String; }
    bool isData() const { return type() == Type::Data; }
    bool isDate() const { return type() == Type::Date; }
    bool isArray() const { return type() == Type::Array; }
    bool isDictionary() const { return type() == Type::Dictionary; }
    bool isObject() const { return type() == Type::Object; }

    // Numeric read-outs: a number of any kind converts (bool as 0 or 1);
    // anything else gives nullopt.
    std::optional<double> toDouble() const;
    std::optional<float> toFloat() const;
    std::optional<std::int64_t> toInt64() const;
    std::optional<std::int32_t> toInt32() const;
    std::optional<bool> toBool() const; // numbers: non-zero is true

    // Typed access; the pointer is null when the value is of another type.
    const std::string *string() const;
    const orvanta::Data *data() const;
    const orvanta::Date *date() const;
    const orvanta::Array *array() const;
    orvanta::Array *array();
    const orvanta::Dictionary *dictionary() const;
    orvanta::Dictionary *dictionary();
    std::shared_ptr<orvanta::Object> object() const;
    template <class T> std::shared_ptr<T> objectAs() const { return std::dynamic_pointer_cast<T>(object()); }

    bool operator==(const Value &other) const;
    bool operator!=(const Value &other) const { return !(*this == other); }

    // A short human-readable form for logs.
    std::string description() const;

private:
    using Storage = std::variant<std::monostate, bool, std::int32_t, std::int64_t, float, double, std::string,
                                 orvanta::Data, orvanta::Date, detail::Box<orvanta::Array>,
                                 detail::Box<orvanta::Dictionary>, std::shared_ptr<orvanta::Object>>;
    Storage v_;
};

// String-keyed dictionary of values, keys kept in sorted order.
class Dictionary {
public:
    using Map = std::map<std::string, Value>;
    using const_iterator = Map::const_iterator;
    using iterator = Map::iterator;

    Dictionary() = default;
    Dictionary(std::initializer_list<std::pair<const std::string, Value>> init) : map_(init) {}

    // The stored value (the null marker included), or null when absent.
    const Value *find(const std::string &key) const;
    Value *find(const std::string &key);
    // The stored value, with a stored null marker read as absent.
    const Value *get(const std::string &key) const;

    bool contains(const std::string &key) const { return map_.count(key) != 0; }
    void set(const std::string &key, Value v) { map_[key] = std::move(v); }
    bool remove(const std::string &key) { return map_.erase(key) != 0; }
    Value &operator[](const std::string &key) { return map_[key]; }

    // Convenience read-outs with a fallback for absent or mistyped values.
    double doubleFor(const std::string &key, double fallback = 0) const;
    float floatFor(const std::string &key, float fallback = 0) const;
    std::int64_t intFor(const std::string &key, std::int64_t fallback = 0) const;
    bool boolFor(const std::string &key, bool fallback = false) const;
    std::string stringFor(const std::string &key, const std::string &fallback = {}) const;

    // Adds every entry of other, its values winning.
    void merge(const Dictionary &other);

    std::size_t size() const { return map_.size(); }
    bool empty() const { return map_.empty(); }
    void clear() { map_.clear(); }
    const_iterator begin() const { return map_.begin(); }
    const_iterator end() const { return map_.end(); }
    iterator begin() { return map_.begin(); }
    iterator end() { return map_.end(); }

    bool operator==(const Dictionary &other) const { return map_ == other.map_; }
    bool operator!=(const Dictionary &other) const { return !(*this == other); }

private:
    Map map_;
};

} // namespace orvanta
