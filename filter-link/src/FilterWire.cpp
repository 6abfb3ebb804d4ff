#include "filter-link/FilterWire.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace keldra::filterwire {

namespace {

using nlohmann::json;

// Refuses nesting deeper than kMaxDepth before the parser sees the text, so
// a hostile message cannot exhaust the stack.
void checkDepth(std::string_view text) {
    std::size_t depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (inString) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            if (++depth > kMaxDepth) throw WireError("message nested too deeply");
        } else if ((c == '}' || c == ']') && depth > 0) {
            --depth;
        }
    }
}

json parseMessage(std::string_view message) {
    checkDepth(message);
    json tree;
    try {
        // Invalid UTF-8 in strings is a parse error of nlohmann's reader.
        tree = json::parse(message.begin(), message.end());
    } catch (const json::exception& error) {
        throw WireError(std::string("not a JSON message: ") + error.what());
    }
    if (!tree.is_object()) throw WireError("message is not a JSON object");
    return tree;
}

std::uint64_t idOf(const json& tree) {
    auto found = tree.find("id");
    if (found == tree.end() || !found->is_number_unsigned()) {
        if (found != tree.end() && found->is_number_integer() && found->get<std::int64_t>() >= 0) {
            return static_cast<std::uint64_t>(found->get<std::int64_t>());
        }
        throw WireError("message without an integer \"id\"");
    }
    return found->get<std::uint64_t>();
}

std::string head(std::uint64_t id) { return "{\"id\":" + std::to_string(id); }

std::string withData(std::uint64_t id, const char* member, std::optional<std::string_view> text) {
    std::string out = head(id) + ",\"" + member + "\":";
    if (text) {
        out.append(text->data(), text->size());
    } else {
        out += "null";
    }
    out += "}";
    return out;
}

// Waits until `fd` is readable or the deadline passes.
void awaitReadable(int fd, const std::optional<std::chrono::steady_clock::time_point>& deadline) {
    if (deadline && !waitReadable(fd, *deadline)) throw TimedOut("no reply in time");
}

// Reads exactly `size` bytes. Returns false when the peer closed before the
// first byte; throws when it closes after some of them.
bool readExactly(int fd, char* out, std::size_t size,
                 const std::optional<std::chrono::steady_clock::time_point>& deadline) {
    std::size_t done = 0;
    while (done < size) {
        awaitReadable(fd, deadline);
        ssize_t got = ::recv(fd, out + done, size - done, 0);
        if (got > 0) {
            done += static_cast<std::size_t>(got);
        } else if (got == 0) {
            if (done == 0) return false;
            throw WireError("connection closed inside a frame");
        } else if (errno != EINTR && errno != EAGAIN) {
            if (done == 0 && (errno == ECONNRESET || errno == EPIPE)) return false;
            throw WireError(std::string("read: ") + std::strerror(errno));
        }
    }
    return true;
}

}  // namespace

std::string_view callName(Call call) noexcept {
    switch (call) {
        case Call::status:
            return "status";
        case Call::publish:
            return "publish";
        case Call::takeEvents:
            return "takeEvents";
    }
    return "status";
}

std::optional<Call> callFromName(std::string_view name) noexcept {
    if (name == "status") return Call::status;
    if (name == "publish") return Call::publish;
    if (name == "takeEvents") return Call::takeEvents;
    return std::nullopt;
}

std::string encodeStatusRequest(std::uint64_t id) { return head(id) + ",\"call\":\"status\"}"; }

std::string encodePublishRequest(std::uint64_t id, std::string_view rulesText,
                                 std::optional<std::string_view> policyText) {
    std::string out = head(id) + ",\"call\":\"publish\",\"rules\":";
    out.reserve(out.size() + rulesText.size() + (policyText ? policyText->size() + 10 : 0) + 1);
    out.append(rulesText.data(), rulesText.size());
    if (policyText) {
        out += ",\"policy\":";
        out.append(policyText->data(), policyText->size());
    }
    out += "}";
    return out;
}

std::string encodeTakeEventsRequest(std::uint64_t id) { return head(id) + ",\"call\":\"takeEvents\"}"; }

std::string encodeStatusReply(std::uint64_t id, std::optional<std::string_view> statusText) {
    return withData(id, "status", statusText);
}

