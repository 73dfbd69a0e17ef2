// The variable tree over the simulated device's blocks, beside a plain reading of the same printers: every
// int, float, string and buffer value, also of every record field, through a fresh nlohmann object, string
// fields of records escaped with std::regex, enumerations' entry lists rebuilt for every value. Runs in the
// device sandbox (bench/README.md):
//
//   tree_bench                      Google Benchmark figures
//   tree_bench --callgrind MODE     MODE fast or baseline: five trees in callgrindTrees(), for
//                                   valgrind --tool=callgrind --toggle-collect='*callgrindTrees*'

#include <benchmark/benchmark.h>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <regex>
#include <semaphore.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "gen_init.h"
#include "introspection.h"
#include "introspection_enum.h"
#include "process.h"
#include "tree.h"

// The plain codecs the generated plain record getters call: what a first reading of the value texts gives.
namespace plain {
struct RecordGetter {
    char const* name;
    std::string (*get)(void const* address, int index);
};
extern RecordGetter const RECORD_GETTERS[];

std::string value(std::string const& value, std::string const& type, std::string const& min,
                  std::string const& max) {
    nlohmann::json object = {{"max", max}, {"min", min}, {"type", type}, {"value", value}};
    return object.dump();
}

// The web API's set of a backslash and a double quote, each given a backslash.
std::string escape(std::string const& text) {
    static std::regex const pattern("[\\\\\"]", std::regex::ECMAScript);
    return std::regex_replace(text, pattern, "\\$&");
}

std::string enumText(uint32_t e, std::string const& entry) {
    EnumInfo const& info = ENUM_ARRAY[e];
    std::string out = "{ \"value\": \"" + entry + "\", \"type\": \"" + info.name + "\", \"textid\": [ ";
    for (uint32_t k = 0; k < info.count; ++k)
        out += std::string(k ? "," : "") + "\"" + info.entries[k] + "\"";
    return out + "]}";
}

std::string enumeration(uint32_t e, void const* address) {
    return enumText(e, IntrospectionEnum::getEnumText(e, address));
}
} // namespace plain

namespace {

void baselineValue(unsigned mem, unsigned var, std::ostream& stream, int index) {
    try {
        VariableInfo const& info = Introspection::getVarInfo(mem, var);
        switch (info.baseType) {
        case Struct: {
            plain::RecordGetter const* getter = plain::RECORD_GETTERS;
            while (strcmp(getter->name, info.type) != 0)
                ++getter;
            stream << getter->get(info.memory() + info.offset, index);
            break;
        }
        case Enum:
            stream << plain::enumText(IntrospectionEnum::getEnumIndex(info.type),
                                      Introspection::getVarValue(mem, var, 0));
            break;
        case Bool:
            stream << Introspection::printBool(Introspection::getVarValue(mem, var, 0) == "true");
            break;
        default:
            stream << plain::value(Introspection::getVarValue(mem, var, 0),
                                   info.baseType == Buffer ? std::string("string") : std::string(info.type),
                                   Introspection::getVarMin(mem, var), Introspection::getVarMax(mem, var));
        }
    } catch (std::exception const& e) {
        stream << "\"ERROR\": \"" << e.what() << "\"";
    }
}

void baselineTree(std::ostream& stream) {
    for (unsigned mem = 0; mem < Introspection::getMemCount(); ++mem) {
        stream << "\"" << Introspection::getMemName(mem) << "\" : {";
        for (unsigned var = 0; var < Introspection::getVarCount(mem); ++var) {
            stream << "\"" << Introspection::getVarName(mem, var) << "\" : ";
            int base = Introspection::getVarBaseType(mem, var);
            if (Introspection::isArray(mem, var) && base != String && base != Buffer) {
                long length = strtol(Introspection::getVarArrayLen(mem, var), nullptr, 10);
                stream << "[";
                for (long i = 0; i < length; ++i) {
                    if (i > 0)
                        stream << ",";
                    baselineValue(mem, var, stream, int(i));
                }
                stream << "]";
            } else {
                baselineValue(mem, var, stream, 0);
            }
            if (var + 1 < Introspection::getVarCount(mem))
                stream << ",";
        }
        stream << "}";
        if (mem + 1 < Introspection::getMemCount())
            stream << ",";
    }
}

// Where the service's tree goes: 8 KiB pieces handed on as they fill; here they are only counted.
class Sink : public std::streambuf {
public:
    Sink() { setp(buffer, buffer + sizeof buffer); }
    size_t bytes() {
        sync();
        return total;
    }

protected:
    int_type overflow(int_type c) override {
        sync();
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }
    int sync() override {
        total += size_t(pptr() - pbase());
        benchmark::DoNotOptimize(buffer);
        setp(buffer, buffer + sizeof buffer);
        return 0;
    }

private:
    char buffer[8192];
    size_t total = 0;
};

void TreeBaseline(benchmark::State& state) {
    size_t bytes = 0;
    for (auto _ : state) {
        Sink sink;
        std::ostream out(&sink);
        baselineTree(out);
        bytes += sink.bytes();
    }
    state.SetBytesProcessed(int64_t(bytes));
    state.counters["tree_bytes"] = double(bytes) / double(state.iterations());
}
BENCHMARK(TreeBaseline)->Unit(benchmark::kMillisecond);

void TreeFast(benchmark::State& state) {
    size_t bytes = 0;
    for (auto _ : state) {
        Sink sink;
        std::ostream out(&sink);
        VariableTree::createJsonTree(out);
        bytes += sink.bytes();
    }
    state.SetBytesProcessed(int64_t(bytes));
    state.counters["tree_bytes"] = double(bytes) / double(state.iterations());
}
BENCHMARK(TreeFast)->Unit(benchmark::kMillisecond);

// Kept out of line so that callgrind can count exactly these instructions.
[[gnu::noinline]] size_t callgrindTrees(bool fast) {
    size_t bytes = 0;
    for (int i = 0; i < 5; ++i) {
        Sink sink;
        std::ostream out(&sink);
        if (fast)
            VariableTree::createJsonTree(out);
        else
            baselineTree(out);
        bytes += sink.bytes();
    }
    return bytes;
}

} // namespace

int main(int argc, char** argv) {
    pid_t broker = spawnProcess({BROKER_PATH});
    waitUntil(brokerReady);
    pid_t device = spawnProcess({SIM_DEVICE_PATH});
    // The device creates MemApp last and fills the blocks right after; give it a moment to finish.
    if (!waitUntil([] {
            int fd = shm_open("/MemApp", O_RDONLY, 0);
            return fd >= 0 && close(fd) == 0;
        })) {
        fprintf(stderr, "the simulated device did not start\n");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    gen::mapBlocks(false);
    {
        // Both print the same text, or the comparison means nothing. The device may move a value in
        // between, so only the sizes are compared.
        std::stringstream fast, baseline;
        VariableTree::createJsonTree(fast);
        baselineTree(baseline);
        if (fast.str().size() != baseline.str().size()) {
            fprintf(stderr, "the plain tree differs: %zu bytes against %zu\n", baseline.str().size(),
                    fast.str().size());
            return 1;
        }
    }

    int status = 0;
    if (argc == 3 && strcmp(argv[1], "--callgrind") == 0) {
        bool fast = strcmp(argv[2], "fast") == 0;
        printf("%zu bytes in 5 trees\n", callgrindTrees(fast));
    } else {
        benchmark::Initialize(&argc, argv);
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
    }
    kill(device, SIGTERM);
    waitpid(device, &status, 0);
    kill(broker, SIGTERM);
    waitpid(broker, nullptr, 0);
    return 0;
}
