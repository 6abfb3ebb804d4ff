/* brivet_core: verification of the device service's signed documents.
 *
 * Every text argument is a NUL-terminated UTF-8 string that is only read
 * during the call. Every reply of the three verifying calls is one compact
 * JSON object (members in ascending byte order of their keys) allocated by
 * the library: {"ok":true,...} on success, {"error":"<code>","ok":false}
 * on failure. The caller owns the reply and must release it with
 * brivet_core_string_free. Bad input never stops the process; it yields a
 * failure reply. All calls are re-entrant and may run on any thread. */
#ifndef BRIVET_CORE_H
#define BRIVET_CORE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define BRIVET_CORE_EXPORT __attribute__((visibility("default")))
#else
#define BRIVET_CORE_EXPORT
#endif

/* Verifies a global-release envelope with the key document's "release_keys"
 * at the current time `now_rfc3339` (RFC 3339) for a client of version
 * `client_version`. Success members: "effective_at" (UTC, whole seconds),
 * "key_id", "minimum_client_version", "reason". The failures
 * "not_effective_until" and "client_too_old" also carry "effective_at" or
 * "minimum_client_version". */
BRIVET_CORE_EXPORT char* brivet_core_release_verify(const char* envelope_json,
                                                    const char* keys_json,
                                                    const char* now_rfc3339,
                                                    uint32_t client_version);

/* Verifies a time-attestation envelope with the key document's
 * "policy_keys" for this device and the nonce it chose. Success members:
 * "commitment_id" (text or null), "commitment_status", "policy_seq",
 * "server_time" (UTC, whole seconds). */
BRIVET_CORE_EXPORT char* brivet_core_attestation_verify(const char* envelope_json,
                                                        const char* keys_json,
                                                        const char* device_id,
                                                        const char* nonce);

/* Applies a device-policy envelope, verified with the key document's
 * "policy_keys", to the device's policy state. Success members: "outcome"
 * ("applied" or "ignored" for an exact repeat) and "state" (the state to
 * store: "device_id", "highest_policy_seq", "installation_id", "policy",
 * "policy_bytes"). Refuses rollbacks, a different policy under a sequence
 * already used, and weakening a commitment without an acceptable release. */
BRIVET_CORE_EXPORT char* brivet_core_policy_apply(const char* state_json,
                                                  const char* envelope_json,
                                                  const char* keys_json);

/* Clamps an offline-release runtime to 86400 ... 2592000 seconds (one to
 * thirty days); values up to 86400, negatives included, give 86400. */
BRIVET_CORE_EXPORT int64_t brivet_core_clamp_offline_runtime(int64_t seconds);

/* The library's version, "0.1.0": a static text, never released. */
BRIVET_CORE_EXPORT const char* brivet_core_version(void);

/* Releases a reply of the library; NULL is ignored. */
BRIVET_CORE_EXPORT void brivet_core_string_free(char* reply);

#ifdef __cplusplus
}
#endif

#endif /* BRIVET_CORE_H */
