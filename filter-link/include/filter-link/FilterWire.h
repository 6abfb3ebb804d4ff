#pragma once
// The one wire format of the link between the app and its filter extension,
// shared by the app's client and the extension's server.
//
// A Unix-domain stream socket carries frames: a 4-byte big-endian length,
// then that many bytes of one JSON message. A length above kMaxFrameBytes is
// refused before anything of the frame body is read or allocated.
//
// Requests (app to extension), each with an "id" the reply repeats:
//   {"id":1,"call":"status"}
//   {"id":2,"call":"publish","rules":<FilterRules document>,"policy":<envelope>}
//   {"id":3,"call":"takeEvents"}
// Replies (extension to app):
//   {"id":1,"status":<FilterStatus object>|null}
//   {"id":2,"accepted":true|false,"reason":<text>|null}
//   {"id":3,"events":[<CoalescedEvent>...]|null}
// The payloads are the plain JSON forms of the records (field names as
// keys); null (or a missing member) stands for "no data". "policy" is the
// signed device-policy envelope the rules came from, as the service sent it;
// a publish without one (or with null) carries none.
//
// This header depends on nothing of the app or the client library, so the
// extension's daemon links it on its own.

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace keldra::filterwire {

// 128 MiB: more than the largest request the tree limit below lets through
// (a rules document of a million rules takes about 57 MiB).
inline constexpr std::uint32_t kMaxFrameBytes = 128u * 1024u * 1024u;
// Messages nested deeper than this are refused.
inline constexpr std::size_t kMaxDepth = 256;
// A request whose parsed tree would take more memory than this (as
// estimatedTreeBytes counts it) is refused before the tree is built: a rules
// document of a million rules counts about 485 MiB (so about 1.2 million
// rules is the most a publish can carry), while a frame of small empty
// objects would otherwise grow to some thirty times its size.
inline constexpr std::size_t kMaxRequestTreeBytes = 576u * 1024u * 1024u;

// The memory the parsed tree of a JSON text takes, estimated from the text
// in one pass without building anything (containers, members, strings and
// the allocator's overhead), counting stops once `limit` is passed. Nothing
// when the text is not JSON.
std::optional<std::size_t> estimatedTreeBytes(std::string_view message, std::size_t limit);

// A frame or message that breaks the format, or a peer that went away in
// the middle of a frame.
class WireError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The peer closed the connection, or the deadline passed, while a frame was
// awaited.
class ConnectionClosed : public WireError {
public:
    using WireError::WireError;
};
class TimedOut : public WireError {
public:
    using WireError::WireError;
};

enum class Call { status, publish, takeEvents };

// "status", "publish", "takeEvents".
std::string_view callName(Call call) noexcept;
std::optional<Call> callFromName(std::string_view name) noexcept;

struct Request {
    std::uint64_t id = 0;
    Call call = Call::status;
    // publish only: the rules document. Parsed into an unordered tree, which
    // reads a large rule set fastest.
    std::optional<nlohmann::json> rules;
    // publish only: the signed policy envelope, when one came.
    std::optional<nlohmann::json> policy;
};

struct Reply {
    std::uint64_t id = 0;
    // status: the status object; takeEvents: the events array. Absent for
    // "no data" (null or missing) and for publish replies.
    std::optional<nlohmann::json> data;
    // publish replies only.
    bool accepted = false;
    std::optional<std::string> reason;
};

// ---- Messages (the JSON text of one frame, without its length prefix).

// Encoders splice the given JSON texts in verbatim: pass texts made by a JSON
// encoder. rulesText/dataText are the payloads; absent data is written null.
std::string encodeStatusRequest(std::uint64_t id);
std::string encodePublishRequest(std::uint64_t id, std::string_view rulesText,
                                 std::optional<std::string_view> policyText = std::nullopt);
std::string encodeTakeEventsRequest(std::uint64_t id);
std::string encodeStatusReply(std::uint64_t id, std::optional<std::string_view> statusText);
std::string encodePublishReply(std::uint64_t id, bool accepted, const std::optional<std::string>& reason);
std::string encodeTakeEventsReply(std::uint64_t id, std::optional<std::string_view> eventsText);

// Strict decoders; throw WireError for anything that is not a well-formed
// message of its kind (bad JSON, invalid UTF-8, too deep, missing or
// mistyped "id"/"call", unknown call, publish without an object "rules" or
// with a "policy" that is neither an object nor null).
Request decodeRequest(std::string_view message);
// `call` is the call the reply answers, which decides its members: status
// and takeEvents need "data" of the right type (object / array) or null;
// publish needs a boolean "accepted" and a string or null "reason".
Reply decodeReply(std::string_view message, Call call);
// Only the "id" of a reply, for matching it to its call; none when the
// message has no integer id.
std::optional<std::uint64_t> replyID(std::string_view message);

// ---- Frames on a connected socket (blocking; EINTR is retried).

// The 4-byte prefix for a message of `size` bytes; throws WireError when
// the size is above kMaxFrameBytes.
std::string framePrefix(std::size_t size);

// The size a frame's 4-byte prefix announces; throws WireError when it is
// above kMaxFrameBytes.
std::uint32_t frameSize(const unsigned char (&prefix)[4]);

// Waits until `fd` has bytes (or news of its end); false when `deadline`
// passed first. Throws WireError when it cannot wait.
bool waitReadable(int fd, std::chrono::steady_clock::time_point deadline);

// Writes one frame. Throws WireError (too large) or ConnectionClosed (the
// peer went away; no SIGPIPE is raised).
void writeFrame(int fd, std::string_view message);

// Reads one frame. With a deadline, throws TimedOut when it passes first.
// Throws ConnectionClosed when the peer closes before a frame begins,
// WireError when it closes inside a frame or announces a length above the
// cap (the body is then neither read nor allocated).
std::string readFrame(int fd, std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt);

}  // namespace keldra::filterwire
