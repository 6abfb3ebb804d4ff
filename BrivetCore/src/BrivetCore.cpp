#include "BrivetCore/BrivetCore.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>

#include "brivet_core.h"

namespace brivet {

using nlohmann::json;
using BrivetCore::DecodingError;
using BrivetCore::EncodingError;

namespace {

// 2^63 as a double: the exclusive upper bound of the signed 64-bit range.
constexpr double kTwoTo63 = 9223372036854775808.0;

const char* kindName(json::value_t type) {
    switch (type) {
        case json::value_t::null: return "null";
        case json::value_t::boolean: return "a bool";
        case json::value_t::number_integer:
        case json::value_t::number_unsigned:
        case json::value_t::number_float: return "a number";
        case json::value_t::string: return "a string";
        case json::value_t::array: return "an array";
        case json::value_t::object: return "an object";
        default: return "an unsupported value";
    }
}

// An integral double that fits int64 exactly, else none. The range is
// checked before converting so the conversion itself is always defined.
std::optional<std::int64_t> exactInt64(double value) {
    if (!std::isfinite(value) || value != std::trunc(value)) return std::nullopt;
    if (value < -kTwoTo63 || value >= kTwoTo63) return std::nullopt;
    return static_cast<std::int64_t>(value);
}

// The coders below work on both nlohmann::json and nlohmann::ordered_json
// directly (no conversion between the two, which would recurse without a
// depth limit).

template <class J>
JSONValue decodeValue(const J& j, int depth) {
    if (depth > JSONValue::maxDepth) throw DecodingError("JSON value nested too deeply");
    switch (j.type()) {
        case json::value_t::null: return JSONValue();
        case json::value_t::boolean: return JSONValue(j.template get<bool>());
        case json::value_t::number_integer: return JSONValue(JSONNumber(j.template get<std::int64_t>()));
        case json::value_t::number_unsigned: return JSONValue(JSONNumber(j.template get<std::uint64_t>()));
        case json::value_t::number_float: return JSONValue(JSONNumber(j.template get<double>()));
        case json::value_t::string: return JSONValue(j.template get_ref<const std::string&>());
        case json::value_t::array: {
            JSONValue::Array array;
            array.reserve(j.size());
            for (const auto& element : j) array.push_back(decodeValue(element, depth + 1));
            return JSONValue(std::move(array));
        }
        case json::value_t::object: {
            JSONValue::Object object;
            for (const auto& [key, member] : j.items()) object.insert_or_assign(key, decodeValue(member, depth + 1));
            return JSONValue(std::move(object));
        }
        default: throw DecodingError("unsupported JSON value");
    }
}

template <class J>
J encodeValue(const JSONValue& value) {
    switch (value.kind()) {
        case JSONValue::Kind::boolean: return J(*value.boolValue());
        case JSONValue::Kind::number: {
            // nlohmann-json writes a double with a fraction or exponent
            // ("1.0", "-0.0", "1e+300"), an integer without.
            const JSONNumber& number = *value.number();
            if (const std::int64_t* integer = number.int64()) return J(*integer);
            if (const std::uint64_t* integer = number.uint64()) return J(*integer);
            return J(*number.real());
        }
        case JSONValue::Kind::string: return J(*value.stringValue());
        case JSONValue::Kind::array: {
            J array = J::array();
            for (const auto& element : *value.arrayValue()) array.push_back(encodeValue<J>(element));
            return array;
        }
        case JSONValue::Kind::object: {
            J object = J::object();
            for (const auto& [key, member] : *value.objectValue()) object[key] = encodeValue<J>(member);
            return object;
        }
        case JSONValue::Kind::null: break;
    }
    return J(nullptr);
}

// ---- Keyed reading helpers -------------------------------------------------

template <class J>
const J& requireObject(const J& j, const char* what) {
    if (!j.is_object()) throw DecodingError(std::string(what) + ": expected an object, found " + kindName(j.type()));
    return j;
}

// The member, or nullptr when absent or null.
template <class J>
const J* presentMember(const J& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) return nullptr;
    return &*it;
}

template <class J>
const J& requireMember(const J& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end()) throw DecodingError(std::string("missing key \"") + key + "\"");
    return *it;
}

template <class J>
std::string decodeString(const J& j, const char* key) {
    if (!j.is_string()) throw DecodingError(std::string("\"") + key + "\": expected a string, found " + kindName(j.type()));
    return j.template get<std::string>();
}

template <class J>
std::int64_t decodeInt64(const J& j, const char* key) {
    std::optional<std::int64_t> result;
    if (j.is_number_unsigned()) {
        auto value = j.template get<std::uint64_t>();
        if (value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            result = static_cast<std::int64_t>(value);
        }
    } else if (j.is_number_integer()) {
        result = j.template get<std::int64_t>();
    } else if (j.is_number_float()) {
        result = exactInt64(j.template get<double>());
    }
    if (!result) {
        throw DecodingError(std::string("\"") + key + "\": expected a signed 64-bit integer, found " +
                            (j.is_number() ? std::string("another number") : kindName(j.type())));
    }
    return *result;
}

