#include "web/JsonNumber.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <system_error>

namespace qst::web {

namespace {

// Drops the zeros after the point, and the point after them; "-0" becomes "0".
char *Trim(char *at, char *end, int decimals)
{
    if (decimals > 0) {
        while (end[-1] == '0')
            --end;
        if (end[-1] == '.')
            --end;
    }
    if (end - at == 2 && at[0] == '-' && at[1] == '0') {
        *at = '0';
        return at + 1;
    }
    return end;
}

// value x 10^decimals rounded to an integer, when that is certainly the exact value's rounding:
// below 1e9 the product's error is under 1e-7, so a fraction further than 1e-6 from one half
// rounds the same way as the exact value. Ties and near-ties are left to to_chars.
bool ScaledUnits(double value, int decimals, std::int64_t *units)
{
    static constexpr double kScale[] = { 1, 10, 100, 1e3, 1e4, 1e5, 1e6 };
    if (decimals < 0 || decimals > 6)
        return false;
    const double scaled = value * kScale[decimals];
    if (!(std::fabs(scaled) < 1e9))
        return false;
    const double whole = std::floor(scaled);
    const double fraction = scaled - whole;
    if (std::fabs(fraction - 0.5) <= 1e-6)
        return false;
    *units = static_cast<std::int64_t>(fraction > 0.5 ? whole + 1 : whole);
    return true;
}

} // namespace

char *WriteJsonNumber(char *at, double value, int decimals)
{
    if (value == 0) { // most columns of a meter without a second system: the short way
        *at = '0';
        return at + 1;
    }
    if (!std::isfinite(value)) {
        std::memcpy(at, "null", 4);
        return at + 4;
    }
    std::int64_t units = 0;
    if (decimals == 0 && ScaledUnits(value, 0, &units)) {
        const std::to_chars_result r = std::to_chars(at, at + kJsonNumberRoom, units);
        return r.ptr;
    }
    if (decimals > 0 && ScaledUnits(value, decimals, &units)) {
        char *p = at;
        // The sign of the value, as to_chars writes it: "-0.00" for a small negative value.
        if (value < 0) {
            *p++ = '-';
            units = -units;
        }
        char digits[24];
        const std::to_chars_result r = std::to_chars(digits, digits + sizeof digits, units);
        int n = int(r.ptr - digits);
        // At least one digit before the point.
        if (n <= decimals) {
            std::memmove(digits + (decimals + 1 - n), digits, size_t(n));
            std::memset(digits, '0', size_t(decimals + 1 - n));
            n = decimals + 1;
        }
        std::memcpy(p, digits, size_t(n - decimals));
        p += n - decimals;
        *p++ = '.';
        std::memcpy(p, digits + (n - decimals), size_t(decimals));
        p += decimals;
        return Trim(at, p, decimals);
    }
    if (decimals < 0 && !(std::fabs(value) < 9e18)) { // llround's range
        std::memcpy(at, "null", 4);
        return at + 4;
    }
    const std::to_chars_result r = decimals < 0
        ? std::to_chars(at, at + kJsonNumberRoom, static_cast<long long>(std::llround(value)))
        : std::to_chars(at, at + kJsonNumberRoom, value, std::chars_format::fixed, decimals);
    if (r.ec != std::errc()) { // beyond any meter's range: no number rather than a wrong one
        std::memcpy(at, "null", 4);
        return at + 4;
    }
    return Trim(at, r.ptr, decimals);
}

} // namespace qst::web
