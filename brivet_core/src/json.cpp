#include "json.h"

#include "utf8.h"

#include <charconv>
#include <limits>
#include <utility>

namespace brivet::core::json {
namespace {

// SAX consumer that builds the document itself so that it can limit the
// depth and see repeated keys, which a plain parse hides.
class Builder {
public:
    using number_integer_t = Value::number_integer_t;
    using number_unsigned_t = Value::number_unsigned_t;
    using number_float_t = Value::number_float_t;
    using string_t = Value::string_t;
    using binary_t = Value::binary_t;

    Builder(std::vector<Duplicate>* duplicates, size_t maxDepth) : duplicates_(duplicates), maxDepth_(maxDepth) {}

    bool null() { return add(Value(nullptr)) != nullptr; }
    bool boolean(bool b) { return add(Value(b)) != nullptr; }
    bool number_integer(number_integer_t v) { return add(Value(v)) != nullptr; }
    bool number_unsigned(number_unsigned_t v) { return add(Value(v)) != nullptr; }
    bool number_float(number_float_t v, const string_t&) { return add(Value(v)) != nullptr; }
    bool string(string_t& s) { return add(Value(std::move(s))) != nullptr; }
    bool binary(binary_t&) { return false; }

    bool start_object(std::size_t) { return open(Value::object()); }
    bool start_array(std::size_t) { return open(Value::array()); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }

    bool key(string_t& k) {
        Value& object = *stack_.back();
        if (duplicates_ && object.contains(k)) duplicates_->push_back(Duplicate{path_, k});
        key_ = std::move(k);
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
        failed_ = true;
        return false;
    }

    bool failed() const { return failed_; }
    Value take() { return std::move(root_); }

private:
    bool open(Value container) {
        if (stack_.size() >= maxDepth_) return false;
        if (duplicates_ && !stack_.empty()) path_.push_back(childName());
        Value* v = add(std::move(container));
        stack_.push_back(v);
        return true;
    }

    bool close() {
        stack_.pop_back();
        if (duplicates_ && !stack_.empty()) path_.pop_back();
        return true;
    }

    // Name under which the next value of the innermost container is stored.
    std::string childName() const {
        const Value& top = *stack_.back();
        return top.is_array() ? std::to_string(top.size()) : key_;
    }

    Value* add(Value v) {
        if (stack_.empty()) {
            root_ = std::move(v);
            return &root_;
        }
        Value& top = *stack_.back();
        if (top.is_array()) {
            top.get_ref<Value::array_t&>().push_back(std::move(v));
            return &top.get_ref<Value::array_t&>().back();
        }
        // A repeated key keeps its last value.
        Value& slot = top.get_ref<Value::object_t&>()[key_];
        slot = std::move(v);
        return &slot;
    }

    std::vector<Duplicate>* duplicates_;
    size_t maxDepth_;
    std::vector<Value*> stack_;
    std::vector<std::string> path_;
    std::string key_;
    Value root_;
    bool failed_ = false;
};

void writeString(std::string& out, const std::string& s) {
    static constexpr char hex[] = "0123456789abcdef";
    out += '"';
    size_t run = 0;  // start of the characters not yet copied
    for (size_t i = 0; i < s.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(s, run, i - run);
        run = i + 1;
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default: {
                const char escape[] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15]};
                out.append(escape, sizeof escape);
            }
        }
    }
    out.append(s, run, s.size() - run);
    out += '"';
}

template <typename T>
void writeNumber(std::string& out, T v) {
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, res.ptr);
}

// A double is written as the shortest text that reads back to the same
// double, and always as a number with a fraction or exponent ("1.0", "-0.0",
// "100.0", "1e+300"), so it reads back as a double and never as an integer.
void writeDouble(std::string& out, double v) {
    const size_t start = out.size();
    writeNumber(out, v);
    if (out.find_first_of(".e", start) == std::string::npos) out += ".0";
}

__int128 integerOf(const Value& v) {
    if (v.is_number_unsigned()) return static_cast<__int128>(v.get<uint64_t>());
    return static_cast<__int128>(v.get<int64_t>());
}

}  // namespace

