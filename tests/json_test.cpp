#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "json.h"

namespace {

struct Pair {
    std::string key, value;
    bool isObject;
};

struct Case {
    std::string text;
    int errorPosition; // -1: read without failure
    std::vector<Pair> pairs;
};

void expectReading(Json const& json, Case const& c) {
    ASSERT_EQ(json.pairs.size(), c.pairs.size()) << c.text;
    for (size_t i = 0; i < c.pairs.size(); ++i) {
        EXPECT_EQ(json.pairs[i].first, c.pairs[i].key) << c.text << " pair " << i;
        EXPECT_EQ(json.pairs[i].second.value, c.pairs[i].value) << c.text << " pair " << i;
        EXPECT_EQ(json.pairs[i].second.isObject, c.pairs[i].isObject) << c.text << " pair " << i;
    }
}

TEST(JsonReader, ReadsOneLevelOfPairsAndStopsAtTheFirstCharacterNotAccepted) {
    Case const cases[] = {
        {"", -1, {}},
        {R"({"a": 1})", -1, {{"a", "1", false}}},
        {"{a:1}", -1, {{"a", "1", false}}},
        {"{'a': 'b c'}", -1, {{"a", "b c", false}}},
        {" \t\r\n{ \"a\" : \"x\" , b : 2 }  \n", -1, {{"a", "x", false}, {"b", "2", false}}},
        {R"({"a b": 1, "c:d": 2})", -1, {{"a b", "1", false}, {"c:d", "2", false}}},
        {"{a 1}", 3, {}}, // an unquoted key ends at the blank and wants a colon
        {R"([1, "two", {"k": 3}])", -1, {{"", "1", false}, {"", "two", false}, {"", R"({"k": 3})", true}}},
        {R"({"a": {"b": {"c": 1}}, "d": 2})", -1, {{"a", R"({"b": {"c": 1}})", true}, {"d", "2", false}}},
        // Only the bracket kind that opened a value is counted; other kinds and quotes are copied without
        // meaning.
        {R"({"a": [{"k": "}"}, 1]})", -1, {{"a", R"([{"k": "}"}, 1])", true}}},
        {R"({"a": ["]", 1]})", 9, {{"a", R"(["])", true}}}, // but that kind counts even inside quotes
        {R"({"a": 'it"s'})", -1, {{"a", "it\"s", false}}},
        {"{\"a\": x\\y\v}", -1, {{"a", "x\\y\v", false}}}, // \v is no blank
        {R"({"a" 1})", 5, {}},
        {R"({"a": "x"} z)", 11, {{"a", "x", false}}},
        {R"({"a": "x\"y"})", 10, {{"a", "x\\", false}}}, // no escapes: the value ends at the second quote
        {"x", 0, {}},
        // Premature end is no failure: a finished value stays, an unfinished one is dropped.
        {R"({"a": 1)", -1, {}},
        {R"({"a": "x")", -1, {{"a", "x", false}}},
        {R"({"a": {"b": 1)", -1, {}},
    };
    for (auto const& c : cases) {
        Json json;
        EXPECT_EQ(json.parse(c.text), c.errorPosition < 0) << c.text;
        EXPECT_EQ(json.errorPosition, c.errorPosition) << c.text;
        expectReading(json, c);
    }
}

TEST(JsonReader, NestedValuesAreReadAgainByTheSameReader) {
    Json json;
    ASSERT_TRUE(json.parse(R"({"A": {"B": {"Index": 2, "Name": "x"}}})"));
    ASSERT_TRUE(json.parse(json.pairs.back().second.value));
    ASSERT_TRUE(json.parse(json.pairs.back().second.value));
    expectReading(json, {"",
                         -1,
                         {{"A", R"({"B": {"Index": 2, "Name": "x"}})", true},
                          {"B", R"({"Index": 2, "Name": "x"})", true},
                          {"Index", "2", false},
                          {"Name", "x", false}}});
}

TEST(JsonReader, AfterAnArrayLaterObjectsAreReadAsValues) {
    Json array;
    ASSERT_TRUE(array.parse(R"([{"k": 1}])"));
    EXPECT_FALSE(array.parse(array.pairs[0].second.value)) << "an array reader reads {\"k\": 1} as values";
    EXPECT_EQ(array.errorPosition, 4);
    EXPECT_TRUE(array.parse("")) << "each call starts without the failure of the last";
    EXPECT_EQ(array.errorPosition, -1);
}

} // namespace