template <class J>
std::optional<std::string> decodeOptionalString(const J& object, const char* key) {
    const J* member = presentMember(object, key);
    if (!member) return std::nullopt;
    return decodeString(*member, key);
}

// Serialises compactly; a text that is not UTF-8 is an encoding error.
std::string dumpStrict(const json& j) {
    try {
        return j.dump(-1, ' ', false, json::error_handler_t::strict);
    } catch (const json::exception& e) {
        throw EncodingError(e.what());
    }
}

json parseText(const std::string& text) {
    try {
        return json::parse(text);
    } catch (const json::exception& e) {
        throw DecodingError(e.what());
    }
}

// ---- Records ------------------------------------------------------------------

template <class J>
J encodeKey(const PinnedKeys::Key& key) {
    J j = J::object();
    j["id"] = key.id;
    j["public"] = key.publicKey;
    if (key.state) j["state"] = *key.state;
    return j;
}

template <class J>
PinnedKeys::Key decodeKey(const J& j) {
    requireObject(j, "pinned key");
    PinnedKeys::Key key;
    key.id = decodeString(requireMember(j, "id"), "id");
    key.publicKey = decodeString(requireMember(j, "public"), "public");
    key.state = decodeOptionalString(j, "state");
    return key;
}

template <class J>
std::vector<PinnedKeys::Key> decodeKeyList(const J& j, const char* key) {
    const J& list = requireMember(j, key);
    if (!list.is_array()) throw DecodingError(std::string("\"") + key + "\": expected an array, found " + kindName(list.type()));
    std::vector<PinnedKeys::Key> keys;
    keys.reserve(list.size());
    for (const auto& element : list) keys.push_back(decodeKey(element));
    return keys;
}

template <class J>
J encodeKeys(const PinnedKeys& keys) {
    J j = J::object();
    J policy = J::array();
    for (const auto& key : keys.policyKeys) policy.push_back(encodeKey<J>(key));
    J release = J::array();
    for (const auto& key : keys.releaseKeys) release.push_back(encodeKey<J>(key));
    j["policy_keys"] = std::move(policy);
    j["release_keys"] = std::move(release);
    return j;
}

template <class J>
PinnedKeys decodeKeys(const J& j) {
    requireObject(j, "pinned keys");
    PinnedKeys keys;
    keys.policyKeys = decodeKeyList(j, "policy_keys");
    keys.releaseKeys = decodeKeyList(j, "release_keys");
    return keys;
}

template <class J>
J encodeState(const BrivetCore::ClientState& state) {
    J j = J::object();
    j["device_id"] = state.deviceId;
    j["installation_id"] = state.installationId;
    j["highest_policy_seq"] = state.highestPolicySeq;
    if (state.policy) j["policy"] = encodeValue<J>(JSONValue(*state.policy));
    if (state.policyBytes) j["policy_bytes"] = *state.policyBytes;
    return j;
}

template <class J>
BrivetCore::ClientState decodeState(const J& j) {
    requireObject(j, "client state");
    BrivetCore::ClientState state;
    state.deviceId = decodeString(requireMember(j, "device_id"), "device_id");
    state.installationId = decodeString(requireMember(j, "installation_id"), "installation_id");
    state.highestPolicySeq = decodeInt64(requireMember(j, "highest_policy_seq"), "highest_policy_seq");
    if (const J* policy = presentMember(j, "policy")) {
        if (!policy->is_object()) {
            throw DecodingError(std::string("\"policy\": expected an object, found ") + kindName(policy->type()));
        }
        state.policy = std::move(*decodeValue(*policy, 0).objectValue());
    }
    state.policyBytes = decodeOptionalString(j, "policy_bytes");
    return state;
}

template <class J>
BrivetCore::PolicyOutcome decodeOutcome(const J& j) {
    auto parsed = BrivetCore::policyOutcomeFromString(decodeString(j, "outcome"));
    if (!parsed) throw DecodingError("\"outcome\": unknown policy outcome");
    return *parsed;
}

template <class J>
J encodeRelease(const BrivetCore::VerifiedRelease& release) {
    J j = J::object();
    j["key_id"] = release.keyId;
    j["effective_at"] = release.effectiveAt;
    j["minimum_client_version"] = release.minimumClientVersion;
    j["reason"] = release.reason;
    return j;
}

