#include "process.h"
#include "fcgi_client.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <semaphore.h>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {
// In a cross build the tests run under the emulator that SERVICE_TEST_EMULATOR names, and so must the
// programs of the same build that they start (broker, service, simulated device): the kernel cannot run them
// itself. The machine's own programs (nginx, curl) start directly.
bool programOfThisBuild(std::string const& path) {
    char header[20] = {};
    if (!std::ifstream(path, std::ios::binary).read(header, sizeof header) || header[0] != 0x7f ||
        std::string(header + 1, 3) != "ELF")
        return false;
    unsigned machine = uint8_t(header[18]) | unsigned(uint8_t(header[19])) << 8;
#if defined(__arm__)
    return machine == 40; // EM_ARM
#elif defined(__x86_64__)
    return machine == 62; // EM_X86_64
#else
    return false;
#endif
}

std::vector<std::string> withEmulator(std::vector<std::string> const& args) {
    char const* emulator = getenv("SERVICE_TEST_EMULATOR");
    if (!emulator || !*emulator || args.empty() || !programOfThisBuild(args[0]))
        return args;
    std::istringstream split(emulator);
    std::vector<std::string> words{std::istream_iterator<std::string>(split), {}};
    words.insert(words.end(), args.begin(), args.end());
    return words;
}
} // namespace

pid_t spawnProcess(std::vector<std::string> const& given) {
    std::vector<std::string> args = withEmulator(given);
    std::vector<char*> argv;
    for (auto const& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        perror(argv[0]);
        return -1;
    }
    return pid;
}

int exitStatus(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int stopProcess(pid_t pid) {
    kill(pid, SIGTERM);
    return exitStatus(pid);
}

std::string commandOutput(std::string const& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return output;
    char buffer[65536];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        output.append(buffer, n);
    pclose(pipe);
    return output;
}

bool waitUntil(std::function<bool()> const& done, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool portOpen(int port) {
    int fd = fcgiclient::connectTo(port);
    if (fd >= 0)
        close(fd);
    return fd >= 0;
}

bool brokerReady() {
    sem_t* gate = sem_open("/message-broker-ready", 0);
    if (gate == SEM_FAILED)
        return false;
    sem_close(gate);
    return true;
}

std::string fileText(std::string const& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void script(std::string const& path, std::string const& body) {
    mkdir(path.substr(0, path.rfind('/')).c_str(), 0755);
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    chmod(path.c_str(), 0755);
}

void putOnPath(char const* directory) {
    setenv("PATH", (std::string(directory) + ":" + getenv("PATH")).c_str(), 1);
}
