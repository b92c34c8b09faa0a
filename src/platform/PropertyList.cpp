#include "PropertyList.h"

#include "FileUtil.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <pugixml.hpp>
#include <sstream>

namespace orvanta::plist {
namespace {

constexpr const char *kHeader = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                                "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n";

// Nesting beyond this is refused rather than risking the stack on a hostile file.
constexpr int kMaxDepth = 512;

Error corrupt(const std::string &why) {
    return Error(kPropertyListErrorDomain, kPropertyListReadCorruptError, why);
}

std::string_view trimmed(std::string_view s) {
    const char *ws = " \t\r\n";
    auto b = s.find_first_not_of(ws);
    if (b == std::string_view::npos) return {};
    auto e = s.find_last_not_of(ws);
    return s.substr(b, e - b + 1);
}

std::optional<Value> parseElement(const pugi::xml_node &node, int depth, Error *error) {
    if (depth > kMaxDepth) {
        setError(error, corrupt("property list nested too deeply"));
        return std::nullopt;
    }
    std::string_view name = node.name();
    if (name == "dict") {
        Dictionary dict;
        pugi::xml_node child = node.first_child();
        while (child) {
            if (child.type() != pugi::node_element) {
                child = child.next_sibling();
                continue;
            }
            if (std::string_view(child.name()) != "key") {
                setError(error,
                         corrupt(std::string("expected <key> in <dict>, found <") + child.name() + ">"));
                return std::nullopt;
            }
            std::string key = child.child_value();
            pugi::xml_node valueNode = child.next_sibling();
            while (valueNode && valueNode.type() != pugi::node_element)
                valueNode = valueNode.next_sibling();
            if (!valueNode) {
                setError(error, corrupt("<key>" + key + "</key> has no value"));
                return std::nullopt;
            }
            auto v = parseElement(valueNode, depth + 1, error);
            if (!v) return std::nullopt;
            dict.set(key, std::move(*v));
            child = valueNode.next_sibling();
        }
        return Value(std::move(dict));
    }
    if (name == "array") {
        Array arr;
        for (pugi::xml_node child : node.children()) {
            if (child.type() != pugi::node_element) continue;
            auto v = parseElement(child, depth + 1, error);
            if (!v) return std::nullopt;
            arr.push_back(std::move(*v));
        }
        return Value(std::move(arr));
    }
    if (name == "string") return Value(std::string(node.child_value()));
    if (name == "true") return Value(true);
    if (name == "false") return Value(false);
    if (name == "integer") {
        std::string_view t = trimmed(node.child_value());
        if (!t.empty() && t.front() == '+') t.remove_prefix(1);
        std::int64_t i = 0;
        auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), i);
        if (ec == std::errc() && p == t.data() + t.size() && !t.empty()) return Value(i);
        // Unsigned values past the signed range are kept by their bit pattern.
        std::uint64_t u = 0;
        auto [pu, ecu] = std::from_chars(t.data(), t.data() + t.size(), u);
        if (ecu == std::errc() && pu == t.data() + t.size() && !t.empty())
            return Value(static_cast<std::int64_t>(u));
        setError(error, corrupt("bad <integer> \"" + std::string(t) + "\""));
        return std::nullopt;
    }
    if (name == "real") {
        std::string t(trimmed(node.child_value()));
        if (t == "nan" || t == "NaN") return Value(std::nan(""));
        if (t == "+infinity" || t == "infinity" || t == "inf") return Value(HUGE_VAL);
        if (t == "-infinity" || t == "-inf") return Value(-HUGE_VAL);
        double d = 0;
        auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), d);
        if (ec == std::errc() && p == t.data() + t.size() && !t.empty()) return Value(d);
        setError(error, corrupt("bad <real> \"" + t + "\""));
        return std::nullopt;
    }
    if (name == "data") {
        auto d = base64Decode(node.child_value());
        if (!d) {
            setError(error, corrupt("bad base64 in <data>"));
            return std::nullopt;
        }
        return Value(std::move(*d));
    }
    if (name == "date") {
        auto d = parseDate(trimmed(node.child_value()));
        if (!d) {
            setError(error, corrupt("bad <date> \"" + std::string(node.child_value()) + "\""));
            return std::nullopt;
        }
        return Value(*d);
    }
    setError(error, corrupt("unknown element <" + std::string(name) + ">"));
    return std::nullopt;
}

void appendEscaped(std::string &out, std::string_view s) {
    for (char c : s) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        default:
            out += c;
        }
    }
}

std::string formatReal(double d) {
    if (std::isnan(d)) return "nan";
    if (std::isinf(d)) return d > 0 ? "+infinity" : "-infinity";
    char buf[64];
    // Shortest digits that read back as the same double.
    auto [p, ec] = std::to_chars(buf, buf + sizeof buf, d);
    (void)ec;
    return std::string(buf, p);
}

