// A 256 MiB update package through the form-data parser, parsed and written to a file, against the plain
// line-by-line way of doing the same (a copy of the body in a string stream, one stream write per line).
// Run inside the sandbox, whose /tmp is a tmpfs and whose /dev/kmsg is not the machine's:
//   sim/sandbox --ro build/release -- build/release/bench/multipart_bench
#include <benchmark/benchmark.h>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "log.h"
#include "multipart.h"

namespace {

constexpr size_t PACKAGE = 256u << 20;
char const* const PATH = "/tmp/bench-file-from-app";
std::string const TYPE = "multipart/form-data; boundary=----bench";

std::string const& body() {
    static std::string const text = [] {
        std::string b =
            "------bench\r\nContent-Disposition: form-data; name=\"deviceid\"\r\n\r\nNODASH\r\n"
            "------bench\r\nContent-Disposition: form-data; name=\"file\"; filename=\"p.swu\"\r\n\r\n";
        std::mt19937 random(1);
        size_t start = b.size();
        b.resize(start + PACKAGE);
        for (size_t i = start; i < b.size(); ++i)
            b[i] = static_cast<char>(random()); // compressed package bytes: a LF every 256 bytes on average
        b += "\r\n------bench--\r\n";
        return b;
    }();
    return text;
}

// The same rules read straight off a copy of the body, one write per line.
void plainParse(std::string const& data) {
    std::istringstream in(data);
    std::ofstream out;
    std::string line;
    bool headers = false, toFile = false, pending = false;
    while (std::getline(in, line)) {
        if (line.rfind("------bench", 0) == 0) {
            headers = true, toFile = pending = false;
        } else if (headers) {
            if (line == "\r")
                headers = false;
            else if (line.find("name=\"file\"") != std::string::npos)
                toFile = true, out.open(PATH, std::ios::binary | std::ios::trunc);
        } else if (toFile) {
            if (pending)
                out << "\r\n";
            pending = !line.empty() && line.back() == '\r';
            if (pending)
                line.pop_back();
            else
                line += '\n';
            out << line;
        }
    }
}

void BM_FormData(benchmark::State& state) {
    auto const& data = body();
    for (auto _ : state) {
        FormFields fields;
        Multipart::parseFormData(TYPE, data, fields, PATH);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

// As an upload arrives: in the pieces the web server's STDIN records carry.
void BM_FormDataInRecords(benchmark::State& state) {
    std::string_view data = body();
    for (auto _ : state) {
        Multipart::FormParser parser;
        parser.start(TYPE, PATH);
        for (size_t at = 0; at < data.size(); at += 65528)
            parser.feed(data.substr(at, 65528));
        parser.finish();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

void BM_PlainLineByLine(benchmark::State& state) {
    auto const& data = body();
    for (auto _ : state)
        plainParse(data);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

BENCHMARK(BM_PlainLineByLine)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_FormData)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_FormDataInRecords)->Unit(benchmark::kMillisecond)->MinTime(2);

} // namespace

int main(int argc, char** argv) {
    static gen::LogLevel quiet = gen::LogLevel::Error; // no per-part debug lines in the measurement
    gComponentLogLevel = &quiet;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
}
