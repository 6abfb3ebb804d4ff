#pragma once
// Test helper: typed wrappers over the core's test signing, so bridge tests
// get pinned keys as PinnedKeys::Key and sign JSON payloads directly.
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "../../brivet_core/tests/TestSigning.h"
#include "BrivetCore/BrivetCore.h"

namespace bridge_test {

inline std::string base64url(std::string_view bytes) { return brivet::testing::b64url(bytes); }

class Signer {
public:
    explicit Signer(std::string id) : key_(brivet::testing::generateKey(std::move(id))) {}

    brivet::PinnedKeys::Key pinned() const { return {key_.id, key_.publicB64(), std::nullopt}; }

    // The envelope text for these exact payload bytes.
    std::string envelopeOfBytes(std::string_view payload) const { return brivet::testing::signedEnvelope(key_, payload); }
    std::string envelope(const nlohmann::json& payload) const { return envelopeOfBytes(payload.dump()); }

private:
    brivet::testing::TestKey key_;
};

}  // namespace bridge_test
