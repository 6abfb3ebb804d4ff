// Feeds arbitrary first client bytes to the server-name reader, whole and
// split at every position a packet boundary could fall, and checks that the
// reader agrees with itself: a prefix never yields a different name than the
// whole stream, and a found name is printable ASCII.
#include "keldra-filter/ServerName.h"

#include <cstdlib>

using keldra::filter::ServerNameResult;
namespace ServerName = keldra::filter::ServerName;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> stream(data, size);
    const auto whole = ServerName::read(stream);
    if (whole.kind == ServerNameResult::Kind::found) {
        if (whole.name.empty()) std::abort();
        for (unsigned char c : whole.name) {
            if (c <= 0x20 || c >= 0x7f) std::abort();
        }
    }
    for (std::size_t cut = 0; cut < size; cut += 1 + cut / 8) {
        const auto prefix = ServerName::read(stream.first(cut));
        if (prefix.kind != ServerNameResult::Kind::needMore && !(prefix == whole)) std::abort();
    }
    return 0;
}
