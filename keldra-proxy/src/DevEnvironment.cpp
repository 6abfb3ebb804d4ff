#include "keldra-proxy/DevEnvironment.h"

#include "BrivetClient/AtomicFile.h"
#include "BrivetClient/JSONCoding.h"

namespace brivet {

namespace {

std::vector<PinnedKeys::Key> keyList(const Json& object, std::string_view member) {
    const Json& list = JSONCoding::requireArray(JSONCoding::requireMember(object, member), member);
    std::vector<PinnedKeys::Key> keys;
    for (const auto& element : list) {
        keys.push_back(element.get<PinnedKeys::Key>());
    }
    return keys;
}

}  // namespace

DevEnvironment DevEnvironment::decode(std::string_view bytes) {
    try {
        const Json tree = JSONCoding::decodeTree(bytes);
        JSONCoding::requireObject(tree, "environment");
        DevEnvironment environment;
        environment.name = JSONCoding::requireString(tree, "name");
        environment.apiBaseUrl = JSONCoding::requireString(tree, "apiBaseUrl");
        if (environment.apiBaseUrl.empty() || environment.apiBaseUrl.find("://") == std::string::npos) {
            throw DecodingError("\"api_base_url\": not a URL: " + environment.apiBaseUrl);
        }
        environment.policyKeys = keyList(tree, "policyKeys");
        environment.releaseKeys = keyList(tree, "releaseKeys");
        return environment;
    } catch (const EnvironmentError&) {
        throw;
    } catch (const std::exception& error) {
        throw EnvironmentError(error.what());
    }
}

DevEnvironment DevEnvironment::load(const std::filesystem::path& file) {
    std::string bytes;
    try {
        if (!readWholeFile(file, bytes)) {
            throw EnvironmentError("no such file: " + file.string());
        }
    } catch (const EnvironmentError&) {
        throw;
    } catch (const std::exception& error) {
        throw EnvironmentError(error.what());
    }
    return decode(bytes);
}

}  // namespace brivet