template <class J>
BrivetCore::VerifiedRelease decodeRelease(const J& j) {
    requireObject(j, "release");
    BrivetCore::VerifiedRelease release;
    release.keyId = decodeString(requireMember(j, "key_id"), "key_id");
    release.effectiveAt = decodeString(requireMember(j, "effective_at"), "effective_at");
    release.minimumClientVersion = decodeInt64(requireMember(j, "minimum_client_version"), "minimum_client_version");
    release.reason = decodeString(requireMember(j, "reason"), "reason");
    return release;
}

template <class J>
J encodeAttestation(const BrivetCore::Attestation& attestation) {
    J j = J::object();
    j["server_time"] = attestation.serverTime;
    j["policy_seq"] = attestation.policySeq;
    if (attestation.commitmentId) j["commitment_id"] = *attestation.commitmentId;
    j["commitment_status"] = attestation.commitmentStatus;
    return j;
}

template <class J>
BrivetCore::Attestation decodeAttestation(const J& j) {
    requireObject(j, "attestation");
    BrivetCore::Attestation attestation;
    attestation.serverTime = decodeString(requireMember(j, "server_time"), "server_time");
    attestation.policySeq = decodeInt64(requireMember(j, "policy_seq"), "policy_seq");
    attestation.commitmentId = decodeOptionalString(j, "commitment_id");
    attestation.commitmentStatus = decodeString(requireMember(j, "commitment_status"), "commitment_status");
    return attestation;
}

}  // namespace

// ---- JSONValue --------------------------------------------------------------

std::optional<bool> JSONValue::boolValue() const {
    if (const bool* flag = std::get_if<bool>(&storage_)) return *flag;
    return std::nullopt;
}

double JSONNumber::toDouble() const noexcept {
    if (const std::int64_t* integer = int64()) return static_cast<double>(*integer);
    if (const std::uint64_t* integer = uint64()) return static_cast<double>(*integer);
    return *real();
}

std::optional<double> JSONValue::numberValue() const {
    if (const JSONNumber* value = number()) return value->toDouble();
    return std::nullopt;
}

std::optional<std::string> JSONValue::stringValue() const {
    if (const std::string* text = std::get_if<std::string>(&storage_)) return *text;
    return std::nullopt;
}

std::optional<std::int64_t> JSONValue::intValue() const {
    const JSONNumber* value = number();
    if (!value) return std::nullopt;
    if (const std::int64_t* integer = value->int64()) return *integer;
    if (const double* real = value->real()) return exactInt64(*real);
    return std::nullopt;  // above the signed range
}

const JSONValue* JSONValue::find(const std::string& key) const {
    const Object* object = objectValue();
    if (!object) return nullptr;
    auto it = object->find(key);
    return it == object->end() ? nullptr : &it->second;
}

// ---- Public codings, for json and ordered_json ------------------------------------

#define BRIVET_CODING(Type, encode, decode)                                                        \
    void to_json(nlohmann::json& j, const Type& value) { j = encode<nlohmann::json>(value); }      \
    void to_json(nlohmann::ordered_json& j, const Type& value) { j = encode<nlohmann::ordered_json>(value); } \
    void from_json(const nlohmann::json& j, Type& value) { value = decode(j); }                   \
    void from_json(const nlohmann::ordered_json& j, Type& value) { value = decode(j); }

namespace {
template <class J>
JSONValue decodeTop(const J& j) {
    return decodeValue(j, 0);
}
template <class J>
J encodeOutcome(const BrivetCore::PolicyOutcome& outcome) {
    return J(std::string(BrivetCore::toString(outcome)));
}
}  // namespace

BRIVET_CODING(JSONValue, encodeValue, decodeTop)
BRIVET_CODING(PinnedKeys::Key, encodeKey, decodeKey)
BRIVET_CODING(PinnedKeys, encodeKeys, decodeKeys)

