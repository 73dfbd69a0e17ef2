// The value codecs on the texts of a variable tree, each beside the plain reading it replaces: std::regex for
// the escaping of record text fields, a fresh nlohmann object for printValue().

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "introspection.h"
#include "jsonwriter.h"

namespace {

// Short names and numbers, as most values are, with a quote now and then.
std::vector<std::string> const& values() {
    static std::vector<std::string> const texts = [] {
        std::vector<std::string> list;
        for (int i = 0; i < 256; ++i)
            list.push_back(i % 16 == 0 ? "Lens \"" + std::to_string(i) + "\" 50mm"
                                       : std::to_string(i * 37) + ".500000");
        return list;
    }();
    return texts;
}

void bytesProcessed(benchmark::State& state) {
    size_t bytes = 0;
    for (auto const& text : values())
        bytes += text.size();
    state.SetBytesProcessed(int64_t(state.iterations() * bytes));
}

void EscapeScan(benchmark::State& state) {
    for (auto _ : state)
        for (auto const& text : values())
            benchmark::DoNotOptimize(JsonWriter::text(text, JsonWriter::Escaping::QuoteAndBackslash));
    bytesProcessed(state);
}
BENCHMARK(EscapeScan);

void EscapeRegexBaseline(benchmark::State& state) {
    std::regex pattern("[\\\\\"]", std::regex::ECMAScript);
    for (auto _ : state)
        for (auto const& text : values())
            benchmark::DoNotOptimize(std::regex_replace(text, pattern, "\\$&"));
    bytesProcessed(state);
}
BENCHMARK(EscapeRegexBaseline);

void PrintValueCached(benchmark::State& state) {
    for (auto _ : state)
        for (auto const& text : values())
            benchmark::DoNotOptimize(Introspection::printValue(text, "float", "-1e38", "1e38"));
    bytesProcessed(state);
}
BENCHMARK(PrintValueCached);

void PrintValueFreshObjectBaseline(benchmark::State& state) {
    for (auto _ : state)
        for (auto const& text : values())
            benchmark::DoNotOptimize(
                nlohmann::json{{"max", "1e38"}, {"min", "-1e38"}, {"type", "float"}, {"value", text}}.dump());
    bytesProcessed(state);
}
BENCHMARK(PrintValueFreshObjectBaseline);

} // namespace

BENCHMARK_MAIN();
