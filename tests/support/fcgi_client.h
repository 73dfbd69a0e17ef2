#pragma once

// A FastCGI client of our own for the tests: builds record streams byte by byte, talks to the server over
// TCP, and takes answers apart record by record, checking the framing of every record on the way.

#include <map>
#include <string>
#include <vector>

namespace fcgiclient {

struct Record {
    unsigned char version, type;
    unsigned requestId;
    std::string content;
    unsigned padding;
    unsigned char reserved;
};

std::string record(unsigned char type, unsigned requestId, std::string const& content, unsigned padding = 0);
std::string nameValue(std::string const& name, std::string const& value, bool longLengths = false);
std::string beginRequest(unsigned requestId, bool keep);
// BEGIN_REQUEST, one PARAMS record, an empty PARAMS record, the body in STDIN records of at most 65535 bytes
// (padded to a multiple of 8), the empty STDIN record.
std::string request(unsigned requestId, std::map<std::string, std::string> const& params,
                    std::string const& body = "", bool keep = false);

// Splits a byte stream into whole records; false when the stream ends inside one.
bool parse(std::string const& bytes, std::vector<Record>& records);

// One answer as the server must send it: STDOUT records, STDERR records, one END_REQUEST, with every rule of
// the framing checked. Returns an empty text when it holds, otherwise what is wrong.
struct Answer {
    std::string out;
    std::string err;
    unsigned requestId = 0;
    std::vector<unsigned> outSizes; // content length of each STDOUT record
};
std::string checkAnswer(std::vector<Record> const& records, Answer& answer);

int connectTo(int port); // blocking TCP connection to 127.0.0.1
bool sendAll(int fd, std::string const& bytes);
std::string receiveAvailable(int fd);                      // what is there now, without waiting
std::string receiveUntilEnd(int fd, int timeoutMs = 3000); // until the peer closes or the timeout
int openDescriptors();                                     // entries in /proc/self/fd

} // namespace fcgiclient
