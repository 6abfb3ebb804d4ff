/* brivet_core: verification of the device service's signed documents.
 *
 * Every text argument is a NUL-terminated UTF-8 string. Every reply of the
 * three verifying calls is a JSON object allocated by the library; the caller
 * owns it and must hand it back to brivet_core_string_free. */
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

BRIVET_CORE_EXPORT char* brivet_core_release_verify(const char* envelope_json,
                                                    const char* keys_json,
                                                    const char* now_rfc3339,
                                                    uint32_t client_version);

BRIVET_CORE_EXPORT char* brivet_core_attestation_verify(const char* envelope_json,
                                                        const char* keys_json,
                                                        const char* device_id,
                                                        const char* nonce);

BRIVET_CORE_EXPORT char* brivet_core_policy_apply(const char* state_json,
                                                  const char* envelope_json,
                                                  const char* keys_json);

BRIVET_CORE_EXPORT int64_t brivet_core_clamp_offline_runtime(int64_t seconds);

BRIVET_CORE_EXPORT const char* brivet_core_version(void);

BRIVET_CORE_EXPORT void brivet_core_string_free(char* reply);

#ifdef __cplusplus
}
#endif

#endif /* BRIVET_CORE_H */
