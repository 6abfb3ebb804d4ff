// Messages of the filter link, as either side receives them: requests (the
// extension's input from any local process) and replies (the app's input).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "filter-link/FilterWire.h"

namespace wire = keldra::filterwire;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        wire::Request request = wire::decodeRequest(text);
        // What decodes must encode again to the same request.
        if (request.call == wire::Call::publish) {
            const std::optional<std::string> policy = request.policy ? std::optional(request.policy->dump()) : std::nullopt;
            auto again = wire::decodeRequest(wire::encodePublishRequest(request.id, request.rules->dump(), policy));
            if (again.rules != request.rules || again.policy != request.policy) __builtin_trap();
        }
    } catch (const wire::WireError&) {
    }
    for (wire::Call call : {wire::Call::status, wire::Call::publish, wire::Call::takeEvents}) {
        try {
            wire::Reply reply = wire::decodeReply(text, call);
            if (wire::replyID(text) != reply.id) __builtin_trap();
        } catch (const wire::WireError&) {
        }
    }
    return 0;
}
