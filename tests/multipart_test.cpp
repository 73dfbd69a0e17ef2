#include <gtest/gtest.h>
#include <numeric>
#include <random>
#include <string>

#include "kmsg.h"
#include "multipart.h"
#include "process.h"

namespace {

char const* const FILE_PATH = "/tmp/file-from-app";
// No blank after the ";" and a quoted boundary: both are read as the plain form.
std::string const TYPE = "multipart/form-data;boundary=\"XyZ\"";

std::string part(std::string const& name, std::string const& content) {
    return "--XyZ\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + content + "\r\n";
}

// The body parsed whole, and then in pieces as it arrives from the network: one byte at a time, in random
// pieces, and for a small body split in two at every byte. Every way gives the same fields and the same file.
FormFields parse(std::string const& body) {
    FormFields fields;
    EXPECT_TRUE(Multipart::parseFormData(TYPE, body, fields, FILE_PATH));
    std::string const file = fileText(FILE_PATH);
    std::vector<std::vector<size_t>> ways(1, std::vector<size_t>(body.size()));
    std::iota(ways[0].begin(), ways[0].end(), size_t(0));
    std::mt19937 random(unsigned(body.size()));
    for (int round = 0; round < 4; ++round) {
        ways.emplace_back();
        for (size_t at = random() % 70000; at < body.size(); at += 1 + random() % 70000)
            ways.back().push_back(at);
    }
    for (size_t split = 0; split <= body.size() && body.size() < 4096; ++split)
        ways.push_back({split});
    for (auto const& cuts : ways) {
        SCOPED_TRACE(testing::Message() << cuts.size() << " cuts from " << (cuts.empty() ? 0 : cuts[0]));
        Multipart::FormParser parser;
        EXPECT_TRUE(parser.start(TYPE, FILE_PATH));
        size_t at = 0;
        for (size_t cut : cuts) {
            parser.feed(std::string_view(body).substr(at, cut - at));
            at = cut;
        }
        parser.feed(std::string_view(body).substr(at));
        parser.finish();
        EXPECT_EQ(parser.fields, fields);
        EXPECT_TRUE(fileText(FILE_PATH) == file);
    }
    return fields;
}

TEST(MultipartHeaderLine, CutsAtEverySemicolonAndKeepsFirstValues) {
    std::pair<char const*, FormFields> const cases[] = {
        {"name=\"a;b\"", {{"name", "a"}, {"b", ""}}}, // quotes do not group
        {"a=1; a=2;", {{"a", "1"}, {"", ""}}},        // the first value stays; a final ";" gives an empty key
        {"", {{"", ""}}},
        {" key \" = \" va lue \t", {{"key", "va lue"}}},
        {"x==y", {{"x", "=y"}}},
    };
    for (auto const& [line, expected] : cases) {
        FormFields fields;
        Multipart::splitHeaderLine(fields, line);
        EXPECT_EQ(fields, expected) << line;
    }
}

TEST(MultipartContentType, OnlyMultipartWithABoundaryIsParsed) {
    for (auto [type, message] : {std::pair{"Multipart/Form-Data; boundary=XyZ", "No multipart/form-data"},
                                 {"multipart/form-data", "No boundary"},
                                 {"multipart/form-data; boundary=", "No boundary"}}) {
        KmsgReader kmsg;
        FormFields fields{{"kept", "1"}};
        EXPECT_FALSE(Multipart::parseFormData(type, part("f", "v") + "--XyZ--", fields, FILE_PATH)) << type;
        EXPECT_EQ(fields, (FormFields{{"kept", "1"}}));
        EXPECT_TRUE(kmsg.waitFor(message, 0)) << type;
    }
}

TEST(MultipartFields, ValuesComeOutByteForByte) {
    // The preamble is dropped; blank lines before the headers are skipped; the first "name" wins; a later
    // part of the same name replaces an earlier one; a bare LF before the delimiter is content, not the line
    // end the delimiter owns; the closing delimiter needs no LF.
    std::string const body =
        "preamble\r\nmore\n--XyZ\r\n\r\n\r\nContent-Disposition: form-data; name=a\r\n"
        "X-Other: name=b\r\n\r\nline 1\r\nline 2\r\n" +
        part("c", "first") + part("c", "") +
        "--XyZ\r\nContent-Disposition: form-data; name=d\r\n\r\ntwo\r\n\r\nlines\n--XyZ--";
    EXPECT_EQ(parse(body), (FormFields{{"a", "line 1\r\nline 2"}, {"c", ""}, {"d", "two\r\n\r\nlines\n"}}));
}

TEST(MultipartFile, FilePartReachesDiskUnchanged) {
    // Two parts named "file" share one file; the client's filename is ignored; a part that no delimiter
    // closes is not stored.
    auto fields =
        parse("--XyZ\r\nContent-Disposition: form-data; name=\"file\"; filename=\"evil/../x\"\r\n\r\n"
              "a\r\nb\n\nc\r\n\r\n\r\n" +
              part("id", "7") + part("file", "two") + part("open", "never closed"));
    EXPECT_EQ(fields, (FormFields{{"file", FILE_PATH}, {"id", "7"}}));
    EXPECT_EQ(fileText(FILE_PATH), "a\r\nb\n\nc\r\n\r\ntwo");

    std::mt19937 random(42);
    std::string content(3 * 1024 * 1024 + 17, '\0');
    for (auto& c : content) // plenty of CR, LF and CR LF, also at the end
        c = random() % 4 == 0 ? "\r\n"[random() % 2] : static_cast<char>(random());
    content += "\r\n\r";
    parse(part("file", content) + "--XyZ--\r\n");
    EXPECT_TRUE(fileText(FILE_PATH) == content);
}

// The fields still come out, and the caller hears why the file did not: it cannot be created, or the disk
// fills part-way.
TEST(MultipartFile, UnwritableFileStillGivesTheFieldsAndTheError) {
    for (auto [path, error] : {std::pair{"/nonexistent/dir/file", ENOENT}, {"/dev/full", ENOSPC}}) {
        Multipart::FormParser parser;
        ASSERT_TRUE(parser.start(TYPE, path));
        parser.feed(part("file", std::string(3 << 20, 'x')) + part("id", "1") + "--XyZ--");
        parser.finish();
        EXPECT_EQ(parser.fields, (FormFields{{"file", path}, {"id", "1"}})) << path;
        EXPECT_EQ(parser.writeError(), error) << path;
    }
}

} // namespace
