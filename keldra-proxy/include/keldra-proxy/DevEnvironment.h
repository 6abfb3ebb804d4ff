#pragma once
// The deployment environment file: the device service and the keys to pin.

#include "BrivetCore/BrivetCore.h"

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace brivet {

class EnvironmentError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct DevEnvironment {
    std::string name;
    std::string apiBaseUrl;
    std::vector<PinnedKeys::Key> policyKeys;
    std::vector<PinnedKeys::Key> releaseKeys;

    bool operator==(const DevEnvironment&) const = default;

    // Keys are matched after conversion from snake case ("api_base_url" is
    // apiBaseUrl); all four are required, others are ignored. Throws
    // EnvironmentError with the decoder's description.
    static DevEnvironment decode(std::string_view bytes);
    // Reads and decodes the file; throws EnvironmentError.
    static DevEnvironment load(const std::filesystem::path& file);
};

}  // namespace brivet
