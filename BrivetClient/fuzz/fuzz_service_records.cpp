// Feeds arbitrary bytes to every decoder of outside or on-disk JSON: the
// service's replies, the error body, the blocklist cache form, the state file,
// the outbox events, the filter rules document and the filter status. Each may
// only answer with a value or a typed decoding error.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "BrivetClient/Engine.h"
#include "BrivetClient/Events.h"
#include "BrivetClient/FilterRules.h"
#include "BrivetClient/JSONCoding.h"
#include "BrivetClient/Models.h"
#include "BrivetClient/StateStore.h"

namespace {

template <class F>
void guarded(F&& f) {
    try {
        f();
    } catch (const brivet::DecodingError&) {
    } catch (const brivet::EncodingError&) {
    } catch (const brivet::BrivetCore::DecodingError&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace brivet;
    std::string_view text(reinterpret_cast<const char*>(data), size);

    guarded([&] { JSONCoding::decode<EnrollmentResult>(text); });
    guarded([&] { JSONCoding::decode<HeartbeatResult>(text); });
    guarded([&] { JSONCoding::decode<EventBatchResult>(text); });
    guarded([&] { JSONCoding::decode<Blocklist>(text); });
    guarded([&] { JSONCoding::decode<CoalescedEvent>(text); });
    guarded([&] { APIErrorBody::parse(text); });
    guarded([&] {
        ProtectionState state = JSONCoding::plainDecode<ProtectionState>(text);
        // Whatever decoded must encode again.
        JSONCoding::plainEncode(state);
    });
    guarded([&] { JSONCoding::plainDecode<FilterStatus>(text); });
    guarded([&] { FilterRules::decode(text); });
    return 0;
}
