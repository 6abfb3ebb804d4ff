#include "BrivetClient/JSONCoding.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace brivet::JSONCoding {
namespace {

// Deeper documents are refused before parsing: every later walk over the tree
// (key conversion, serialisation) is recursive.
constexpr std::size_t kMaxDepth = 256;

bool isUpper(char c) { return c >= 'A' && c <= 'Z'; }
bool isLower(char c) { return c >= 'a' && c <= 'z'; }
char lower(char c) { return isUpper(c) ? static_cast<char>(c - 'A' + 'a') : c; }
char upper(char c) { return isLower(c) ? static_cast<char>(c - 'a' + 'A') : c; }

std::string lowered(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = lower(c);
    return out;
}

template <class Convert>
Json convertKeys(const Json& value, Convert convert) {
    if (value.is_object()) {
        Json out = Json::object();
        for (auto it = value.begin(); it != value.end(); ++it) {
            out[convert(it.key())] = convertKeys(it.value(), convert);
        }
        return out;
    }
    if (value.is_array()) {
        Json out = Json::array();
        for (const auto& element : value) out.push_back(convertKeys(element, convert));
        return out;
    }
    return value;
}

std::string quoted(std::string_view s) {
    std::string out = "\"";
    out.append(s);
    out.push_back('"');
    return out;
}

std::string dumpStrict(const Json& value) {
    try {
        return value.dump();
    } catch (const nlohmann::json::exception& e) {
        throw EncodingError(std::string("cannot encode JSON: ") + e.what());
    }
}

}  // namespace

// Word boundaries: a lower-case letter followed by an upper-case one, and the
// last capital of a run of capitals that is followed by a lower-case letter
// ("myURLValue" -> my, url, value).
std::string toSnakeCase(std::string_view key) {
    if (key.empty()) return std::string();
    std::vector<std::string_view> words;
    std::size_t wordStart = 0;
    std::size_t search = 1;
    const std::size_t n = key.size();
    while (true) {
        std::size_t up = search;
        while (up < n && !isUpper(key[up])) ++up;
        if (up >= n) break;
        words.push_back(key.substr(wordStart, up - wordStart));
        std::size_t low = up;
        while (low < n && !isLower(key[low])) ++low;
        if (low >= n) {
            wordStart = up;
            search = n;
            break;
        }
        if (low == up + 1) {
            wordStart = up;
        } else {
            words.push_back(key.substr(up, low - 1 - up));
            wordStart = low - 1;
        }
        search = low + 1;
    }
    words.push_back(key.substr(wordStart));
    std::string out;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i > 0) out.push_back('_');
        out += lowered(words[i]);
    }
    return out;
}

std::string toCamelCase(std::string_view key) {
    const std::size_t first = key.find_first_not_of('_');
    if (first == std::string_view::npos) return std::string(key);
    std::size_t last = key.size() - 1;
    while (last > first && key[last] == '_') --last;
    const std::string_view core = key.substr(first, last - first + 1);

    std::vector<std::string_view> parts;
    std::size_t pos = 0;
    while (pos <= core.size()) {
        std::size_t next = core.find('_', pos);
        if (next == std::string_view::npos) next = core.size();
        if (next > pos) parts.push_back(core.substr(pos, next - pos));
        pos = next + 1;
    }
    std::string joined;
    if (parts.size() <= 1) {
        joined = std::string(core);
    } else {
        joined = lowered(parts[0]);
        for (std::size_t i = 1; i < parts.size(); ++i) {
            std::string word = lowered(parts[i]);
            word[0] = upper(word[0]);
            joined += word;
        }
    }
    return std::string(key.substr(0, first)) + joined + std::string(key.substr(last + 1));
}

Json snakeCaseKeys(const Json& value) {
    return convertKeys(value, [](const std::string& k) { return toSnakeCase(k); });
}

Json camelCaseKeys(const Json& value) {
    return convertKeys(value, [](const std::string& k) { return toCamelCase(k); });
}

std::size_t nestingDepth(std::string_view text) {
    std::size_t depth = 0, deepest = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

Json parse(std::string_view text) {
    if (nestingDepth(text) > kMaxDepth) throw DecodingError("JSON nested too deeply");
    try {
        return Json::parse(text.begin(), text.end());
    } catch (const nlohmann::json::exception& e) {
        throw DecodingError(std::string("invalid JSON: ") + e.what());
    }
}

std::string encode(const Json& value) { return dumpStrict(snakeCaseKeys(value)); }

std::string plainEncode(const Json& value) { return dumpStrict(value); }

Json decodeTree(std::string_view text) { return camelCaseKeys(parse(text)); }

const Json& requireObject(const Json& value, std::string_view what) {
    if (!value.is_object()) throw DecodingError(std::string(what) + " is not an object");
    return value;
}

const Json& requireArray(const Json& value, std::string_view what) {
    if (!value.is_array()) throw DecodingError(std::string(what) + " is not an array");
    return value;
}

const Json* findMember(const Json& object, std::string_view key) {
    if (!object.is_object()) throw DecodingError("expected an object holding " + quoted(key));
    auto it = object.find(std::string(key));
    return it == object.end() ? nullptr : &*it;
}

const Json& requireMember(const Json& object, std::string_view key) {
    const Json* member = findMember(object, key);
    if (member == nullptr) throw DecodingError("missing key " + quoted(key));
    return *member;
}

std::string asString(const Json& value, std::string_view what) {
    if (!value.is_string()) throw DecodingError(std::string(what) + " is not a string");
    return value.get<std::string>();
}

std::int64_t asInt64(const Json& value, std::string_view what) {
    if (value.is_number_integer() && !value.is_number_unsigned()) {
        return value.get<std::int64_t>();
    }
    if (value.is_number_unsigned()) {
        const std::uint64_t u = value.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            throw DecodingError(std::string(what) + " is out of range");
        }
        return static_cast<std::int64_t>(u);
    }
    if (value.is_number_float()) {
        const double d = value.get<double>();
        // 2^63 is exactly representable; the range is [-2^63, 2^63).
        constexpr double kLimit = 9223372036854775808.0;
        if (!std::isfinite(d) || d < -kLimit || d >= kLimit) {
            throw DecodingError(std::string(what) + " is out of range");
        }
        if (std::trunc(d) != d) throw DecodingError(std::string(what) + " is not an integer");
        return static_cast<std::int64_t>(d);
    }
    throw DecodingError(std::string(what) + " is not an integer");
}

bool asBool(const Json& value, std::string_view what) {
    if (!value.is_boolean()) throw DecodingError(std::string(what) + " is not a boolean");
    return value.get<bool>();
}

std::string requireString(const Json& object, std::string_view key) {
    return asString(requireMember(object, key), quoted(key));
}

std::int64_t requireInt64(const Json& object, std::string_view key) {
    return asInt64(requireMember(object, key), quoted(key));
}

bool requireBool(const Json& object, std::string_view key) {
    return asBool(requireMember(object, key), quoted(key));
}

std::optional<std::string> optionalString(const Json& object, std::string_view key) {
    const Json* member = findMember(object, key);
    if (member == nullptr || member->is_null()) return std::nullopt;
    return asString(*member, quoted(key));
}

std::optional<std::int64_t> optionalInt64(const Json& object, std::string_view key) {
    const Json* member = findMember(object, key);
    if (member == nullptr || member->is_null()) return std::nullopt;
    return asInt64(*member, quoted(key));
}

}  // namespace brivet::JSONCoding
