#include "keldra-filter/Hpack.h"

#include <array>
#include <deque>
#include <string_view>
#include <utility>

namespace keldra::filter::hpack {
namespace {

struct StaticEntry {
    std::string_view name;
    std::string_view value;
};

constexpr std::array<StaticEntry, 61> kStaticTable{{
    {":authority", ""},
    {":method", "GET"},
    {":method", "POST"},
    {":path", "/"},
    {":path", "/index.html"},
    {":scheme", "http"},
    {":scheme", "https"},
    {":status", "200"},
    {":status", "204"},
    {":status", "206"},
    {":status", "304"},
    {":status", "400"},
    {":status", "404"},
    {":status", "500"},
    {"accept-charset", ""},
    {"accept-encoding", "gzip, deflate"},
    {"accept-language", ""},
    {"accept-ranges", ""},
    {"accept", ""},
    {"access-control-allow-origin", ""},
    {"age", ""},
    {"allow", ""},
    {"authorization", ""},
    {"cache-control", ""},
    {"content-disposition", ""},
    {"content-encoding", ""},
    {"content-language", ""},
    {"content-length", ""},
    {"content-location", ""},
    {"content-range", ""},
    {"content-type", ""},
    {"cookie", ""},
    {"date", ""},
    {"etag", ""},
    {"expect", ""},
    {"expires", ""},
    {"from", ""},
    {"host", ""},
    {"if-match", ""},
    {"if-modified-since", ""},
    {"if-none-match", ""},
    {"if-range", ""},
    {"if-unmodified-since", ""},
    {"last-modified", ""},
    {"link", ""},
    {"location", ""},
    {"max-forwards", ""},
    {"proxy-authenticate", ""},
    {"proxy-authorization", ""},
    {"range", ""},
    {"referer", ""},
    {"refresh", ""},
    {"retry-after", ""},
    {"server", ""},
    {"set-cookie", ""},
    {"strict-transport-security", ""},
    {"transfer-encoding", ""},
    {"user-agent", ""},
    {"vary", ""},
    {"via", ""},
    {"www-authenticate", ""},
}};

// The Huffman code is canonical: codes are handed out shortest first, and
// within one length in the order of the symbols. So the symbols of each
// length, in order, define it whole. Symbol 256 is the end of string.
struct CodeLength {
    int bits;
    std::initializer_list<int> symbols;
};

constexpr int kEndOfString = 256;
constexpr int kLongestCode = 30;

// clang-format off
const CodeLength kCodeLengths[] = {
    {5, {'0', '1', '2', 'a', 'c', 'e', 'i', 'o', 's', 't'}},
    {6, {' ', '%', '-', '.', '/', '3', '4', '5', '6', '7', '8', '9', '=', 'A', '_', 'b', 'd', 'f', 'g', 'h', 'l',
         'm', 'n', 'p', 'r', 'u'}},
    {7, {':', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P', 'Q', 'R', 'S', 'T', 'U',
         'V', 'W', 'Y', 'j', 'k', 'q', 'v', 'w', 'x', 'y', 'z'}},
    {8, {'&', '*', ',', ';', 'X', 'Z'}},
    {10, {'!', '"', '(', ')', '?'}},
    {11, {'\'', '+', '|'}},
    {12, {'#', '>'}},
    {13, {0, '$', '@', '[', ']', '~'}},
    {14, {'^', '}'}},
    {15, {'<', '`', '{'}},
    {19, {'\\', 195, 208}},
    {20, {128, 130, 131, 162, 184, 194, 224, 226}},
    {21, {153, 161, 167, 172, 176, 177, 179, 209, 216, 217, 227, 229, 230}},
    {22, {129, 132, 133, 134, 136, 146, 154, 156, 160, 163, 164, 169, 170, 173, 178, 181, 185, 186, 187, 189, 190,
          196, 198, 228, 232, 233}},
    {23, {1, 135, 137, 138, 139, 140, 141, 143, 147, 149, 150, 151, 152, 155, 157, 158, 165, 166, 168, 174, 175, 180,
          182, 183, 188, 191, 197, 231, 239}},
    {24, {9, 142, 144, 145, 148, 159, 171, 206, 215, 225, 236, 237}},
    {25, {199, 207, 234, 235}},
    {26, {192, 193, 200, 201, 202, 205, 210, 213, 218, 219, 238, 240, 242, 243, 255}},
    {27, {203, 204, 211, 212, 214, 221, 222, 223, 241, 244, 245, 246, 247, 248, 250, 251, 252, 253, 254}},
    {28, {2, 3, 4, 5, 6, 7, 8, 11, 12, 14, 15, 16, 17, 18, 19, 20, 21, 23, 24, 25, 26, 27, 28, 29, 30, 31, 127, 220,
          249}},
    {30, {10, 13, 22, kEndOfString}},
};
// clang-format on

// The canonical decoding tables: for each length, the first code of that
// length, how many codes have it, and where its symbols start in `symbols`.
struct HuffmanTable {
    std::array<std::uint32_t, kLongestCode + 1> firstCode{};
    std::array<std::uint32_t, kLongestCode + 1> count{};
    std::array<std::uint32_t, kLongestCode + 1> firstIndex{};
    std::array<int, 257> symbols{};
};

const HuffmanTable& huffmanTable() {
    static const HuffmanTable table = [] {
        HuffmanTable t;
        std::uint32_t code = 0;
        std::uint32_t index = 0;
        int bits = 0;
        for (const auto& group : kCodeLengths) {
            code <<= (group.bits - bits);
            bits = group.bits;
            t.firstCode[static_cast<std::size_t>(bits)] = code;
            t.firstIndex[static_cast<std::size_t>(bits)] = index;
            t.count[static_cast<std::size_t>(bits)] = static_cast<std::uint32_t>(group.symbols.size());
            for (int symbol : group.symbols) t.symbols[index++] = symbol;
            code += static_cast<std::uint32_t>(group.symbols.size());
        }
        return t;
    }();
    return table;
}

// A reader of one header block.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    bool atEnd() const { return offset_ == bytes_.size(); }
    std::uint8_t peek() const { return bytes_[offset_]; }

