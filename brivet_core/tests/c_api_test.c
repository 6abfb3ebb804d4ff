/* The C header compiles as plain C and the shared library links from C. */
#include "brivet_core.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

static int failures = 0;

static void expect_reply(char* reply, const char* expected, const char* what) {
    if (reply == NULL || strcmp(reply, expected) != 0) {
        fprintf(stderr, "FAIL %s: got %s, expected %s\n", what, reply ? reply : "(null)", expected);
        ++failures;
    }
    brivet_core_string_free(reply);
}

static void expect_i64(int64_t got, int64_t expected, const char* what) {
    if (got != expected) {
        fprintf(stderr, "FAIL %s: got %lld, expected %lld\n", what, (long long)got, (long long)expected);
        ++failures;
    }
}

int main(void) {
    const char* keys = "{\"policy_keys\":[],\"release_keys\":[]}";
    const char* state = "{\"device_id\":\"d1\",\"installation_id\":\"i1\"}";

    expect_reply(brivet_core_release_verify(NULL, keys, "2030-01-01T00:00:00Z", 1),
                 "{\"error\":\"invalid_envelope_json\",\"ok\":false}", "NULL envelope");
    expect_reply(brivet_core_release_verify("{} ", keys, "2030-01-01T00:00:00Z", 1),
                 "{\"error\":\"malformed_envelope\",\"ok\":false}", "empty object with blank");
    expect_reply(brivet_core_release_verify("{} x", keys, "2030-01-01T00:00:00Z", 1),
                 "{\"error\":\"invalid_envelope_json\",\"ok\":false}", "trailing letter");
    expect_reply(brivet_core_release_verify("{}", keys, "soon", 1), "{\"error\":\"invalid_now\",\"ok\":false}",
                 "bad now");
    expect_reply(brivet_core_attestation_verify("{}", keys, "d1", NULL),
                 "{\"error\":\"invalid_argument\",\"ok\":false}", "NULL nonce");
    expect_reply(brivet_core_policy_apply(NULL, "{}", keys), "{\"error\":\"invalid_state\",\"ok\":false}",
                 "NULL state");
    expect_reply(brivet_core_policy_apply(state, "[]", keys), "{\"error\":\"malformed_envelope\",\"ok\":false}",
                 "array envelope");
    expect_reply(brivet_core_policy_apply(state,
                                          "{\"alg\":\"Ed25519\",\"key_id\":\"p1\",\"payload_b64\":\"e30\",\"sig\":\"\"}",
                                          keys),
                 "{\"error\":\"unknown_key\",\"ok\":false}", "unknown key");

    expect_i64(brivet_core_clamp_offline_runtime(-5), 86400, "clamp -5");
    expect_i64(brivet_core_clamp_offline_runtime(0), 86400, "clamp 0");
    expect_i64(brivet_core_clamp_offline_runtime(86401), 86401, "clamp 86401");
    expect_i64(brivet_core_clamp_offline_runtime(2592001), 2592000, "clamp 2592001");
    expect_i64(brivet_core_clamp_offline_runtime(INT64_MIN), 86400, "clamp INT64_MIN");
    expect_i64(brivet_core_clamp_offline_runtime(INT64_MAX), 2592000, "clamp INT64_MAX");

    if (strcmp(brivet_core_version(), "0.1.0") != 0 || brivet_core_version() != brivet_core_version()) {
        fprintf(stderr, "FAIL version\n");
        ++failures;
    }
    brivet_core_string_free(NULL);

    if (failures == 0) printf("c api: all checks passed\n");
    return failures == 0 ? 0 : 1;
}
