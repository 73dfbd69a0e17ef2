// The variable tree over the simulated device's blocks, beside a plain reading of the same printers: every
// int, float, string and buffer value through a fresh nlohmann object, and string fields of records escaped
// with std::regex. Runs in the device sandbox (bench/README.md):
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
#include "requesthandler.h"

extern char** environ;

void processPreInit() {}
void processPostInit() {}

namespace {

// The web API's set, spelt so that the escape cannot take its scan and goes through std::regex.
constexpr char const* FAST_ESCAPE = "[\\\"]";
constexpr char const* REGEX_ESCAPE = "\\\\|\"";

void baselineValue(unsigned mem, unsigned var, std::ostream& stream, int index) {
    try {
        switch (Introspection::getVarBaseType(mem, var)) {
        case Struct:
            stream << Introspection::getVarValue(mem, var, index);
            break;
        case Enum:
            stream << IntrospectionEnum::printEnum(Introspection::getVarValue(mem, var, 0),
                                                   Introspection::getVarType(mem, var));
            break;
        case Bool:
            stream << Introspection::printBool(Introspection::getVarValue(mem, var, 0) == "true");
            break;
        default: {
            std::string type = Introspection::getVarBaseType(mem, var) == Buffer
                                   ? std::string("string")
                                   : Introspection::getVarType(mem, var);
            nlohmann::json object = {{"max", Introspection::getVarMax(mem, var)},
                                     {"min", Introspection::getVarMin(mem, var)},
                                     {"type", type},
                                     {"value", Introspection::getVarValue(mem, var, 0)}};
            stream << object.dump();
        }
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

void TreeBaseline(benchmark::State& state) {
    Introspection::setEscapeCharacters(REGEX_ESCAPE);
    size_t bytes = 0;
    for (auto _ : state) {
        std::stringstream out;
        baselineTree(out);
        bytes += size_t(out.tellp());
    }
    state.SetBytesProcessed(int64_t(bytes));
    state.counters["tree_bytes"] = double(bytes) / double(state.iterations());
}
BENCHMARK(TreeBaseline)->Unit(benchmark::kMillisecond);

void TreeFast(benchmark::State& state) {
    Introspection::setEscapeCharacters(FAST_ESCAPE);
    size_t bytes = 0;
    for (auto _ : state) {
        std::stringstream out;
        RequestHandler::createJsonTree(out);
        bytes += size_t(out.tellp());
    }
    state.SetBytesProcessed(int64_t(bytes));
    state.counters["tree_bytes"] = double(bytes) / double(state.iterations());
}
BENCHMARK(TreeFast)->Unit(benchmark::kMillisecond);

// Kept out of line so that callgrind can count exactly these instructions.
[[gnu::noinline]] size_t callgrindTrees(bool fast) {
    size_t bytes = 0;
    for (int i = 0; i < 5; ++i) {
        std::stringstream out;
        if (fast)
            RequestHandler::createJsonTree(out);
        else
            baselineTree(out);
        bytes += size_t(out.tellp());
    }
    return bytes;
}

pid_t spawn(char const* path) {
    char* argv[] = {const_cast<char*>(path), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, path, nullptr, nullptr, argv, environ) != 0) {
        perror(path);
        exit(1);
    }
    return pid;
}

bool waitFor(bool (*ready)()) {
    for (int i = 0; i < 500; ++i) {
        if (ready())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    pid_t broker = spawn(BROKER_PATH);
    waitFor([] {
        sem_t* gate = sem_open("/message-broker-ready", 0);
        return gate != SEM_FAILED && sem_close(gate) == 0;
    });
    pid_t device = spawn(SIM_DEVICE_PATH);
    // The device creates MemApp last and fills the blocks right after; give it a moment to finish.
    if (!waitFor([] {
            int fd = shm_open("/MemApp", O_RDONLY, 0);
            return fd >= 0 && close(fd) == 0;
        })) {
        fprintf(stderr, "the simulated device did not start\n");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    gen::mapBlocks(false);

    int status = 0;
    if (argc == 3 && strcmp(argv[1], "--callgrind") == 0) {
        bool fast = strcmp(argv[2], "fast") == 0;
        Introspection::setEscapeCharacters(fast ? FAST_ESCAPE : REGEX_ESCAPE);
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
