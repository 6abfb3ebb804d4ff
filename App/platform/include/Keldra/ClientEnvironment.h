#pragma once
// The deployment environment file "Environment.json" among the bundle's
// resources: the device service, the dashboard and the pinned keys.
//
// Keys are matched after conversion from snake case ("api_base_url" is
// apiBaseUrl; keys without underscores, such as "apiBaseUrl", are unchanged);
// unknown keys are ignored; all five are required.

#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "BrivetCore/BrivetCore.h"
#include "Keldra/Bundle.h"

namespace keldra {

struct ClientEnvironment {
    std::string name;
    std::string apiBaseUrl;
    std::string dashboardUrl;
    std::vector<brivet::PinnedKeys::Key> policyKeys;
    std::vector<brivet::PinnedKeys::Key> releaseKeys;

    bool operator==(const ClientEnvironment&) const = default;

    // The policy list first, the release list second.
    brivet::PinnedKeys pinnedKeys() const { return brivet::PinnedKeys(policyKeys, releaseKeys); }

    // The environment's own failures. Their printed form (what()) is the
    // case name: "missing" or "keysIncomplete".
    class EnvironmentError : public std::exception {
    public:
        enum class Case { missing, keysIncomplete };
        explicit EnvironmentError(Case value) noexcept : value_(value) {}
        Case value() const noexcept { return value_; }
        const char* what() const noexcept override;
        bool operator==(const EnvironmentError& other) const noexcept { return value_ == other.value_; }

    private:
        Case value_;
    };

    // The file exists but cannot be read; what() is the file system's
    // description.
    class ReadError : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    // 1. no resource "Environment.json": EnvironmentError missing;
    // 2. read failure: ReadError;
    // 3. decoding failure: brivet::DecodingError with its description;
    // 4. no policy key, or fewer than two release keys:
    //    EnvironmentError keysIncomplete.
    static ClientEnvironment load(const Bundle& bundle);

    // Steps 3 and 4 over bytes. Throws brivet::DecodingError or
    // EnvironmentError.
    static ClientEnvironment decode(std::string_view bytes);
};

using EnvironmentError = ClientEnvironment::EnvironmentError;

// A URL text as the platform accepts one: not empty, only characters a URI
// may hold, every "%" followed by two hexadecimal digits.
bool isValidURL(std::string_view text);

}  // namespace keldra
