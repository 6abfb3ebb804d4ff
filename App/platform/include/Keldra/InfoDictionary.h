#pragma once
// The app's Info dictionary: the JSON object in "Contents/Info.json" of a
// bundle. Its string members are the Info values; any other member reads as
// absent through string(), though value() still hands it out for the few
// callers that read nested objects (an extension's "NetworkExtension").

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace keldra {

class InfoDictionary {
public:
    // An empty dictionary: every key reads as absent.
    InfoDictionary() = default;
    // Members of `object`; anything but a JSON object gives the empty
    // dictionary.
    explicit InfoDictionary(nlohmann::json object);

    // Reads the file. A missing, unreadable, oversized (over 1 MiB) or
    // malformed file, or one whose top level is not an object, gives the
    // empty dictionary: Info values are read as absent, never as failures.
    static InfoDictionary load(const std::filesystem::path& file);

    // The value under `key` when it is a string (the empty string included);
    // absent when the key is missing or holds any other type.
    std::optional<std::string> string(std::string_view key) const;

    // The raw member, whatever its type; absent when missing.
    std::optional<nlohmann::json> value(std::string_view key) const;

    bool empty() const noexcept { return values_.empty(); }

private:
    nlohmann::json values_ = nlohmann::json::object();
};

}  // namespace keldra
