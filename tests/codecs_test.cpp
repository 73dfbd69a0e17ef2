// The fast paths of escape() and printValue() against the plain std::regex and nlohmann readings they
// replace, over generated texts with quotes, backslashes, control characters and valid and broken UTF-8.

#include <cctype>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "introspection.h"

namespace {

class Texts {
public:
    explicit Texts(unsigned seed) : random(seed) {}

    std::string next(size_t maxPieces = 12) {
        static std::vector<std::string> const pieces = {"a",
                                                        "Z",
                                                        "0",
                                                        " ",
                                                        "\"",
                                                        "\\",
                                                        "'",
                                                        "\n",
                                                        "\r",
                                                        "\t",
                                                        "\x01",
                                                        "\x1f",
                                                        "\x7f",
                                                        "-",
                                                        "]",
                                                        "[",
                                                        "^",
                                                        "\xc3\xa9",
                                                        "\xe2\x82\xac",
                                                        "\xf0\x9f\x8e\xa5",
                                                        "\xff",
                                                        "\xc3",
                                                        "\xe2\x82",
                                                        "\xc0\xaf",
                                                        "\xed\xa0\x80",
                                                        "\x80"};
        std::string text;
        size_t count = std::uniform_int_distribution<size_t>(0, maxPieces)(random);
        for (size_t i = 0; i < count; ++i)
            text += pieces[std::uniform_int_distribution<size_t>(0, pieces.size() - 1)(random)];
        return text;
    }

    bool coin() { return std::bernoulli_distribution(0.5)(random); }

private:
    std::mt19937 random;
};

std::optional<std::string> plainPrintValue(std::string const& value, std::string const& type,
                                           std::string const& min, std::string const& max) {
    try {
        return nlohmann::json{{"max", max}, {"min", min}, {"type", type}, {"value", value}}.dump();
    } catch (nlohmann::json::exception const&) {
        return std::nullopt;
    }
}

std::optional<std::string> fastPrintValue(std::string const& value, std::string const& type,
                                          std::string const& min, std::string const& max) {
    try {
        return Introspection::printValue(value, type, min, max);
    } catch (nlohmann::json::exception const&) {
        return std::nullopt;
    }
}

// A bracket of literal members in the ECMAScript spelling that matches exactly those bytes.
std::string ecmaBracket(std::string const& members) {
    std::string pattern = "[";
    for (char c : members) {
        if (ispunct(static_cast<unsigned char>(c)))
            pattern += '\\';
        pattern += c;
    }
    return pattern + "]";
}

} // namespace

TEST(Codecs, PrintValueMatchesAFreshObjectDump) {
    Texts texts(7);
    // A handful of limit sets, as the dictionary has, so that the members before the value come from the
    // cache.
    std::vector<std::vector<std::string>> limits = {
        {"int", "1", "4"}, {"float", "-1e38", "1e38"}, {"string", "0", "0"}, {"MotorSide", "0", "1"}};
    int broken = 0;
    for (int i = 0; i < 20000; ++i) {
        std::string value = texts.next();
        std::vector<std::string> limit = limits[i % limits.size()];
        if (i % 5 == 0)
            limit = {texts.next(3), texts.next(3), texts.next(3)};
        auto expected = plainPrintValue(value, limit[0], limit[1], limit[2]);
        broken += !expected;
        ASSERT_EQ(fastPrintValue(value, limit[0], limit[1], limit[2]), expected)
            << "value " << testing::PrintToString(value) << " limits " << testing::PrintToString(limit);
    }
    EXPECT_GT(broken, 1000) << "the generator should produce invalid UTF-8 often";
    EXPECT_LT(broken, 19000);
}

TEST(Codecs, EscapeMatchesTheRegex) {
    struct Case {
        std::string pattern;
        std::string reference; // the ECMAScript pattern of the same set
    };
    std::vector<Case> const cases = {
        // Plain brackets: scanned directly. A backslash is a member, so the web API's four characters double
        // backslashes as well as escaping quotes.
        {"[\\\"]", ecmaBracket("\\\"")},
        {"[\\\\\"]", ecmaBracket("\\\"")},
        {"[\"]", "[\"]"},
        {"[\"' a]", ecmaBracket("\"' a")},
        // Everything else is the regex itself.
        {"[a-c]", "[a-c]"},
        {"[^a]", "[^a]"},
        {"\"", "\""},
        {"a|\\\\", "a|\\\\"},
        {"[\\n\"]", "[\\n\"]"},
        {"[\\s]", "[\\s]"},
        {"[]", "[]"},
    };
    Texts texts(11);
    for (auto const& c : cases) {
        Introspection::setEscapeCharacters(c.pattern);
        std::regex reference(c.reference, std::regex::ECMAScript);
        for (int i = 0; i < 3000; ++i) {
            std::string text = texts.next(16);
            ASSERT_EQ(Introspection::escape(text), std::regex_replace(text, reference, "\\$&"))
                << "pattern " << c.pattern << " text " << testing::PrintToString(text);
        }
    }

    // The web API's pattern, by hand: a, quote, b and a lone backslash.
    Introspection::setEscapeCharacters("[\\\"]");
    EXPECT_EQ(Introspection::escape("a\"b"), "a\\\"b");
    EXPECT_EQ(Introspection::escape("\\"), "\\\\");
    EXPECT_EQ(Introspection::escape(""), "");

    // A pattern the regex refuses changes nothing.
    EXPECT_THROW(Introspection::setEscapeCharacters("[a"), std::regex_error);
    EXPECT_EQ(Introspection::escape("\\\""), "\\\\\\\"");
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
