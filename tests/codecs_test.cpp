// The fast paths of printValue() and formatFloat() against the plain nlohmann and printf readings they
// replace, over generated texts with quotes, backslashes, control characters and valid and broken UTF-8.

#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "introspection.h"

namespace {

// A text of up to maxPieces pieces: quotes, backslashes, control characters and bracket syntax, then valid
// and broken UTF-8.
std::string text(std::mt19937& random, size_t maxPieces = 12) {
    static char const* const ascii[] = {"a",  "Z",    "0",    " ",    "\"", "\\", "'", "\x0a", "\r",
                                        "\t", "\x01", "\x1f", "\x7f", "-",  "]",  "[", "^"};
    static char const* const utf8[] = {"\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x8e\xa5", "\xff", "\xc3",
                                       "\xe2\x82", "\xc0\xaf",     "\xed\xa0\x80",     "\x80"};
    size_t const all = std::size(ascii) + std::size(utf8);
    std::string text;
    for (size_t i = std::uniform_int_distribution<size_t>(0, maxPieces)(random); i > 0; --i) {
        size_t k = std::uniform_int_distribution<size_t>(0, all - 1)(random);
        text += k < std::size(ascii) ? ascii[k] : utf8[k - std::size(ascii)];
    }
    return text;
}

// The text print gives, or none where it refuses the input as nlohmann refuses broken UTF-8.
template <class Print> std::optional<std::string> printed(Print print) {
    try {
        return print();
    } catch (nlohmann::json::exception const&) {
        return std::nullopt;
    }
}

} // namespace

TEST(Codecs, PrintValueMatchesAFreshObjectDump) {
    std::mt19937 random(7);
    // A handful of limit sets, as the dictionary has, so that the members before the value come from the
    // cache.
    std::vector<std::vector<std::string>> limits = {
        {"int", "1", "4"}, {"float", "-1e38", "1e38"}, {"string", "0", "0"}, {"MotorSide", "0", "1"}};
    int broken = 0;
    for (int i = 0; i < 20000; ++i) {
        std::string value = text(random);
        std::vector<std::string> l =
            i % 5 ? limits[i % limits.size()]
                  : std::vector<std::string>{text(random, 3), text(random, 3), text(random, 3)};
        auto expected = printed([&] {
            return nlohmann::json{{"max", l[2]}, {"min", l[1]}, {"type", l[0]}, {"value", value}}.dump();
        });
        broken += !expected;
        ASSERT_EQ(printed([&] { return Introspection::printValue(value, l[0], l[1], l[2]); }), expected)
            << "value " << testing::PrintToString(value) << " limits " << testing::PrintToString(l);
    }
    EXPECT_GT(broken, 1000) << "the generator should produce invalid UTF-8 often";
    EXPECT_LT(broken, 19000);
}

TEST(Codecs, FloatTextsMatchPrintf) {
    std::mt19937 random(3);
    std::vector<float> values = {
        0.0f,           -0.0f,           0.1f,   0.0000005f, 0.0000015f, 2.5e-7f, 1e38f,
        -3.4028235e38f, 1.17549435e-38f, 1e-45f, INFINITY,   -INFINITY,  NAN,     123456.789f};
    for (int i = 0; i < 200000; ++i) {
        uint32_t bits = uint32_t(random());
        float value;
        memcpy(&value, &bits, sizeof value);
        values.push_back(value);
        values.push_back(float(int(random() % 2000000) - 1000000) /
                         1024.0f); // exact ties at the sixth decimal
    }
    for (float value : values) {
        char expected[64];
        snprintf(expected, sizeof expected, "%f", double(value));
        ASSERT_EQ(formatFloat(value), expected) << "printf gives " << expected;
    }
}