std::optional<Value> parse(std::string_view text, std::vector<Duplicate>* duplicates, size_t maxDepth) {
    if (!utf8::valid(text)) return std::nullopt;
    // A raw NUL byte is never valid JSON, but nlohmann-json's lexer takes it
    // for the end of the input and would accept "{}\0anything".
    if (text.find('\0') != std::string_view::npos) return std::nullopt;
    // nlohmann-json would silently skip a byte-order mark; only blanks may
    // stand before the value.
    if (text.size() >= 3 && static_cast<unsigned char>(text[0]) == 0xEF &&
        static_cast<unsigned char>(text[1]) == 0xBB && static_cast<unsigned char>(text[2]) == 0xBF)
        return std::nullopt;
    Builder builder(duplicates, maxDepth);
    bool ok = false;
    try {
        ok = Value::sax_parse(text.begin(), text.end(), &builder, nlohmann::detail::input_format_t::json,
                              /*strict=*/true, /*ignore_comments=*/false);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (...) {
        return std::nullopt;
    }
    if (!ok || builder.failed()) return std::nullopt;
    return builder.take();
}

bool equal(const Value& a, const Value& b) {
    const bool ai = a.is_number_integer(), bi = b.is_number_integer();
    if (ai || bi) return ai && bi && integerOf(a) == integerOf(b);
    const bool af = a.is_number_float(), bf = b.is_number_float();
    if (af || bf) return af && bf && a.get<double>() == b.get<double>();
    if (a.type() != b.type()) return false;
    if (a.is_array()) {
        const auto& x = a.get_ref<const Value::array_t&>();
        const auto& y = b.get_ref<const Value::array_t&>();
        if (x.size() != y.size()) return false;
        for (size_t i = 0; i < x.size(); ++i)
            if (!equal(x[i], y[i])) return false;
        return true;
    }
    if (a.is_object()) {
        const auto& x = a.get_ref<const Value::object_t&>();
        const auto& y = b.get_ref<const Value::object_t&>();
        if (x.size() != y.size()) return false;
        // Both maps are ordered by key, so members pair up in order.
        for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j)
            if (i->first != j->first || !equal(i->second, j->second)) return false;
        return true;
    }
    return a == b;  // null, boolean, string
}

void dumpTo(std::string& out, const Value& value) {
    switch (value.type()) {
        case Value::value_t::null: out += "null"; break;
        case Value::value_t::boolean: out += value.get<bool>() ? "true" : "false"; break;
        case Value::value_t::number_integer: writeNumber(out, value.get<int64_t>()); break;
        case Value::value_t::number_unsigned: writeNumber(out, value.get<uint64_t>()); break;
        case Value::value_t::number_float: writeDouble(out, value.get<double>()); break;
        case Value::value_t::string: writeString(out, value.get_ref<const std::string&>()); break;
        case Value::value_t::array: {
            out += '[';
            bool first = true;
            for (const auto& element : value.get_ref<const Value::array_t&>()) {
                if (!first) out += ',';
                first = false;
                dumpTo(out, element);
            }
            out += ']';
            break;
        }
        case Value::value_t::object: {
            // std::map<std::string, ...> orders keys by unsigned byte values.
            out += '{';
            bool first = true;
            for (const auto& [k, v] : value.get_ref<const Value::object_t&>()) {
                if (!first) out += ',';
                first = false;
                writeString(out, k);
                out += ':';
                dumpTo(out, v);
            }
            out += '}';
            break;
        }
        default: out += "null"; break;  // binary and discarded never come from parse
    }
}

std::string dump(const Value& value) {
    std::string out;
    out.reserve(256);
    dumpTo(out, value);
    return out;
}

const Value* member(const Value& object, std::string_view key) {
    if (!object.is_object()) return nullptr;
    const auto& map = object.get_ref<const Value::object_t&>();
    auto it = map.find(key);
    return it == map.end() ? nullptr : &it->second;
}

const std::string* text(const Value* value) {
    if (!value || !value->is_string()) return nullptr;
    return &value->get_ref<const std::string&>();
}

std::optional<int64_t> int64Of(const Value* value) {
    if (!value) return std::nullopt;
    if (value->is_number_unsigned()) {
        uint64_t u = value->get<uint64_t>();
        if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
        return static_cast<int64_t>(u);
    }
    if (value->is_number_integer()) return value->get<int64_t>();
    return std::nullopt;
}

}  // namespace brivet::core::json
