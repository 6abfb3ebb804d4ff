#include "timestamp.h"

#include <chrono>

namespace brivet::core::timestamp {
namespace {

constexpr int64_t kSecondsPerDay = 86400;

bool digits(std::string_view s, size_t pos, size_t count, int& out) {
    if (pos + count > s.size()) return false;
    int v = 0;
    for (size_t i = pos; i < pos + count; ++i) {
        char c = s[i];
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    out = v;
    return true;
}

int64_t floorDiv(int64_t a, int64_t b) {
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

}  // namespace

std::optional<Instant> parse(std::string_view s) {
    int year, month, day, hour, minute, second;
    if (!digits(s, 0, 4, year) || s.size() < 20 || s[4] != '-' || !digits(s, 5, 2, month) || s[7] != '-' ||
        !digits(s, 8, 2, day) || (s[10] != 'T' && s[10] != 't') || !digits(s, 11, 2, hour) || s[13] != ':' ||
        !digits(s, 14, 2, minute) || s[16] != ':' || !digits(s, 17, 2, second))
        return std::nullopt;
    if (hour > 23 || minute > 59 || second > 59) return std::nullopt;

    const std::chrono::year_month_day ymd{std::chrono::year{year},
                                          std::chrono::month{static_cast<unsigned>(month)},
                                          std::chrono::day{static_cast<unsigned>(day)}};
    if (!ymd.ok()) return std::nullopt;

    size_t pos = 19;
    uint32_t nanos = 0;
    if (pos < s.size() && s[pos] == '.') {
        ++pos;
        size_t start = pos;
        uint32_t scale = 100000000;
        while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
            nanos += static_cast<uint32_t>(s[pos] - '0') * scale;
            scale /= 10;
            ++pos;
        }
        if (pos == start) return std::nullopt;
    }

    int64_t offset = 0;
    if (pos >= s.size()) return std::nullopt;
    if (s[pos] == 'Z' || s[pos] == 'z') {
        ++pos;
    } else if (s[pos] == '+' || s[pos] == '-') {
        int oh, om;
        if (!digits(s, pos + 1, 2, oh) || pos + 3 >= s.size() || s[pos + 3] != ':' || !digits(s, pos + 4, 2, om))
            return std::nullopt;
        if (oh > 23 || om > 59) return std::nullopt;
        offset = (oh * 3600 + om * 60) * (s[pos] == '-' ? -1 : 1);
        pos += 6;
    } else {
        return std::nullopt;
    }
    if (pos != s.size()) return std::nullopt;

    const int64_t days = std::chrono::sys_days{ymd}.time_since_epoch().count();
    const int64_t local = days * kSecondsPerDay + hour * 3600 + minute * 60 + second;
    return Instant{local - offset, nanos};
}

namespace {
std::chrono::year_month_day utcDate(const Instant& instant) {
    const int64_t days = floorDiv(instant.seconds, kSecondsPerDay);
    return std::chrono::year_month_day{std::chrono::sys_days{std::chrono::days{days}}};
}
}  // namespace

bool formattable(const Instant& instant) {
    // Parsed instants lie within a day of years 0000 ... 9999; anything far
    // outside cannot be formatted either.
    constexpr int64_t kLow = -62167219200;   // 0000-01-01T00:00:00Z
    constexpr int64_t kHigh = 253402300800;  // 10000-01-01T00:00:00Z
    return instant.seconds >= kLow && instant.seconds < kHigh;
}

std::string format(const Instant& instant) {
    if (!formattable(instant)) return {};
    const auto ymd = utcDate(instant);
    const int64_t secondOfDay = instant.seconds - floorDiv(instant.seconds, kSecondsPerDay) * kSecondsPerDay;
    const int year = static_cast<int>(ymd.year());
    const unsigned fields[] = {static_cast<unsigned>(year),
                               static_cast<unsigned>(ymd.month()),
                               static_cast<unsigned>(ymd.day()),
                               static_cast<unsigned>(secondOfDay / 3600),
                               static_cast<unsigned>(secondOfDay / 60 % 60),
                               static_cast<unsigned>(secondOfDay % 60)};
    std::string out = "0000-00-00T00:00:00Z";
    auto put = [&](size_t pos, unsigned value, int width) {
        for (int i = width - 1; i >= 0; --i) {
            out[pos + static_cast<size_t>(i)] = static_cast<char>('0' + value % 10);
            value /= 10;
        }
    };
    put(0, fields[0], 4);
    put(5, fields[1], 2);
    put(8, fields[2], 2);
    put(11, fields[3], 2);
    put(14, fields[4], 2);
    put(17, fields[5], 2);
    return out;
}

}  // namespace brivet::core::timestamp