    // An integer with an N-bit prefix; nullopt when cut short or too large.
    std::optional<std::uint32_t> integer(int prefixBits) {
        if (atEnd()) return std::nullopt;
        const std::uint32_t mask = (1u << prefixBits) - 1;
        std::uint32_t value = bytes_[offset_++] & mask;
        if (value < mask) return value;
        for (int shift = 0; shift <= 21; shift += 7) {
            if (atEnd()) return std::nullopt;
            const std::uint8_t next = bytes_[offset_++];
            value += static_cast<std::uint32_t>(next & 0x7f) << shift;
            if ((next & 0x80) == 0) return value;
        }
        return std::nullopt;
    }

    std::optional<std::string> string() {
        if (atEnd()) return std::nullopt;
        const bool huffman = (peek() & 0x80) != 0;
        const auto length = integer(7);
        if (!length || *length > bytes_.size() - offset_) return std::nullopt;
        const auto raw = bytes_.subspan(offset_, *length);
        offset_ += *length;
        if (huffman) return huffmanDecode(raw);
        return std::string(raw.begin(), raw.end());
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t offset_ = 0;
};

// The dynamic table: newest entry first; sizes count 32 bytes per entry.
class DynamicTable {
public:
    static constexpr std::uint32_t kDefaultSize = 4096;
    static constexpr std::uint32_t kLargestSize = 1u << 24;

    bool resize(std::uint32_t size) {
        // A size above the default needs the server's leave, which a client
        // may have waited for; only absurd sizes are refused.
        if (size > kLargestSize) return false;
        maxSize_ = size;
        evictTo(maxSize_);
        return true;
    }