std::string encodePublishReply(std::uint64_t id, bool accepted, const std::optional<std::string>& reason) {
    json tail = json::object();
    tail["accepted"] = accepted;
    tail["reason"] = reason ? json(*reason) : json(nullptr);
    std::string rest = tail.dump(-1, ' ', false, json::error_handler_t::replace);
    // rest is {"accepted":..,"reason":..}; splice it after the id.
    return head(id) + "," + rest.substr(1);
}

std::string encodeTakeEventsReply(std::uint64_t id, std::optional<std::string_view> eventsText) {
    return withData(id, "events", eventsText);
}

namespace {

// Counts what nlohmann's tree allocates for each part of the text: a value
// sits in its array (16 bytes, and as much again of spare capacity) or in
// its object's map node with its key; an object or array allocates its
// container, a string value lives on the heap, and so does any text past
// the 15 bytes a string holds inline.
class TreeEstimate final : public nlohmann::json_sax<json> {
public:
    explicit TreeEstimate(std::size_t limit) : limit_(limit) {}

    std::size_t bytes() const noexcept { return bytes_; }
    bool failed() const noexcept { return failed_; }

    bool null() override { return value(0); }
    bool boolean(bool) override { return value(0); }
    bool number_integer(number_integer_t) override { return value(0); }
    bool number_unsigned(number_unsigned_t) override { return value(0); }
    bool number_float(number_float_t, const string_t&) override { return value(0); }
    bool string(string_t& text) override { return value(kAllocation + sizeof(std::string) + heapText(text)); }
    bool binary(binary_t& bytes) override { return value(kAllocation + sizeof(binary_t) + bytes.size()); }
    bool start_object(std::size_t) override { return open(kAllocation + sizeof(json::object_t), false); }
    bool key(string_t& name) override { return add(kAllocation + kMapNode + heapText(name)); }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(kAllocation + sizeof(json::array_t), true); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        failed_ = true;
        return false;
    }

private:
    static constexpr std::size_t kAllocation = 16;
    // A map node: the tree's links and colour, the key and the value.
    static constexpr std::size_t kMapNode = 32 + sizeof(std::string) + sizeof(json);

    static std::size_t heapText(const string_t& text) { return text.size() > 15 ? kAllocation + text.size() + 1 : 0; }

    bool add(std::size_t bytes) {
        bytes_ += bytes;
        return bytes_ <= limit_;
    }
    // A member's place came with its key; an element's is in its array.
    bool value(std::size_t own) { return add(own + (inArray_.empty() || inArray_.back() ? 2 * sizeof(json) : 0)); }
    bool open(std::size_t own, bool array) {
        const bool fits = value(own);
        inArray_.push_back(array);
        return fits;
    }
    bool close() {
        if (!inArray_.empty()) inArray_.pop_back();
        return true;
    }

    std::size_t limit_;
    std::size_t bytes_ = 0;
    bool failed_ = false;
    std::vector<bool> inArray_;
};

}  // namespace

std::optional<std::size_t> estimatedTreeBytes(std::string_view message, std::size_t limit) {
    TreeEstimate estimate(limit);
    const bool complete = json::sax_parse(message.begin(), message.end(), &estimate);
    if (estimate.failed()) return std::nullopt;
    if (!complete && estimate.bytes() <= limit) return std::nullopt;
    return estimate.bytes();
}

Request decodeRequest(std::string_view message) {
    // What a caller sends is never allowed to grow into more memory than the
    // largest real request needs. The counting pass keeps its own stack, so
    // nesting is checked once, by the parse after it.
    const auto treeBytes = estimatedTreeBytes(message, kMaxRequestTreeBytes);
    if (!treeBytes) throw WireError("not a JSON message");
    if (*treeBytes > kMaxRequestTreeBytes) {
        throw WireError("request refused: reading it would take more than " +
                        std::to_string(kMaxRequestTreeBytes >> 20) + " MiB");
    }
    json tree = parseMessage(message);
    Request request;
    request.id = idOf(tree);
    auto call = tree.find("call");
    if (call == tree.end() || !call->is_string()) throw WireError("request without a \"call\"");
    auto which = callFromName(call->get_ref<const std::string&>());
    if (!which) throw WireError("unknown call \"" + call->get<std::string>() + "\"");
    request.call = *which;
    if (request.call == Call::publish) {
        auto rules = tree.find("rules");
        if (rules == tree.end() || !rules->is_object()) throw WireError("publish without a rules object");
        request.rules = std::move(*rules);
        auto policy = tree.find("policy");
        if (policy != tree.end() && !policy->is_null()) {
            if (!policy->is_object()) throw WireError("publish with a policy that is not an object");
            request.policy = std::move(*policy);
        }
    }
    return request;
}

