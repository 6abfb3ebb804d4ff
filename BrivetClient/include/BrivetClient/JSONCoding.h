#pragma once
// The shared JSON coders.
//
// Wire coding (everything exchanged with the device service and the blocklist
// cache): records describe themselves with their camelCase field names; the
// encoder turns every key into snake_case, the decoder turns every incoming key
// into camelCase before the record looks for its fields, so both spellings
// decode. Plain coding (files of our own, the service's error body) keeps the
// field names as they are.
//
// Records implement
//     nlohmann::ordered_json toJSON() const;               // field-name keys
//     static T fromJSON(const nlohmann::ordered_json&);    // field-name keys
// and the functions below do the key conversion in one place. Decoders throw
// DecodingError for every malformed input (wrong type, missing key,
// fractional or quoted integer, broken UTF-8, syntax), never anything else.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace brivet {

using Json = nlohmann::ordered_json;

class DecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class EncodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

namespace JSONCoding {

// How deep a JSON text's arrays and objects nest, counted without parsing it
// (strings are skipped), so that a hostile text can be refused before any
// parser or destructor recursion runs away on it. What a malformed text
// counts only matters as a bound: it is refused anyway.
std::size_t nestingDepth(std::string_view text);

// "policySeq" -> "policy_seq", "myURLValue" -> "my_url_value"; a key without
// upper-case letters is unchanged.
std::string toSnakeCase(std::string_view key);
// "policy_seq" -> "policySeq"; leading and trailing underscores stay; a key
// without underscores is unchanged.
std::string toCamelCase(std::string_view key);

// Recursive key conversion of every object in the tree.
Json snakeCaseKeys(const Json& value);
Json camelCaseKeys(const Json& value);

// Parses JSON text strictly (UTF-8 checked). Throws DecodingError.
Json parse(std::string_view text);

// Wire encoder: snake_case keys, compact, keys in the order given.
// Throws EncodingError when a string is not valid UTF-8.
std::string encode(const Json& value);
// Plain encoder: keys as given, compact.
std::string plainEncode(const Json& value);

// Wire decoder: parse, then camelCase keys.
Json decodeTree(std::string_view text);

template <class T>
std::string encode(const T& record) { return encode(record.toJSON()); }
template <class T>
std::string plainEncode(const T& record) { return plainEncode(record.toJSON()); }
template <class T>
T decode(std::string_view text) { return T::fromJSON(decodeTree(text)); }
template <class T>
T plainDecode(std::string_view text) { return T::fromJSON(parse(text)); }

// ---- Field access for fromJSON implementations (all throw DecodingError).

// The value must be an object; `what` names it in the error.
const Json& requireObject(const Json& value, std::string_view what);
const Json& requireArray(const Json& value, std::string_view what);
// The member must exist (null counts as present).
const Json& requireMember(const Json& object, std::string_view key);
const Json* findMember(const Json& object, std::string_view key);  // nullptr if absent

std::string asString(const Json& value, std::string_view what);
// Exact integers only: rejects strings, booleans, fractions and values out of range.
std::int64_t asInt64(const Json& value, std::string_view what);
bool asBool(const Json& value, std::string_view what);

std::string requireString(const Json& object, std::string_view key);
std::int64_t requireInt64(const Json& object, std::string_view key);
bool requireBool(const Json& object, std::string_view key);
// Absent or null gives no value; anything else must have the right type.
std::optional<std::string> optionalString(const Json& object, std::string_view key);
std::optional<std::int64_t> optionalInt64(const Json& object, std::string_view key);

}  // namespace JSONCoding
}  // namespace brivet
