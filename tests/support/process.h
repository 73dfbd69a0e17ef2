#pragma once

// Other programs for the tests and benchmarks that drive them: started without a shell, or run through one
// for their output.

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

// Starts args[0] (searched on the PATH) with args; -1 when it cannot be started.
pid_t spawnProcess(std::vector<std::string> const& args);
// Sends SIGTERM and waits: the exit status, or 128 + the signal that ended it.
int stopProcess(pid_t pid);
int exitStatus(pid_t pid); // waits without sending anything
// Standard output of a shell command, bytes as they come.
std::string commandOutput(std::string const& command);
// Polls done every 5 ms until it holds or the limit passes; whether it held.
bool waitUntil(std::function<bool()> const& done, std::chrono::milliseconds limit = std::chrono::seconds(5));
// Whether something accepts TCP connections on 127.0.0.1:port, and the broker's start gate exists.
bool portOpen(int port);
bool brokerReady();

// The whole content of a file, bytes as they are; empty when it cannot be read.
std::string fileText(std::string const& path);
// An executable shell script at path, its folder made if need be.
void script(std::string const& path, std::string const& body);
// Programs started later find directory's programs first.
void putOnPath(char const* directory);
