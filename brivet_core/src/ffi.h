// The C interface's input reading and reply serialisation.
#pragma once

#include "errors.h"
#include "json.h"

#include <optional>
#include <string_view>
#include <vector>

namespace brivet::core::ffi {

// Reads a NUL-terminated JSON input: NULL, invalid UTF-8 or anything the
// JSON reader refuses gives nullopt. Repeated keys are reported to
// `duplicates` when given (for the typed readers).
std::optional<json::Value> parse(const char* text, std::vector<json::Duplicate>* duplicates = nullptr,
                                 size_t maxDepth = json::kMaxDepth);

// Reads a NUL-terminated plain text: nullopt for NULL or invalid UTF-8.
std::optional<std::string_view> plainText(const char* text);

// {"error":<code>,"ok":false}
json::Value error(Code code);

// The reply as a compact NUL-terminated text allocated with malloc; the
// fixed {"ok":false,"error":"internal"} when the text would hold a NUL byte.
char* to_c(const json::Value& reply);

// A fresh copy of the fixed fallback reply.
char* fallback();

}  // namespace brivet::core::ffi