Reply decodeReply(std::string_view message, Call call) {
    json tree = parseMessage(message);
    Reply reply;
    reply.id = idOf(tree);
    if (call == Call::publish) {
        auto accepted = tree.find("accepted");
        if (accepted == tree.end() || !accepted->is_boolean()) throw WireError("publish reply without \"accepted\"");
        reply.accepted = accepted->get<bool>();
        auto reason = tree.find("reason");
        if (reason != tree.end() && !reason->is_null()) {
            if (!reason->is_string()) throw WireError("publish reply with a reason that is not text");
            reply.reason = reason->get<std::string>();
        }
        return reply;
    }
    // A payload of the wrong kind is handed on: it fails to decode as the
    // caller's record, which the caller handles as such.
    auto data = tree.find(call == Call::status ? "status" : "events");
    if (data != tree.end() && !data->is_null()) reply.data = std::move(*data);
    return reply;
}

std::optional<std::uint64_t> replyID(std::string_view message) {
    try {
        return idOf(parseMessage(message));
    } catch (const WireError&) {
        return std::nullopt;
    }
}

std::string framePrefix(std::size_t size) {
    if (size > kMaxFrameBytes) throw WireError("message of " + std::to_string(size) + " bytes is larger than a frame may be");
    std::string prefix(4, '\0');
    prefix[0] = static_cast<char>((size >> 24) & 0xff);
    prefix[1] = static_cast<char>((size >> 16) & 0xff);
    prefix[2] = static_cast<char>((size >> 8) & 0xff);
    prefix[3] = static_cast<char>(size & 0xff);
    return prefix;
}

void writeFrame(int fd, std::string_view message) {
    const std::string prefix = framePrefix(message.size());
    std::string_view parts[2] = {prefix, message};
    for (std::string_view part : parts) {
        std::size_t done = 0;
        while (done < part.size()) {
            ssize_t sent = ::send(fd, part.data() + done, part.size() - done, MSG_NOSIGNAL);
            if (sent > 0) {
                done += static_cast<std::size_t>(sent);
            } else if (sent < 0 && (errno == EINTR || errno == EAGAIN)) {
                continue;
            } else {
                throw ConnectionClosed(std::string("write: ") + std::strerror(errno));
            }
        }
    }
}

std::uint32_t frameSize(const unsigned char (&prefix)[4]) {
    const std::uint32_t size = (std::uint32_t(prefix[0]) << 24) | (std::uint32_t(prefix[1]) << 16) |
                               (std::uint32_t(prefix[2]) << 8) | std::uint32_t(prefix[3]);
    if (size > kMaxFrameBytes) throw WireError("frame of " + std::to_string(size) + " bytes refused");
    return size;
}

bool waitReadable(int fd, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) return false;
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(std::min<long long>(left, 60'000)));
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) throw WireError(std::string("poll: ") + std::strerror(errno));
    }
}

std::string readFrame(int fd, std::optional<std::chrono::steady_clock::time_point> deadline) {
    unsigned char prefix[4];
    if (!readExactly(fd, reinterpret_cast<char*>(prefix), sizeof prefix, deadline)) {
        throw ConnectionClosed("connection closed");
    }
    const std::uint32_t size = frameSize(prefix);
    // Grown as the bytes come, so a peer that announces a large frame and
    // sends little makes us hold only what it sent.
    std::string body;
    constexpr std::size_t kChunk = 1024 * 1024;
    while (body.size() < size) {
        std::size_t at = body.size();
        std::size_t step = std::min<std::size_t>(kChunk, size - at);
        body.resize(at + step);
        if (!readExactly(fd, body.data() + at, step, deadline)) throw WireError("connection closed inside a frame");
    }
    return body;
}

}  // namespace keldra::filterwire