namespace BrivetCore {

BRIVET_CODING(ClientState, encodeState, decodeState)
BRIVET_CODING(PolicyOutcome, encodeOutcome, decodeOutcome)
BRIVET_CODING(VerifiedRelease, encodeRelease, decodeRelease)
BRIVET_CODING(Attestation, encodeAttestation, decodeAttestation)

#undef BRIVET_CODING

std::string_view toString(PolicyOutcome outcome) noexcept {
    return outcome == PolicyOutcome::applied ? "applied" : "ignored";
}

std::optional<PolicyOutcome> policyOutcomeFromString(std::string_view text) noexcept {
    if (text == "applied") return PolicyOutcome::applied;
    if (text == "ignored") return PolicyOutcome::ignored;
    return std::nullopt;
}

// ---- Calls into the core library ---------------------------------------------

namespace {

struct ReplyFree {
    void operator()(char* reply) const noexcept { brivet_core_string_free(reply); }
};
// Owns one reply of the core library; frees it exactly once on every path.
using ReplyHandle = std::unique_ptr<char, ReplyFree>;

CoreError failure(const char* code) {
    return CoreError(code, JSONValue::Object{{"error", JSONValue(code)}, {"ok", JSONValue(false)}});
}

// Takes ownership of a reply: returns the parsed object of a success reply,
// throws CoreError for a failure reply and DecodingError for an unreadable one.
json take(char* raw) {
    ReplyHandle reply(raw);
    if (!reply) throw CoreError("core_returned_null");
    const std::string bytes(reply.get());
    reply.reset();

    json parsed = parseText(bytes);
    requireObject(parsed, "core reply");
    const json& ok = requireMember(parsed, "ok");
    if (!ok.is_boolean()) throw DecodingError(std::string("\"ok\": expected a bool, found ") + kindName(ok.type()));
    std::optional<std::string> error = decodeOptionalString(parsed, "error");
    if (ok.get<bool>()) return parsed;

    JSONValue::Object details;
    try {
        JSONValue value = decodeValue(parsed, 0);
        if (JSONValue::Object* object = value.objectValue()) details = std::move(*object);
    } catch (const DecodingError&) {
        details.clear();
    }
    throw CoreError(error.value_or("unknown"), std::move(details));
}

template <typename T>
T decodeReply(const json& reply) {
    try {
        return reply.get<T>();
    } catch (const json::exception& e) {
        throw DecodingError(e.what());
    }
}

std::string encodeText(const json& j) { return dumpStrict(j); }

bool containsNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

// The instant in UTC without fraction ("YYYY-MM-DDTHH:MM:SSZ"); empty when the
// year falls outside 0000-9999, which the core refuses as a time.
std::string formatNow(Instant now) {
    using namespace std::chrono;
    const auto lowest = sys_days{year{0} / January / 1};
    const auto beyond = sys_days{year{10000} / January / 1};
    if (now < time_point_cast<microseconds>(lowest) || now >= time_point_cast<microseconds>(beyond)) return {};
    const auto secs = floor<seconds>(now);
    const auto day = floor<days>(secs);
    const year_month_day date{day};
    const hh_mm_ss<seconds> time{secs - day};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return text;
}

}  // namespace

std::string version() {
    const char* text = brivet_core_version();
    return text ? std::string(text) : std::string();
}

PolicyApplication applyPolicy(const ClientState& state, std::string_view envelope, const PinnedKeys& keys) {
    const std::string stateText = encodeText(json(state));
    const std::string keysText = encodeText(json(keys));
    // A NUL byte would cut the envelope short; the core is handed no envelope
    // text instead, so it refuses it with its own code in its own order.
    const bool envelopeHasNul = containsNul(envelope);
    const std::string envelopeText(envelope);
    json reply = take(brivet_core_policy_apply(stateText.c_str(), envelopeHasNul ? nullptr : envelopeText.c_str(),
                                               keysText.c_str()));
    if (envelopeHasNul) throw failure("invalid_envelope_json");

    PolicyApplication result;
    result.outcome = decodeReply<PolicyOutcome>(requireMember(reply, "outcome"));
    result.state = decodeReply<ClientState>(requireMember(reply, "state"));
    return result;
}

VerifiedRelease verifyRelease(std::string_view envelope, const PinnedKeys& keys, Instant now,
                              std::uint32_t clientVersion) {
    const std::string keysText = encodeText(json(keys));
    const std::string nowText = formatNow(now);
    const bool envelopeHasNul = containsNul(envelope);
    const std::string envelopeText(envelope);
    json reply = take(brivet_core_release_verify(envelopeHasNul ? nullptr : envelopeText.c_str(), keysText.c_str(),
                                                 nowText.c_str(), clientVersion));
    if (envelopeHasNul) throw failure("invalid_envelope_json");
    return decodeReply<VerifiedRelease>(reply);
}

Attestation verifyAttestation(std::string_view envelope, const PinnedKeys& keys, std::string_view deviceId,
                              std::string_view nonce) {
    const std::string keysText = encodeText(json(keys));
    const bool envelopeHasNul = containsNul(envelope);
    const bool argumentHasNul = containsNul(deviceId) || containsNul(nonce);
    const std::string envelopeText(envelope);
    const std::string deviceText(deviceId);
    const std::string nonceText(nonce);
    json reply = take(brivet_core_attestation_verify(envelopeHasNul ? nullptr : envelopeText.c_str(), keysText.c_str(),
                                                     argumentHasNul ? nullptr : deviceText.c_str(),
                                                     argumentHasNul ? nullptr : nonceText.c_str()));
    if (envelopeHasNul) throw failure("invalid_envelope_json");
    if (argumentHasNul) throw failure("invalid_argument");
    return decodeReply<Attestation>(reply);
}

std::int64_t clampOfflineRuntime(std::int64_t seconds) { return brivet_core_clamp_offline_runtime(seconds); }

}  // namespace BrivetCore

}  // namespace brivet
