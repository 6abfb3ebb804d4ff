// Fuzzes the three verifying exports. Beyond "no crash, no leak, no
// out-of-bounds read" it checks every reply: never NULL, one compact JSON
// object with sorted members, "ok" a flag, failures carrying a code of the
// table, and a policy's returned state accepting the same envelope again as
// "ignored".
#include "CoreTestSupport.h"
#include "FuzzInput.h"
#include "json.h"

#include <cstdlib>
#include <cstdio>

namespace {

using brivet::core::json::Value;
namespace json = brivet::core::json;

[[noreturn]] void fail(const char* what, const std::string& reply) {
    std::fprintf(stderr, "invariant broken: %s\nreply: %s\n", what, reply.c_str());
    std::abort();
}

Value checkedReply(char* reply) {
    if (!reply) fail("NULL reply", "");
    const std::string text = reply;
    brivet_core_string_free(reply);
    auto value = json::parse(text);
    if (!value || !value->is_object()) fail("reply is not a JSON object", text);
    if (json::dump(*value) != text) fail("reply is not compact with sorted members", text);
    const Value* ok = json::member(*value, "ok");
    if (!ok || !ok->is_boolean()) fail("reply has no boolean ok", text);
    if (!ok->get<bool>()) {
        const std::string* code = json::text(json::member(*value, "error"));
        if (!code || !brivet::testing::kFailureCodes.count(*code)) fail("failure without a known code", text);
    }
    return *value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto call = brivet::fuzzing::decode(data, size);
    Value reply = checkedReply(call.run());
    if (call.operation == brivet::fuzzing::Operation::policy && reply["ok"].get<bool>()) {
        // The returned state must take the same envelope again as a repeat.
        const std::string state = json::dump(reply["state"]);
        Value again = checkedReply(brivet_core_policy_apply(state.c_str(), call.arg(0), call.arg(2)));
        if (!again["ok"].get<bool>() || again["outcome"] != "ignored" || json::dump(again["state"]) != state)
            fail("returned state does not take the same policy as a repeat", json::dump(again));
    }
    return 0;
}
