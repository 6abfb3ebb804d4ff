// JSON reading and writing for the core library, on top of nlohmann-json.
//
// The reader only lets JSON blanks (space, tab, line feed, carriage return)
// surround the value, refuses a byte-order mark, refuses invalid UTF-8 and
// nesting deeper than 128 levels, and keeps the last value of a repeated key
// while reporting where keys were repeated. The writer is compact, sorts
// object members by byte order and writes every number in its own kind: an
// integer as an integer, a double with a fraction or exponent ("5.0"), so a
// value written and read again still equals the original.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brivet::core::json {

using Value = nlohmann::json;

inline constexpr size_t kMaxDepth = 128;

// A key that occurred more than once in one object. `path` leads from the
// root to that object: member names, and array positions in decimal.
struct Duplicate {
    std::vector<std::string> path;
    std::string key;
};

// Parses `text` as exactly one JSON value; nullopt on any failure, including
// nesting deeper than `maxDepth`. When `duplicates` is given, every repeated
// key is appended to it.
std::optional<Value> parse(std::string_view text, std::vector<Duplicate>* duplicates = nullptr,
                           size_t maxDepth = kMaxDepth);

// Structural equality where integers and numbers with a fraction or
// exponent never compare equal (1 differs from 1.0); objects compare member
// by member whatever the order.
bool equal(const Value& a, const Value& b);

// Compact text with members in ascending byte order of their keys.
std::string dump(const Value& value);
void dumpTo(std::string& out, const Value& value);

// The member `key` of `object`, or nullptr when absent or not an object.
const Value* member(const Value& object, std::string_view key);

// The text of a string value, or nullptr for any other value (or nullptr).
const std::string* text(const Value* value);

// The value of an integer (no fraction, no exponent) that fits a signed
// 64-bit number; nullopt for anything else.
std::optional<int64_t> int64Of(const Value* value);

}  // namespace brivet::core::json
