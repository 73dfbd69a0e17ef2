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
    bool ok;
    int errorPosition;
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

TEST(JsonReader, ReadsOneLevelOfPairs) {
    Case const cases[] = {
        {"", true, -1, {}},
        {"{\"a\": 1}", true, -1, {{"a", "1", false}}},
        {"{a:1}", true, -1, {{"a", "1", false}}},
        {"{'a': 'b c'}", true, -1, {{"a", "b c", false}}},
        {" \t\r\n{ \"a\" : \"x\" , b : 2 }  \n", true, -1, {{"a", "x", false}, {"b", "2", false}}},
        {"{\"a b\": 1, \"c:d\": 2}", true, -1, {{"a b", "1", false}, {"c:d", "2", false}}},
        {"{a 1}", false, 3, {}}, // an unquoted key ends at the blank and wants a colon
        {"[1, \"two\", {\"k\": 3}]",
         true,
         -1,
         {{"", "1", false}, {"", "two", false}, {"", "{\"k\": 3}", true}}},
        {"{\"a\": {\"b\": {\"c\": 1}}, \"d\": 2}",
         true,
         -1,
         {{"a", "{\"b\": {\"c\": 1}}", true}, {"d", "2", false}}},
        // Only the bracket kind that opened a value is counted; other kinds and quotes are copied without
        // meaning.
        {"{\"a\": [{\"k\": \"}\"}, 1]}", true, -1, {{"a", "[{\"k\": \"}\"}, 1]", true}}},
        {"{\"a\": [\"]\", 1]}", false, 9, {{"a", "[\"]", true}}}, // but that kind counts even inside quotes
        {"{\"a\": 'it\"s'}", true, -1, {{"a", "it\"s", false}}},
        {"{\"a\": x\\y}", true, -1, {{"a", "x\\y", false}}},
    };
    for (auto const& c : cases) {
        Json json;
        EXPECT_EQ(json.parse(c.text), c.ok) << c.text;
        EXPECT_EQ(json.errorPosition, c.errorPosition) << c.text;
        expectReading(json, c);
    }
}

TEST(JsonReader, StopsAtTheFirstCharacterNotAcceptedAndKeepsWhatWasRead) {
    Case const cases[] = {
        {"{\"a\" 1}", false, 5, {}},
        {"{\"a\": \"x\"} z", false, 11, {{"a", "x", false}}},
        {"{\"a\": \"x\\\"y\"}",
         false,
         10,
         {{"a", "x\\", false}}}, // no escapes: the value ends at the second quote
        {"x", false, 0, {}},
        {"{\"a\": 1}}", false, 8, {{"a", "1", false}}},
        {"{\"a\": \"x\" \"b\"}", false, 10, {{"a", "x", false}}},
        // Premature end is no failure: a finished value stays, an unfinished one is dropped.
        {"{\"a\": 1", true, -1, {}},
        {"{\"a\": \"x\"", true, -1, {{"a", "x", false}}},
        {"{\"a\": {\"b\": 1}", true, -1, {{"a", "{\"b\": 1}", true}}},
        {"{\"a\": {\"b\": 1", true, -1, {}},
    };
    for (auto const& c : cases) {
        Json json;
        EXPECT_EQ(json.parse(c.text), c.ok) << c.text;
        EXPECT_EQ(json.errorPosition, c.errorPosition) << c.text;
        expectReading(json, c);
    }
}

TEST(JsonReader, NestedValuesAreReadAgainByTheSameReader) {
    Json json;
    ASSERT_TRUE(json.parse("{\"A\": {\"B\": {\"Index\": 2, \"Name\": \"x\"}}}"));
    ASSERT_EQ(json.pairs.size(), 1u);
    EXPECT_EQ(json.pairs[0].second.value, "{\"B\": {\"Index\": 2, \"Name\": \"x\"}}");
    ASSERT_TRUE(json.parse(json.pairs.back().second.value));
    ASSERT_EQ(json.pairs.size(), 2u);
    EXPECT_EQ(json.pairs[1].first, "B");
    ASSERT_TRUE(json.pairs[1].second.isObject);
    ASSERT_TRUE(json.parse(json.pairs.back().second.value));
    expectReading(json, {"",
                         true,
                         -1,
                         {{"A", "{\"B\": {\"Index\": 2, \"Name\": \"x\"}}", true},
                          {"B", "{\"Index\": 2, \"Name\": \"x\"}", true},
                          {"Index", "2", false},
                          {"Name", "x", false}}});

    // The document kind persists across calls: after an array every later object is read as values too.
    Json array;
    ASSERT_TRUE(array.parse("[{\"k\": 1}]"));
    EXPECT_FALSE(array.parse(array.pairs[0].second.value)) << "an array reader reads {\"k\": 1} as values";
    EXPECT_EQ(array.errorPosition, 4);
    // errorPosition counts within the text of each call.
    Json again;
    EXPECT_FALSE(again.parse("{\"a\" {}}"));
    EXPECT_EQ(again.errorPosition, 5);
    EXPECT_TRUE(again.parse(""));
    EXPECT_EQ(again.errorPosition, -1);
}

TEST(JsonReader, TransitionsOneByOne) {
    Json json;
    EXPECT_EQ(json.nextChar<Json::Start>('x'), Json::Error);
    EXPECT_EQ(json.nextChar<Json::Start>('{'), Json::KeyStart);
    EXPECT_EQ(json.closeChar, '}');
    EXPECT_EQ(json.nextChar<Json::KeyStart>('\''), Json::Key);
    EXPECT_EQ(json.keyQuote, '\'');
    EXPECT_EQ(json.nextChar<Json::Key>(':'), Json::Key) << "a quoted key keeps colons";
    EXPECT_EQ(json.nextChar<Json::Key>('\''), Json::AfterKey);
    EXPECT_EQ(json.key, ":");
    EXPECT_EQ(json.nextChar<Json::AfterKey>(','), Json::Error);
    EXPECT_EQ(json.nextChar<Json::AfterKey>(':'), Json::ValueStart);
    EXPECT_EQ(json.nextChar<Json::ValueStart>('['), Json::Value);
    EXPECT_TRUE(json.isObject);
    EXPECT_EQ(json.nextChar<Json::Value>('['), Json::Value);
    EXPECT_EQ(json.depth, 2u);
    EXPECT_EQ(json.nextChar<Json::Value>(']'), Json::Value);
    EXPECT_EQ(json.nextChar<Json::Value>(']'), Json::AfterValue);
    EXPECT_EQ(json.value, "[[]]");
    EXPECT_EQ(json.nextChar<Json::AfterValue>('}'), Json::End);
    EXPECT_EQ(json.nextChar<Json::End>(' '), Json::End);
    EXPECT_EQ(json.nextChar<Json::End>('}'), Json::Error);
    EXPECT_EQ(Json::isObjectStart('{'), '}');
    EXPECT_EQ(Json::isObjectStart('('), 0);
    EXPECT_FALSE(Json::isWhitespace('\v'));
}

} // namespace
