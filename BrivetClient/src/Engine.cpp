#include "BrivetClient/Engine.h"

#include <ctime>
#include <limits>
#include <nlohmann/json.hpp>

namespace brivet {
namespace {

const nlohmann::json& requireMember(const nlohmann::json& j, const char* key) {
    auto it = j.find(key);
    if (it == j.end()) throw FilterStatusDecodingError(std::string("missing member \"") + key + "\"");
    return *it;
}

std::int64_t readInt64(const nlohmann::json& v, const char* key) {
    if (v.is_number_unsigned()) {
        auto u = v.get<std::uint64_t>();
        if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return static_cast<std::int64_t>(u);
    } else if (v.is_number_integer()) {
        return v.get<std::int64_t>();
    }
    throw FilterStatusDecodingError(std::string("member \"") + key + "\" is not a 64-bit integer");
}

}  // namespace

void to_json(nlohmann::json& j, const FilterStatus& status) {
    j = nlohmann::json::object();
    j["running"] = status.running;
    j["policySeq"] = status.policySeq;
    j["blocklistVersion"] = status.blocklistVersion;
    if (status.startedAt) j["startedAt"] = *status.startedAt;
    j["pendingEvents"] = status.pendingEvents;
}

void from_json(const nlohmann::json& j, FilterStatus& status) {
    if (!j.is_object()) throw FilterStatusDecodingError("filter status is not a JSON object");
    FilterStatus out;
    const auto& running = requireMember(j, "running");
    if (!running.is_boolean()) throw FilterStatusDecodingError("member \"running\" is not a boolean");
    out.running = running.get<bool>();
    out.policySeq = readInt64(requireMember(j, "policySeq"), "policySeq");
    out.blocklistVersion = readInt64(requireMember(j, "blocklistVersion"), "blocklistVersion");
    // An optional member that is present as null counts as absent.
    if (auto it = j.find("startedAt"); it != j.end() && !it->is_null()) {
        if (!it->is_string()) throw FilterStatusDecodingError("member \"startedAt\" is not a string");
        out.startedAt = it->get<std::string>();
    }
    out.pendingEvents = readInt64(requireMember(j, "pendingEvents"), "pendingEvents");
    status = std::move(out);
}

std::string encodeFilterStatus(const FilterStatus& status) {
    nlohmann::json j = status;
    return j.dump();
}

FilterStatus decodeFilterStatus(std::string_view text) {
    nlohmann::json j = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (j.is_discarded()) throw FilterStatusDecodingError("filter status is not valid JSON");
    return j.get<FilterStatus>();
}

std::int64_t monotonicClockSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec);
}

}  // namespace brivet
