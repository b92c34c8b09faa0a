#pragma once
// XML property lists (format version 1.0), the form of the catalog, preset
// and preferences files. Each type stays distinct through a round trip:
// <real> reads as a double, <integer> as a signed 64-bit integer, <true/> and
// <false/> as bools, <data> as bytes, <date> as a Date. A float is written
// with the digits of its exact value, so it reads back equal to itself.
//
// The null marker and object references have no property-list form; writing
// a value that holds one fails with kPropertyListWriteInvalidError.

#include "Error.h"
#include "Value.h"

#include <optional>
#include <string>
#include <string_view>

namespace orvanta::plist {

std::optional<Value> parseXML(std::string_view xml, Error *error = nullptr);
std::optional<std::string> toXML(const Value &root, Error *error = nullptr);

// File forms; writeFile replaces the file atomically and leaves an existing
// file unchanged when anything fails.
std::optional<Value> readFile(const std::string &path, Error *error = nullptr);
bool writeFile(const std::string &path, const Value &root, Error *error = nullptr);

std::string base64Encode(const Data &data);
std::optional<Data> base64Decode(std::string_view text);

// ISO 8601 in UTC with whole seconds: "2026-12-11T12:40:14Z".
std::string formatDate(const Date &date);
std::optional<Date> parseDate(std::string_view text);

} // namespace orvanta::plist
