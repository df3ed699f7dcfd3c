#include "web/JsonNumber.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <random>
#include <string>

using qst::web::kJsonNumberRoom;
using qst::web::WriteJsonNumber;

namespace {

std::string Written(double value, int decimals)
{
    char text[kJsonNumberRoom];
    return std::string(text, WriteJsonNumber(text, value, decimals));
}

// The plain rule: to_chars of the exact value, zeros after the point dropped, "-0" as "0".
std::string Reference(double value, int decimals)
{
    if (!std::isfinite(value) || (decimals < 0 && std::fabs(value) >= 9e18))
        return "null";
    char text[400];
    const std::to_chars_result r = decimals < 0
        ? std::to_chars(text, text + sizeof text, static_cast<long long>(std::llround(value)))
        : std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    std::string s(text, r.ptr);
    if (s.size() > size_t(kJsonNumberRoom))
        return "null";
    if (decimals > 0) {
        while (s.back() == '0')
            s.pop_back();
        if (s.back() == '.')
            s.pop_back();
    }
    return s == "-0" ? "0" : s;
}

} // namespace

TEST(JsonNumber, SameTextAsTheFixedFormatOverGeneratedValues)
{
    std::mt19937_64 random(20261211);
    std::uniform_real_distribution<double> exponent(-6, 10);
    std::uniform_int_distribution<int> digits(-1, 6);
    for (int i = 0; i < 400000; ++i) {
        // Values as the files hold them: floats, of every size a meter shows, both signs.
        double value = static_cast<float>(std::pow(10.0, exponent(random)));
        if (i % 3 == 0)
            value = -value;
        const int decimals = digits(random);
        ASSERT_EQ(Written(value, decimals), Reference(value, decimals)) << value << " to " << decimals;
    }
}

TEST(JsonNumber, TiesAndEdges)
{
    const double values[] = { 0.125, 0.375, 2.5, -2.5, 0.5, -0.5, 1.05, 0.045, 12.345, 999.9995, 0.0004, -0.0004,
        -0.004, 1e9, 1.5e9, 123456789.5, -123456789.5, 3e18, 1e300, -1e300, 0.0, -0.0, 1e-300 };
    for (double value : values) {
        for (int decimals = -1; decimals <= 6; ++decimals)
            EXPECT_EQ(Written(value, decimals), Reference(value, decimals)) << value << " to " << decimals;
    }
    EXPECT_EQ(Written(NAN, 2), "null");
    EXPECT_EQ(Written(INFINITY, -1), "null");
    EXPECT_EQ(Written(12.5, 3), "12.5");
    EXPECT_EQ(Written(-0.004, 2), "0");
    EXPECT_EQ(Written(0.045, 1), "0");
    EXPECT_EQ(Written(1e30, -1), "null"); // a damaged field, not a wrapped integer
    EXPECT_EQ(Written(1e300, 3), "null");
}
