#pragma once
// The local device service as the app's end-to-end tests set it up: the
// environment the app reads, an "ads" category and a commitment policy.
#include "AppTestSupport.h"
#include "keldra/DevService.h"

namespace apptest {

// A commitment to 2030 blocking the "ads" category and "blocked.test".
inline json demoPolicy(std::int64_t heartbeat) {
    return json{{"kind", "commitment"},
                {"commitment_id", "c-1"},
                {"locked_until", "2030-01-01T00:00:00Z"},
                {"categories", {"ads"}},
                {"custom_rules", {{{"rule_type", "domain"}, {"value", "blocked.test"}}}},
                {"allow_rules", json::array()},
                {"blocklist_version", 1},
                {"offline_release_runtime_seconds", 604800},
                {"heartbeat_interval_seconds", heartbeat}};
}

// Writes the service's environment into the harness's bundle and gives the
// service its "ads" list (one suffix rule, "ads.test").
inline void prepareService(brivet::dev::DevService& service, Harness& h) {
    json environment = json::parse(service.environmentJSON());
    environment["dashboard_url"] = "https://dashboard.example/";
    // The app pins two release keys; the second is any other key.
    environment["release_keys"].push_back({{"id", "spare"}, {"public", environment["policy_keys"][0]["public"]}});
    h.writeEnvironment(environment.dump());
    service.setBlocklistDocument("ads", json{{"version", 1},
                                             {"rules", {{{"rule_type", "domain_suffix"}, {"value", "ads.test"}}}}});
}

}  // namespace apptest
