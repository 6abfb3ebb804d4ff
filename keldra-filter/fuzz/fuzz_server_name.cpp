// Feeds arbitrary first client bytes to the server-name reader, whole and
// split at every position a packet boundary could fall, and checks that the
// reader agrees with itself: a prefix never yields a different result than
// the whole stream, a reader fed the stream piece by piece ends where one
// reading it at once does, and every name is ASCII or well-formed UTF-8
// without control characters or blanks.
#include "keldra-filter/ServerName.h"

#include <cstdlib>

using keldra::filter::ServerNameResult;
namespace ServerName = keldra::filter::ServerName;

namespace {

bool wellFormedName(const std::string& name) {
    if (name.empty()) return false;
    for (std::size_t i = 0; i < name.size();) {
        const auto lead = static_cast<unsigned char>(name[i]);
        if (lead < 0x80) {
            if (lead <= 0x20 || lead == 0x7f) return false;
            ++i;
            continue;
        }
        const std::size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : 2;
        if (lead < 0xc2 || lead > 0xf4 || i + length > name.size()) return false;
        std::uint32_t point = lead & (0x7fu >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(name[i + k]);
            if ((next & 0xc0) != 0x80) return false;
            point = point << 6 | (next & 0x3fu);
        }
        const std::uint32_t least = length == 2 ? 0xa0 : length == 3 ? 0x800 : 0x10000;
        if (point < least || point > 0x10ffff || (point >= 0xd800 && point <= 0xdfff)) return false;
        i += length;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> stream(data, size);
    const auto whole = ServerName::read(stream);
    for (const auto& name : whole.names) {
        if (!wellFormedName(name)) std::abort();
    }
    if (whole.kind == ServerNameResult::Kind::found && whole.names.empty()) std::abort();
    if ((whole.kind == ServerNameResult::Kind::none || whole.kind == ServerNameResult::Kind::needMore) &&
        !whole.names.empty()) {
        std::abort();
    }
    keldra::filter::StartReader pieces;
    for (std::size_t cut = 0; cut < size; cut += 1 + cut / 8) {
        const auto prefix = ServerName::read(stream.first(cut));
        if (prefix.kind != ServerNameResult::Kind::needMore && !(prefix == whole)) std::abort();
        if (!(pieces.feed(stream.first(cut)) == prefix)) std::abort();
    }
    if (!(pieces.feed(stream) == whole)) std::abort();
    return 0;
}
