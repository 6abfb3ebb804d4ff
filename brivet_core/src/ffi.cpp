// Placeholder exports; replaced by the real implementation.
#include "brivet_core.h"

#include <cstdlib>
#include <cstring>

namespace {
char* dupReply(const char* text) {
    size_t n = std::strlen(text) + 1;
    char* p = static_cast<char*>(std::malloc(n));
    if (p) std::memcpy(p, text, n);
    return p;
}
}  // namespace

extern "C" {
char* brivet_core_release_verify(const char*, const char*, const char*, uint32_t) {
    return dupReply("{\"error\":\"internal\",\"ok\":false}");
}
char* brivet_core_attestation_verify(const char*, const char*, const char*, const char*) {
    return dupReply("{\"error\":\"internal\",\"ok\":false}");
}
char* brivet_core_policy_apply(const char*, const char*, const char*) {
    return dupReply("{\"error\":\"internal\",\"ok\":false}");
}
int64_t brivet_core_clamp_offline_runtime(int64_t seconds) {
    if (seconds < 86400) return 86400;
    if (seconds > 2592000) return 2592000;
    return seconds;
}
const char* brivet_core_version(void) { return "0.1.0"; }
void brivet_core_string_free(char* reply) { std::free(reply); }
}
