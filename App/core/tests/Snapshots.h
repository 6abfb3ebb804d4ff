#pragma once
// Snapshots of the app's state at one fixed moment, shown in en_US and UTC,
// for the tests of what the panel and its texts show.
#include "Keldra/AppState.h"

namespace snapshots {

inline const brivet::Instant kNow = brivet::RFC3339::fromUnixSeconds(1'800'000'000);  // 2027-01-15T08:00:00Z

// Nothing but the moment and the locale.
inline keldra::AppSnapshot atNow() {
    keldra::AppSnapshot s;
    s.now = kNow;
    s.dates = keldra::DateLocale{"en_US", "UTC"};
    return s;
}

// Extension mode with its engine running.
inline keldra::AppSnapshot extension(bool enrolled = true) {
    keldra::AppSnapshot s = atNow();
    s.hasEngine = true;
    s.enrolled = enrolled;
    return s;
}

}  // namespace snapshots
