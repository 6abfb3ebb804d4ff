#include "Keldra/ClientEnvironment.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "BrivetClient/JSONCoding.h"

namespace keldra {

namespace {

using brivet::DecodingError;
using brivet::Json;
namespace coding = brivet::JSONCoding;

std::string requireURL(const Json& object, std::string_view key, std::string_view wireKey) {
    std::string text = coding::requireString(object, key);
    if (!isValidURL(text)) throw DecodingError("\"" + std::string(wireKey) + "\": not a valid URL");
    return text;
}

std::vector<brivet::PinnedKeys::Key> keyList(const Json& object, std::string_view key) {
    const Json& list = coding::requireArray(coding::requireMember(object, key), key);
    std::vector<brivet::PinnedKeys::Key> keys;
    for (const Json& element : list) {
        try {
            keys.push_back(element.get<brivet::PinnedKeys::Key>());
        } catch (const DecodingError&) {
            throw;
        } catch (const std::exception& error) {
            throw DecodingError(std::string(key) + ": " + error.what());
        }
    }
    return keys;
}

bool isHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

}  // namespace

const char* ClientEnvironment::EnvironmentError::what() const noexcept {
    switch (value_) {
        case Case::missing:
            return "missing";
        case Case::keysIncomplete:
            return "keysIncomplete";
    }
    return "missing";
}

bool isValidURL(std::string_view text) {
    if (text.empty()) return false;
    static constexpr std::string_view kAllowed =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~:/?#[]@!$&'()*+,;=";
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2])) return false;
            i += 2;
            continue;
        }
        if (kAllowed.find(c) == std::string_view::npos) return false;
    }
    return true;
}

ClientEnvironment ClientEnvironment::decode(std::string_view bytes) {
    // Keys are turned into camel case before they are matched.
    const Json tree = coding::decodeTree(bytes);
    coding::requireObject(tree, "environment");
    ClientEnvironment environment;
    environment.name = coding::requireString(tree, "name");
    environment.apiBaseUrl = requireURL(tree, "apiBaseUrl", "api_base_url");
    environment.dashboardUrl = requireURL(tree, "dashboardUrl", "dashboard_url");
    environment.policyKeys = keyList(tree, "policyKeys");
    environment.releaseKeys = keyList(tree, "releaseKeys");
    if (environment.policyKeys.empty() || environment.releaseKeys.size() < 2) {
        throw EnvironmentError(EnvironmentError::Case::keysIncomplete);
    }
    return environment;
}

ClientEnvironment ClientEnvironment::load(const Bundle& bundle) {
    auto url = bundle.urlForResource("Environment", "json");
    if (!url) throw EnvironmentError(EnvironmentError::Case::missing);
    std::ifstream in(*url, std::ios::binary);
    if (!in) {
        throw ReadError("The file \"Environment.json\" couldn't be opened: " + std::string(std::strerror(errno)));
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (in.bad()) throw ReadError("The file \"Environment.json\" couldn't be read.");
    return decode(bytes.str());
}

}  // namespace keldra
