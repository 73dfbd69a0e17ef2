#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <numeric>
#include <random>
#include <string>

#include "kmsg.h"
#include "multipart.h"

namespace {

char const* const FILE_PATH = "/tmp/file-from-app";
std::string const TYPE = "multipart/form-data; boundary=XyZ";

std::string slurp(char const* path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string part(std::string const& name, std::string const& content) {
    return "--XyZ\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + content + "\r\n";
}

// The body parsed whole, and then in pieces as it arrives from the network: split in two at every byte for a
// small body, one byte at a time, and in random pieces for a large one. Every way gives the same fields and
// the same file.
FormFields parse(std::string const& body, std::string const& type = TYPE) {
    FormFields fields;
    EXPECT_TRUE(Multipart::parseFormData(type, body, fields, FILE_PATH));
    std::string const file = slurp(FILE_PATH);
    std::mt19937 random(unsigned(body.size()));
    auto same = [&](std::vector<size_t> const& cuts, char const* how) {
        Multipart::FormParser parser;
        EXPECT_TRUE(parser.start(type, FILE_PATH));
        size_t at = 0;
        for (size_t cut : cuts) {
            parser.feed(std::string_view(body).substr(at, cut - at));
            at = cut;
        }
        parser.feed(std::string_view(body).substr(at));
        parser.finish();
        EXPECT_EQ(parser.fields, fields) << how << " " << (cuts.empty() ? 0 : cuts[0]);
        EXPECT_TRUE(slurp(FILE_PATH) == file) << how << " " << (cuts.empty() ? 0 : cuts[0]);
    };
    if (body.size() < 4096) {
        for (size_t split = 0; split <= body.size(); ++split)
            same({split}, "split at");
        std::vector<size_t> everyByte(body.size());
        std::iota(everyByte.begin(), everyByte.end(), size_t(0));
        same(everyByte, "byte by byte");
    } else {
        for (int round = 0; round < 4; ++round) {
            std::vector<size_t> cuts;
            for (size_t at = random() % 70000; at < body.size(); at += 1 + random() % 70000)
                cuts.push_back(at);
            same(cuts, "random pieces");
        }
    }
    return fields;
}

TEST(MultipartHeaderLine, CutsAtEverySemicolonAndKeepsFirstValues) {
    struct Case {
        std::string line;
        FormFields expected;
    } const cases[] = {
        {"multipart/form-data; boundary=----X1", {{"multipart/form-data", ""}, {"boundary", "----X1"}}},
        {"Content-Disposition: form-data; name=\"file\"; filename=\"a.swu\"",
         {{"Content-Disposition: form-data", ""}, {"name", "file"}, {"filename", "a.swu"}}},
        {"name=\"a;b\"", {{"name", "a"}, {"b", ""}}}, // quotes do not group
        {"a=1; a=2;", {{"a", "1"}, {"", ""}}},        // the first value stays; a final ";" gives an empty key
        {"", {{"", ""}}},
        {" key \" = \" va lue \t", {{"key", "va lue"}}},
        {"x==y", {{"x", "=y"}}},
    };
    for (auto const& c : cases) {
        FormFields fields;
        Multipart::splitHeaderLine(fields, c.line);
        EXPECT_EQ(fields, c.expected) << c.line;
    }
}

TEST(MultipartContentType, OnlyMultipartWithABoundaryIsParsed) {
    std::string const body = "--abc\r\nContent-Disposition: form-data; name=\"f\"\r\n\r\nv\r\n--abc--";
    for (char const* type : {"multipart/form-data;boundary=abc", "multipart/form-data; boundary=\"abc\""})
        EXPECT_EQ(parse(body, type), (FormFields{{"f", "v"}})) << type;

    struct Refused {
        char const* type;
        char const* message;
    } const refused[] = {
        {"Multipart/Form-Data; boundary=abc", "No multipart/form-data"},
        {"", "No multipart/form-data"},
        {"multipart/form-data", "No boundary"},
        {"multipart/form-data; boundary=", "No boundary"},
        {"multipart/form-data; boundary=\"\"", "No boundary"},
    };
    for (auto const& r : refused) {
        KmsgReader kmsg;
        FormFields fields{{"kept", "1"}};
        EXPECT_FALSE(Multipart::parseFormData(r.type, body, fields, FILE_PATH)) << r.type;
        EXPECT_EQ(fields, (FormFields{{"kept", "1"}}));
        EXPECT_TRUE(kmsg.waitFor(r.message, 0)) << r.type;
    }
}

TEST(MultipartFields, ValuesComeOutByteForByte) {
    EXPECT_EQ(parse(part("deviceid", "X-12") + "--XyZ--\r\n"), (FormFields{{"deviceid", "X-12"}}));
    // A bare LF before the delimiter is content, not the line end the delimiter owns.
    EXPECT_EQ(parse("--XyZ\r\nContent-Disposition: form-data; name=deviceid\r\n\r\nX-12\n--XyZ--"),
              (FormFields{{"deviceid", "X-12\n"}}));
    // The preamble is dropped; blank lines before the headers are skipped; the first "name" wins; a later
    // part of the same name replaces an earlier one; the closing delimiter needs no LF.
    std::string const body = "preamble\r\nmore\n--XyZ\r\n\r\n\r\nContent-Disposition: form-data; name=a\r\n"
                             "X-Other: name=b\r\n\r\nline 1\r\nline 2\r\n" +
                             part("c", "first") + part("c", "") + part("d", "two\r\n\r\nlines") + "--XyZ--";
    EXPECT_EQ(parse(body), (FormFields{{"a", "line 1\r\nline 2"}, {"c", ""}, {"d", "two\r\n\r\nlines"}}));
    // A part that no delimiter closes is not stored; nor is anything without a delimiter at all.
    EXPECT_EQ(parse(part("a", "1") + part("open", "never closed")), (FormFields{{"a", "1"}}));
    EXPECT_EQ(parse("just text\r\n"), FormFields{});
}

TEST(MultipartFile, FilePartReachesDiskUnchanged) {
    EXPECT_EQ(parse(part("file", "a\r\nb\nc") + "--XyZ--\r\n"), (FormFields{{"file", FILE_PATH}}));
    EXPECT_EQ(slurp(FILE_PATH), "a\r\nb\nc");

    parse(part("file", "x\n\ny\r\n\r\n") + "--XyZ--");
    EXPECT_EQ(slurp(FILE_PATH), "x\n\ny\r\n\r\n");

    // Two parts named "file" share one file; the client's filename is ignored.
    auto fields =
        parse("--XyZ\r\nContent-Disposition: form-data; name=\"file\"; filename=\"evil/../x\"\r\n\r\n"
              "one\r\n" +
              part("id", "7") + part("file", "two") + "--XyZ--");
    EXPECT_EQ(fields, (FormFields{{"file", FILE_PATH}, {"id", "7"}}));
    EXPECT_EQ(slurp(FILE_PATH), "onetwo");
}

TEST(MultipartFile, LargeBinaryContentSurvivesChunking) {
    std::mt19937 random(42);
    std::string content(3 * 1024 * 1024 + 17, '\0');
    for (auto& c : content) {
        unsigned r = random() % 8; // plenty of CR, LF and CR LF, also at the end
        c = r == 0 ? '\r' : r == 1 ? '\n' : static_cast<char>(random());
    }
    content += "\r\n\r";
    parse(part("file", content) + "--XyZ--\r\n");
    std::string written = slurp(FILE_PATH);
    ASSERT_EQ(written.size(), content.size());
    EXPECT_TRUE(written == content);
}

TEST(MultipartFile, UnwritableFileStillGivesTheFieldsAndTheError) {
    Multipart::FormParser parser;
    ASSERT_TRUE(parser.start(TYPE, "/nonexistent/dir/file"));
    parser.feed(part("file", "data") + part("id", "1") + "--XyZ--");
    parser.finish();
    EXPECT_EQ(parser.fields, (FormFields{{"file", "/nonexistent/dir/file"}, {"id", "1"}}));
    EXPECT_EQ(parser.writeError(), ENOENT);
    // A full disk: the write fails part-way, and that is what the caller hears.
    Multipart::FormParser full;
    ASSERT_TRUE(full.start(TYPE, "/dev/full"));
    full.feed(part("file", std::string(3 << 20, 'x')) + "--XyZ--");
    full.finish();
    EXPECT_EQ(full.writeError(), ENOSPC);
}

} // namespace