bool writeElement(std::string &out, const Value &v, int indent, Error *error) {
    if (indent > kMaxDepth) {
        setError(error,
                 Error(kPropertyListErrorDomain, kPropertyListWriteInvalidError, "value nested too deeply"));
        return false;
    }
    std::string pad(indent, '\t');
    out += pad;
    switch (v.type()) {
    case Value::Type::Null:
        setError(error, Error(kPropertyListErrorDomain, kPropertyListWriteInvalidError,
                              "a null value cannot be written to a property list"));
        return false;
    case Value::Type::Object:
        setError(error, Error(kPropertyListErrorDomain, kPropertyListWriteInvalidError,
                              "an object of class " + v.object()->className() +
                                  " cannot be written to a property list"));
        return false;
    case Value::Type::Bool:
        out += *v.toBool() ? "<true/>\n" : "<false/>\n";
        return true;
    case Value::Type::Int32:
    case Value::Type::Int64:
        out += "<integer>" + std::to_string(*v.toInt64()) + "</integer>\n";
        return true;
    case Value::Type::Float:
    case Value::Type::Double:
        out += "<real>" + formatReal(*v.toDouble()) + "</real>\n";
        return true;
    case Value::Type::String:
        out += "<string>";
        appendEscaped(out, *v.string());
        out += "</string>\n";
        return true;
    case Value::Type::Data:
        out += "<data>" + base64Encode(*v.data()) + "</data>\n";
        return true;
    case Value::Type::Date:
        out += "<date>" + formatDate(*v.date()) + "</date>\n";
        return true;
    case Value::Type::Array:
        if (v.array()->empty()) {
            out += "<array/>\n";
            return true;
        }
        out += "<array>\n";
        for (const auto &e : *v.array())
            if (!writeElement(out, e, indent + 1, error)) return false;
        out += pad + "</array>\n";
        return true;
    case Value::Type::Dictionary:
        if (v.dictionary()->empty()) {
            out += "<dict/>\n";
            return true;
        }
        out += "<dict>\n";
        for (const auto &[k, e] : *v.dictionary()) {
            out += pad + "\t<key>";
            appendEscaped(out, k);
            out += "</key>\n";
            if (!writeElement(out, e, indent + 1, error)) return false;
        }
        out += pad + "</dict>\n";
        return true;
    }
    return false;
}

} // namespace

std::optional<Value> parseXML(std::string_view xml, Error *error) {
    pugi::xml_document doc;
    pugi::xml_parse_result res =
        doc.load_buffer(xml.data(), xml.size(), pugi::parse_default | pugi::parse_ws_pcdata_single);
    if (!res) {
        setError(error, corrupt(std::string("not an XML property list: ") + res.description()));
        return std::nullopt;
    }
    pugi::xml_node root = doc.document_element();
    if (!root) {
        setError(error, corrupt("empty document"));
        return std::nullopt;
    }
    if (std::string_view(root.name()) == "plist") {
        pugi::xml_node inner = root.first_child();
        while (inner && inner.type() != pugi::node_element)
            inner = inner.next_sibling();
        if (!inner) {
            setError(error, corrupt("<plist> holds no value"));
            return std::nullopt;
        }
        root = inner;
    }
    return parseElement(root, 0, error);
}

std::optional<std::string> toXML(const Value &root, Error *error) {
    std::string out = kHeader;
    out += "<plist version=\"1.0\">\n";
    if (!writeElement(out, root, 0, error)) return std::nullopt;
    out += "</plist>\n";
    return out;
}

std::optional<Value> readFile(const std::string &path, Error *error) {
    auto bytes = readWholeFile(path, error);
    if (!bytes) return std::nullopt;
    return parseXML(*bytes, error);
}

bool writeFile(const std::string &path, const Value &root, Error *error) {
    auto xml = toXML(root, error);
    if (!xml) return false;
    return writeFileAtomically(path, *xml, error);
}

std::string base64Encode(const Data &data) {
    static const char *tbl = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < data.size(); i += 3) {
        std::uint32_t n = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
        out += tbl[(n >> 18) & 63];
        out += tbl[(n >> 12) & 63];
        out += tbl[(n >> 6) & 63];
        out += tbl[n & 63];
    }
    if (i + 1 == data.size()) {
        std::uint32_t n = data[i] << 16;
        out += tbl[(n >> 18) & 63];
        out += tbl[(n >> 12) & 63];
        out += "==";
    } else if (i + 2 == data.size()) {
        std::uint32_t n = (data[i] << 16) | (data[i + 1] << 8);
        out += tbl[(n >> 18) & 63];
        out += tbl[(n >> 12) & 63];
        out += tbl[(n >> 6) & 63];
        out += '=';
    }
    return out;
}

std::optional<Data> base64Decode(std::string_view text) {
    Data out;
    std::uint32_t acc = 0;
    int bits = 0;
    int padding = 0;
    for (char c : text) {
        int v;
        if (c >= 'A' && c <= 'Z')
            v = c - 'A';
        else if (c >= 'a' && c <= 'z')
            v = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            v = c - '0' + 52;
        else if (c == '+')
            v = 62;
        else if (c == '/')
            v = 63;
        else if (c == '=') {
            ++padding;
            continue;
        } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r')
            continue;
        else
            return std::nullopt;
        if (padding) return std::nullopt; // data after padding
        acc = (acc << 6) | static_cast<std::uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<std::uint8_t>((acc >> bits) & 0xff));
        }
    }
    if (padding > 2) return std::nullopt;
    return out;
}

std::string formatDate(const Date &date) {
    std::time_t t = static_cast<std::time_t>(std::floor(date.secondsSince1970));
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

std::optional<Date> parseDate(std::string_view text) {
    std::tm tm{};
    int consumed = 0;
    std::string s(text);
    if (std::sscanf(s.c_str(), "%4d-%2d-%2dT%2d:%2d:%2dZ%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                    &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &consumed) != 6 ||
        static_cast<std::size_t>(consumed) != s.size())
        return std::nullopt;
    if (tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 ||
        tm.tm_min > 59 || tm.tm_sec > 60)
        return std::nullopt;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return Date{static_cast<double>(timegm(&tm))};
}

} // namespace orvanta::plist
