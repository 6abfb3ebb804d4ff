#include "BrivetClient/RFC3339.h"

#include <cstdint>
#include <limits>

namespace brivet::RFC3339 {
namespace {

using namespace std::chrono;

// First and last whole second that the four-digit year can express.
constexpr sys_seconds kFirst = sys_days{year{0} / January / 1};
constexpr sys_seconds kLast = sys_days{year{9999} / December / 31} + hours{23} + minutes{59} + seconds{59};

void appendDigits(std::string& out, unsigned value, int width) {
    char buf[8];
    for (int i = width - 1; i >= 0; --i) {
        buf[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    out.append(buf, static_cast<std::size_t>(width));
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Reads exactly `width` digits at `pos`.
bool readDigits(std::string_view text, std::size_t pos, std::size_t width, int& value) {
    if (pos + width > text.size()) return false;
    int v = 0;
    for (std::size_t i = 0; i < width; ++i) {
        char c = text[pos + i];
        if (!isDigit(c)) return false;
        v = v * 10 + (c - '0');
    }
    value = v;
    return true;
}

bool expect(std::string_view text, std::size_t pos, char c) {
    return pos < text.size() && text[pos] == c;
}

}  // namespace

std::string string(Instant instant) {
    sys_seconds secs = floor<seconds>(instant);
    if (secs < kFirst) secs = kFirst;
    if (secs > kLast) secs = kLast;
    const sys_days day = floor<days>(secs);
    const year_month_day ymd{day};
    const hh_mm_ss<seconds> hms{secs - day};

    std::string out;
    out.reserve(20);
    appendDigits(out, static_cast<unsigned>(static_cast<int>(ymd.year())), 4);
    out.push_back('-');
    appendDigits(out, static_cast<unsigned>(ymd.month()), 2);
    out.push_back('-');
    appendDigits(out, static_cast<unsigned>(ymd.day()), 2);
    out.push_back('T');
    appendDigits(out, static_cast<unsigned>(hms.hours().count()), 2);
    out.push_back(':');
    appendDigits(out, static_cast<unsigned>(hms.minutes().count()), 2);
    out.push_back(':');
    appendDigits(out, static_cast<unsigned>(hms.seconds().count()), 2);
    out.push_back('Z');
    return out;
}

std::optional<Instant> date(std::string_view text) {
    int y, mo, d, h, mi, s;
    if (!readDigits(text, 0, 4, y) || !expect(text, 4, '-') || !readDigits(text, 5, 2, mo) ||
        !expect(text, 7, '-') || !readDigits(text, 8, 2, d)) {
        return std::nullopt;
    }
    if (!(expect(text, 10, 'T') || expect(text, 10, 't'))) return std::nullopt;
    if (!readDigits(text, 11, 2, h) || !expect(text, 13, ':') || !readDigits(text, 14, 2, mi) ||
        !expect(text, 16, ':') || !readDigits(text, 17, 2, s)) {
        return std::nullopt;
    }
    if (h > 23 || mi > 59 || s > 59) return std::nullopt;
    const year_month_day ymd{year{y}, month{static_cast<unsigned>(mo)}, day{static_cast<unsigned>(d)}};
    if (!ymd.ok()) return std::nullopt;

    std::size_t pos = 19;
    microseconds fraction{0};
    if (expect(text, pos, '.')) {
        ++pos;
        const std::size_t start = pos;
        std::int64_t micros = 0;
        while (pos < text.size() && isDigit(text[pos])) {
            if (pos - start < 6) micros = micros * 10 + (text[pos] - '0');
            ++pos;
        }
        const std::size_t digits = pos - start;
        if (digits == 0) return std::nullopt;
        for (std::size_t i = digits; i < 6; ++i) micros *= 10;
        fraction = microseconds{micros};
    }

    minutes offset{0};
    if (expect(text, pos, 'Z') || expect(text, pos, 'z')) {
        ++pos;
    } else if (expect(text, pos, '+') || expect(text, pos, '-')) {
        const bool negative = text[pos] == '-';
        int oh, om;
        if (!readDigits(text, pos + 1, 2, oh) || !expect(text, pos + 3, ':') ||
            !readDigits(text, pos + 4, 2, om) || oh > 23 || om > 59) {
            return std::nullopt;
        }
        offset = hours{oh} + minutes{om};
        if (negative) offset = -offset;
        pos += 6;
    } else {
        return std::nullopt;
    }
    if (pos != text.size()) return std::nullopt;

    // Local wall time minus the offset is UTC.
    const sys_seconds local = sys_days{ymd} + hours{h} + minutes{mi} + seconds{s};
    return Instant{local - offset} + fraction;
}

Instant fromUnixSeconds(std::int64_t value) {
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max() / 1'000'000;
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min() / 1'000'000;
    if (value > kMax) value = kMax;
    if (value < kMin) value = kMin;
    return Instant{seconds{value}};
}

std::int64_t unixSeconds(Instant instant) {
    return floor<seconds>(instant).time_since_epoch().count();
}

}  // namespace brivet::RFC3339
