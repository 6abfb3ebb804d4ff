// Shared by the fuzz target and the test that checks its seed corpus: the
// fixed keys the fuzzer pins and how one fuzz input becomes the arguments of
// one verifying export.
//
// Input layout (an empty input is the policy export with every default):
// byte 0 selects the export (value % 3: policy, release,
// attestation; value / 3 is the release's client version); the rest is split
// at NUL bytes into fields. A missing field takes its default; a field that
// is the single byte 0x01 is passed as NULL.
//   policy:      envelope, state, keys
//   release:     envelope, now, keys
//   attestation: envelope, device id, nonce, keys
#pragma once

#include "TestSigning.h"
#include "brivet_core.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brivet::fuzzing {

inline const testing::TestKey& policyKey() {
    static const testing::TestKey key = [] {
        std::array<uint8_t, 32> seed{};
        for (size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<uint8_t>(i + 1);
        return testing::keyFromSeed("p1", seed);
    }();
    return key;
}

inline const testing::TestKey& releaseKey() {
    static const testing::TestKey key = [] {
        std::array<uint8_t, 32> seed{};
        for (size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<uint8_t>(i + 101);
        return testing::keyFromSeed("r1", seed);
    }();
    return key;
}

inline const std::string& defaultKeys() {
    static const std::string keys = testing::keyDocument({&policyKey()}, {&releaseKey()});
    return keys;
}

enum class Operation { policy, release, attestation };

struct Call {
    Operation operation = Operation::policy;
    uint32_t clientVersion = 0;
    std::vector<std::optional<std::string>> fields;  // nullopt means NULL

    const char* arg(size_t i) const { return fields[i] ? fields[i]->c_str() : nullptr; }

    // Runs the export; the reply belongs to the caller.
    char* run() const {
        switch (operation) {
            case Operation::policy: return brivet_core_policy_apply(arg(1), arg(0), arg(2));
            case Operation::release: return brivet_core_release_verify(arg(0), arg(2), arg(1), clientVersion);
            case Operation::attestation: return brivet_core_attestation_verify(arg(0), arg(3), arg(1), arg(2));
        }
        return nullptr;
    }
};

inline Call decode(const uint8_t* data, size_t size) {
    Call call;
    const uint8_t selector = size > 0 ? data[0] : 0;
    call.operation = static_cast<Operation>(selector % 3);
    call.clientVersion = selector / 3;
    std::vector<std::string> parts(1);
    for (size_t i = 1; i < size; ++i) {
        if (data[i] == 0) {
            parts.emplace_back();
        } else {
            parts.back() += static_cast<char>(data[i]);
        }
    }
    std::vector<std::string> defaults;
    switch (call.operation) {
        case Operation::policy:
            defaults = {"{}", R"({"device_id":"d1","installation_id":"i1"})", defaultKeys()};
            break;
        case Operation::release: defaults = {"{}", "2030-01-01T00:00:00Z", defaultKeys()}; break;
        case Operation::attestation: defaults = {"{}", "d1", "n1", defaultKeys()}; break;
    }
    for (size_t i = 0; i < defaults.size(); ++i) {
        if (i >= parts.size()) {
            call.fields.emplace_back(defaults[i]);
        } else if (parts[i] == "\x01") {
            call.fields.emplace_back(std::nullopt);
        } else {
            call.fields.emplace_back(parts[i]);
        }
    }
    return call;
}

// The bytes of a fuzz input for the given selector and fields.
inline std::string encode(uint8_t selector, const std::vector<std::string>& fields) {
    std::string out(1, static_cast<char>(selector));
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i) out += '\0';
        out += fields[i];
    }
    return out;
}

}  // namespace brivet::fuzzing