    void add(HeaderField field) {
        const std::size_t size = entrySize(field);
        if (size > maxSize_) {
            entries_.clear();
            size_ = 0;
            return;
        }
        evictTo(maxSize_ - size);
        size_ += size;
        entries_.push_front(std::move(field));
    }

    // Index 1 to 61 is the static table, 62 on the dynamic one.
    std::optional<HeaderField> at(std::uint32_t index) const {
        if (index == 0) return std::nullopt;
        if (index <= kStaticTable.size()) {
            const auto& entry = kStaticTable[index - 1];
            return HeaderField{std::string(entry.name), std::string(entry.value)};
        }
        const std::size_t dynamic = index - kStaticTable.size() - 1;
        if (dynamic >= entries_.size()) return std::nullopt;
        return entries_[dynamic];
    }

private:
    static std::size_t entrySize(const HeaderField& field) { return field.name.size() + field.value.size() + 32; }

    void evictTo(std::size_t limit) {
        while (size_ > limit && !entries_.empty()) {
            size_ -= entrySize(entries_.back());
            entries_.pop_back();
        }
    }

    std::deque<HeaderField> entries_;
    std::size_t size_ = 0;
    std::uint32_t maxSize_ = kDefaultSize;
};

}  // namespace

std::optional<std::string> huffmanDecode(std::span<const std::uint8_t> coded) {
    const HuffmanTable& table = huffmanTable();
    std::string text;
    std::uint32_t code = 0;
    int bits = 0;
    for (const std::uint8_t byte : coded) {
        for (int bit = 7; bit >= 0; --bit) {
            code = (code << 1) | ((byte >> bit) & 1u);
            ++bits;
            if (bits > kLongestCode) return std::nullopt;
            const auto length = static_cast<std::size_t>(bits);
            if (table.count[length] == 0 || code < table.firstCode[length] ||
                code - table.firstCode[length] >= table.count[length]) {
                continue;
            }
            const int symbol = table.symbols[table.firstIndex[length] + code - table.firstCode[length]];
            if (symbol == kEndOfString) return std::nullopt;
            text.push_back(static_cast<char>(symbol));
            code = 0;
            bits = 0;
        }
    }
    // What is left must be padding: up to seven one bits.
    if (bits > 7 || code != (1u << bits) - 1) return std::nullopt;
    return text;
}

std::optional<std::vector<HeaderField>> decodeHeaderBlock(std::span<const std::uint8_t> block) {
    Reader reader(block);
    DynamicTable table;
    std::vector<HeaderField> fields;
    while (!reader.atEnd()) {
        const std::uint8_t first = reader.peek();
        if (first & 0x80) {  // indexed field
            const auto index = reader.integer(7);
            auto field = index ? table.at(*index) : std::nullopt;
            if (!field) return std::nullopt;
            fields.push_back(std::move(*field));
            continue;
        }
        if ((first & 0xe0) == 0x20) {  // dynamic table size update
            const auto size = reader.integer(5);
            if (!size || !table.resize(*size)) return std::nullopt;
            continue;
        }
        // A literal: with incremental indexing (01), else without (0000) or
        // never indexed (0001).
        const bool indexing = (first & 0xc0) == 0x40;
        const auto nameIndex = reader.integer(indexing ? 6 : 4);
        if (!nameIndex) return std::nullopt;
        HeaderField field;
        if (*nameIndex == 0) {
            auto name = reader.string();
            if (!name) return std::nullopt;
            field.name = std::move(*name);
        } else {
            auto named = table.at(*nameIndex);
            if (!named) return std::nullopt;
            field.name = std::move(named->name);
        }
        auto value = reader.string();
        if (!value) return std::nullopt;
        field.value = std::move(*value);
        if (indexing) table.add(field);
        fields.push_back(std::move(field));
    }
    return fields;
}

}  // namespace keldra::filter::hpack
