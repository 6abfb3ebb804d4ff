// An upstream's reply checked against the query it should answer. The input
// is a two-byte query length, the query, then the reply: neither may make the
// check read outside its bytes, and the check must agree with itself.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "keldra-proxy/DNSWire.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2 || size > 2 + 2 * 65535) return 0;
    const std::size_t queryLength = std::min<std::size_t>((std::size_t{data[0]} << 8) | data[1], size - 2);
    const std::span<const std::uint8_t> query(data + 2, queryLength);
    const std::span<const std::uint8_t> reply(data + 2 + queryLength, size - 2 - queryLength);

    const auto key = brivet::DNSQueryKey::of(query);
    check(key.has_value() == (query.size() >= 2));
    if (!key) return 0;
    const bool matches = key->answeredBy(reply);
    if (matches) {
        check(reply.size() >= 12 && reply[0] == query[0] && reply[1] == query[1]);
    }
    // A match with a question is a match of the whole question.
    if (matches && key->question()) check(brivet::DNSQuestionKey::of(reply) == key->question());
    // A whole query is answered by itself.
    if (query.size() >= 12) check(key->answeredBy(query));
    if (const auto question = brivet::DNSQuestionKey::of(reply)) {
        check(question->name.size() <= 254);
    }
    return 0;
}
