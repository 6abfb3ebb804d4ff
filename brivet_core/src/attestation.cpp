#include "attestation.h"

#include "reply.h"
#include "timestamp.h"

namespace brivet::core::attestation {

using json::Value;

Value verify(const envelope::Verified& verified, std::string_view deviceId, std::string_view nonce) {
    const Value& payload = verified.payload;
    const std::string* type = json::text(json::member(payload, "type"));
    if (!type || *type != "time_attestation" || !envelope::isVersionOne(json::member(payload, "v")))
        return failure(Code::unknown_type);

    const std::string* device = json::text(json::member(payload, "device_id"));
    if (!device || *device != deviceId) return failure(Code::device_mismatch);
    const std::string* theirNonce = json::text(json::member(payload, "nonce"));
    if (!theirNonce || *theirNonce != nonce) return failure(Code::nonce_mismatch);

    // A server time whose UTC form cannot be written (year outside
    // 0000 ... 9999) is as unusable as one that does not parse.
    const std::string* timeText = json::text(json::member(payload, "server_time"));
    const auto serverTime = timeText ? timestamp::parse(*timeText) : std::nullopt;
    if (!serverTime || !timestamp::formattable(*serverTime)) return failure(Code::malformed_attestation);
    const auto seq = json::int64Of(json::member(payload, "policy_seq"));
    if (!seq) return failure(Code::malformed_attestation);

    const std::string* commitmentId = json::text(json::member(payload, "commitment_id"));
    const std::string* status = json::text(json::member(payload, "commitment_status"));
    Value reply = Value::object();
    reply["ok"] = true;
    reply["server_time"] = timestamp::format(*serverTime);
    reply["policy_seq"] = *seq;
    reply["commitment_id"] = commitmentId ? Value(*commitmentId) : Value(nullptr);
    reply["commitment_status"] = status ? *status : std::string("none");
    return reply;
}

}  // namespace brivet::core::attestation
