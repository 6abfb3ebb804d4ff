// Global-release documents.
#pragma once

#include "envelope.h"
#include "json.h"
#include "timestamp.h"

#include <cstdint>

namespace brivet::core::release {

// The payload checks after the envelope was verified with the release keys.
// Returns the whole reply object, success or failure.
json::Value verify(const envelope::Verified& verified, const timestamp::Instant& now, uint32_t clientVersion);

}  // namespace brivet::core::release
