#pragma once
// The engine's seams to its host: the filter it feeds and the machine it runs
// on. Both programs plug their own implementations into the same engine.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace brivet {

// What a filter reports about itself. The engine reads only `running`; the
// other fields are for the programs that show or pass the status on.
struct FilterStatus {
    bool running = false;
    std::int64_t policySeq = 0;
    std::int64_t blocklistVersion = 0;
    std::optional<std::string> startedAt;
    std::int64_t pendingEvents = 0;

    bool operator==(const FilterStatus&) const = default;
};

// A FilterStatus document that lacks a required member or holds a member of
// the wrong type.
class FilterStatusDecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// JSON form: the field names as keys; "startedAt" is left out when absent.
// Members with other names are ignored when decoding.
void to_json(nlohmann::json& j, const FilterStatus& status);
void from_json(const nlohmann::json& j, FilterStatus& status);  // throws FilterStatusDecodingError
std::string encodeFilterStatus(const FilterStatus& status);
FilterStatus decodeFilterStatus(std::string_view text);  // throws FilterStatusDecodingError

// Whole seconds of CLOCK_MONOTONIC: it cannot be set by the user and stops
// while the machine sleeps; it starts again from a low value after a reboot.
std::int64_t monotonicClockSeconds();

}  // namespace brivet
