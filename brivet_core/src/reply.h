// Building reply objects.
#pragma once

#include "errors.h"
#include "json.h"

namespace brivet::core {

// {"error":<code>,"ok":false}
inline json::Value failure(Code code) {
    json::Value reply = json::Value::object();
    reply["ok"] = false;
    reply["error"] = codeText(code);
    return reply;
}

}  // namespace brivet::core
