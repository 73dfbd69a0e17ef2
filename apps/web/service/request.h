#pragma once

// One FastCGI connection of the front web server, on the responder side: collects a request's parameters and
// body from its records, hands the complete request to the listener, and sends the answer back as records.
//
// Records may reach us in any number of pieces; the bytes of an unfinished record are kept per connection and
// the record is taken once it is whole, so a slow or splitting peer never gets the stream out of step. Reads
// never block; writes block, but a peer that stops reading is given up after FCGI_SEND_TIMEOUT_MS.

#include <any>
#include <chrono>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "eventpoll.h"

struct iovec;

class Fcgi;

namespace Constants {
constexpr unsigned FCGI_HEADER_SIZE = 8;
constexpr unsigned FCGI_RECEIVE_BUFFER_SIZE = 65792;   // 65535 content bytes and 255 padding bytes
constexpr unsigned FCGI_MAX_SEND_CONTENT = 65528;      // a multiple of 8: only the last record needs padding
constexpr unsigned FCGI_OUTPUT_FLUSH_THRESHOLD = 8192; // buffered output above this is sent by output()
constexpr char const* FCGI_DEFAULT_HEADER = "Content-type: application/json\r\n\r\n";
// What one request may buffer. The parameters are the web server's CGI variables (a few KiB even with long
// cookies); the body carries update packages of several hundred MiB.
constexpr size_t FCGI_MAX_PARAMS_SIZE = 128 * 1024; // names and values together
constexpr size_t FCGI_MAX_POST_DATA_SIZE = size_t(1) << 30;
// A peer whose writes stay short for this long is gone. Each blocking write waits at most FCGI_SEND_WAIT_MS,
// so a stall is noticed within that much of the limit, also when the peer takes a few bytes now and then.
constexpr int FCGI_SEND_TIMEOUT_MS = 2000;
constexpr int FCGI_SEND_WAIT_MS = 250;
} // namespace Constants

class Request : public EventPoll::Callback {
public:
    enum RecordType : unsigned char {
        BEGIN_REQUEST = 1,
        ABORT_REQUEST = 2,
        END_REQUEST = 3,
        PARAMS = 4,
        STDIN = 5,
        STDOUT = 6,
        STDERR = 7,
        DATA = 8,
        GET_VALUES = 9,
        GET_VALUES_RESULT = 10,
    };

    Request(Fcgi* fcgi, int fd, int id);
    virtual ~Request(); // closes the connection
    Request(Request const&) = delete;
    Request& operator=(Request const&) = delete;

    void event(EventPoll::EventType type) override;

    // Takes what the connection has (without waiting) and processes every record that is now whole. False
    // when no record was taken, when the last one was rejected (type above 10), or at end of stream.
    bool readRecord();
    void begin(unsigned short requestId, bool keep);
    void addParams(unsigned char* content, int length);
    void addParam(std::string const& name, std::string const& value);
    // One name-value length; advances position and bytesLeft. -1 when the bytes left do not hold it.
    static int getLength(unsigned char*& position, int& bytesLeft);
    void appendPostData(unsigned char* data, int length);

    // The answer.
    std::stringstream& output(); // puts the default header first unless writeHeader came before
    void writeHeader(char const* header);
    void sendOutput();
    void sendError();
    void end();
    int writeRecord(char const* data, unsigned int length); // records of the type in the header template
    void close();

    // A parameter by name; an absent one reads as empty text.
    std::string const& param(std::string const& name) const;
    unsigned short requestId() const { return static_cast<unsigned short>(header[2] << 8 | header[3]); }

    Fcgi* fcgi;          // the listener that owns this request
    int fd;              // the connection; -1 after close
    unsigned id;         // number given by the listener, key of its registry
    bool keepConnection; // FCGI_KEEP_CONN of the last BEGIN_REQUEST
    bool headerWritten;  // a response header is in the output
    std::map<std::string, std::string> params;
    std::string postData;                              // the body from STDIN
    std::stringstream outputStream;                    // answer text not yet sent
    std::stringstream error;                           // text for STDERR records
    unsigned char header[Constants::FCGI_HEADER_SIZE]; // last record received; template of every record sent
    std::any context;                                  // state of the web API for a request it answers later

    // Bookkeeping of the listener and of the limits.
    bool watched;  // registered with the poll
    bool marked;   // in the listener's deletion list
    bool peerGone; // a write failed or timed out: nothing more is sent

private:
    bool takeRecord(unsigned char* record); // one whole record: header, content and padding
    void refuse(char const* status, std::string const& reason);
    void answerRefusal();
    bool writeAll(iovec* pieces, int count, size_t paddingLength);
    void peerLost(char const* reason);

    std::vector<unsigned char> mInput; // received bytes; [mInputStart, mInputEnd) are not yet taken
    size_t mInputStart;
    size_t mInputEnd;
    size_t mParamsSize; // bytes of names and values received for this request
    std::chrono::steady_clock::time_point mStalledSince; // start of the first short write in a row; 0: none
    std::string mRefusal; // the answer to a request over the limits; empty while it is within them
};
