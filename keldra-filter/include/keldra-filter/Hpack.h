#pragma once
// Decoding of HTTP/2 header blocks (HPACK): the static table, a dynamic
// table that lives for one block, literal strings and their Huffman code.
// The content filter reads the first request of a connection with it, so a
// decoder never outlives one header block.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace keldra::filter::hpack {

struct HeaderField {
    std::string name;
    std::string value;

    bool operator==(const HeaderField&) const = default;
};

// The text of a Huffman-coded string; nullopt when the code is malformed
// (an unknown code, the end-of-string symbol, or padding that is not a
// prefix of it or longer than seven bits).
std::optional<std::string> huffmanDecode(std::span<const std::uint8_t> coded);

// The fields of the first header block of a connection, in order; nullopt
// when the block is malformed or uses an index that is not in the tables.
std::optional<std::vector<HeaderField>> decodeHeaderBlock(std::span<const std::uint8_t> block);

}  // namespace keldra::filter::hpack
