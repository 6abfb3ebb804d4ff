#include "release.h"

#include "reply.h"

namespace brivet::core::release {

using json::Value;

Value verify(const envelope::Verified& verified, const timestamp::Instant& now, uint32_t clientVersion) {
    const Value& payload = verified.payload;
    const std::string* type = json::text(json::member(payload, "type"));
    if (!type || *type != "global_release" || !envelope::isVersionOne(json::member(payload, "v")))
        return failure(Code::unknown_type);

    // An effective time whose UTC form cannot be written (year outside
    // 0000 ... 9999) is as unusable as one that does not parse.
    const std::string* effectiveText = json::text(json::member(payload, "effective_at"));
    const auto effectiveAt = effectiveText ? timestamp::parse(*effectiveText) : std::nullopt;
    if (!effectiveAt || !timestamp::formattable(*effectiveAt)) return failure(Code::malformed_certificate);

    const auto minimum = json::int64Of(json::member(payload, "minimum_client_version"));
    if (!minimum || *minimum < 1) return failure(Code::malformed_certificate);

    if (now < *effectiveAt) {
        Value reply = failure(Code::not_effective_until);
        reply["effective_at"] = timestamp::format(*effectiveAt);
        return reply;
    }
    if (static_cast<int64_t>(clientVersion) < *minimum) {
        Value reply = failure(Code::client_too_old);
        reply["minimum_client_version"] = *minimum;
        return reply;
    }

    const std::string* reason = json::text(json::member(payload, "reason"));
    Value reply = Value::object();
    reply["ok"] = true;
    reply["key_id"] = verified.keyId;
    reply["effective_at"] = timestamp::format(*effectiveAt);
    reply["minimum_client_version"] = *minimum;
    reply["reason"] = reason ? *reason : std::string("service_shutdown");
    return reply;
}

}  // namespace brivet::core::release
