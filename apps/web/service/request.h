#pragma once

// One FastCGI connection of the front web server, on the responder side: collects a request's parameters and
// body from its records, hands the complete request to the listener, and sends the answer back as records.
//
// Records may reach us in any number of pieces; the bytes of an unfinished record are kept per connection and
// the record is taken once it is whole, so a slow or splitting peer never gets the stream out of step.
//
// Nothing blocks. The answer is printed straight into the content area of a record buffer, with room for the
// record header in front and the padding behind, so a record leaves in one system call without another copy.
// What the peer does not take at once stays queued on the request, and the connection is watched for
// writability instead of readability until the queue is empty: a peer that stops reading costs only its own
// bounded queue (the listener closes it past the bound, or when it has taken nothing for a long time).

#include <any>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "eventpoll.h"
#include "loglevel.h"

class Fcgi;

namespace Constants {
constexpr unsigned FCGI_HEADER_SIZE = 8;
constexpr unsigned FCGI_RECEIVE_BUFFER_SIZE = 65792;   // 65535 content bytes and 255 padding bytes
constexpr unsigned FCGI_MAX_SEND_CONTENT = 65528;      // a multiple of 8: only the last record needs padding
constexpr unsigned FCGI_OUTPUT_FLUSH_THRESHOLD = 8192; // buffered output above this is sent by output()
// Browsers must take an answer for what it says it is, never sniff markup out of JSON that echoes input.
constexpr char const* FCGI_DEFAULT_HEADER =
    "Content-type: application/json\r\nX-Content-Type-Options: nosniff\r\n\r\n";
// What one request may buffer. The parameters are the web server's CGI variables (a few KiB even with long
// cookies); the body carries update packages of several hundred MiB.
constexpr size_t FCGI_MAX_PARAMS_SIZE = 128 * 1024; // names and values together
constexpr size_t FCGI_MAX_POST_DATA_SIZE = size_t(1) << 30;
// Bodies held in memory (postData) by all requests together: the device has a few hundred MiB of RAM. Update
// packages do not count: they stream to disk as they arrive (Request::BodySink).
constexpr size_t FCGI_MAX_HELD_BODIES = size_t(64) << 20;
// An answer streamed from a source is produced while less than this is queued, so that it costs the peer's
// pace and this much memory, not its size; and at most a burst at a time, so that other peers are served in
// between.
constexpr size_t FCGI_STREAM_LOW_WATER = 256 * 1024;
constexpr size_t FCGI_STREAM_BURST = 1024 * 1024;
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

    // Takes a request's body as it arrives instead of postData, for bodies too large to hold: given by the
    // web API when the first bytes of a body come, finished when the body is complete (before the request is
    // handed over), destroyed with the request or at the next BEGIN_REQUEST.
    class BodySink {
    public:
        virtual ~BodySink() = default;
        virtual void take(std::string_view bytes) = 0;
        virtual void finish() = 0;
    };

    Request(Fcgi* fcgi, int fd, int id);
    virtual ~Request(); // closes the connection
    Request(Request const&) = delete;
    Request& operator=(Request const&) = delete;

    void event(EventPoll::EventType type) override;

    // Takes what the connection has (without waiting) and processes every record that is now whole, unless an
    // answer is still queued. False when no record was taken, when the last one was rejected (type above 10),
    // or at end of stream.
    bool readRecord();
    void begin(unsigned short requestId, bool keep);
    void addParams(unsigned char* content, int length);
    void addParam(std::string const& name, std::string const& value);
    // One name-value length; advances position and bytesLeft. -1 when the bytes left do not hold it.
    static int getLength(unsigned char*& position, int& bytesLeft);
    void appendPostData(unsigned char* data, int length);

    // The answer.
    std::ostream& output(); // puts the default header first unless writeHeader came before
    void writeHeader(char const* header);
    void sendOutput();
    void sendError();
    // Frames the rest of the answer and END_REQUEST; the answer is complete once the queue has gone out, and
    // only then is a connection that is not kept closed.
    void end();
    // An answer too large to print at once: source prints its next piece into output() whenever the peer has
    // taken most of what is queued, and returns false after its last one; the request is then ended. A source
    // that throws costs the connection (its answer is cut), logged at Error.
    void streamFrom(std::function<bool(Request&)> source);
    // Takes back what is printed but not yet sent, so that a failure can still be answered with a status of
    // its own; false once any record of this answer has been framed (then the answer can only be cut).
    bool restartAnswer();
    // Answers the request with this status and JSON body once its body has ended, without handing it over;
    // what is left of the body is read and dropped, so that the connection stays in step. Logs nothing: the
    // caller says why.
    void refuse(char const* status, std::string const& body);
    // Gives the connection up: nothing more is sent, the listener releases it. Logged once at level.
    void drop(char const* reason, gen::LogLevel level = gen::LogLevel::Warn);
    // Records of the type in the header template, sent or queued. -1 once the peer is gone.
    int writeRecord(char const* data, unsigned int length);
    void close();

    // A parameter by name; an absent one reads as empty text.
    std::string const& param(std::string const& name) const;
    unsigned short requestId() const { return static_cast<unsigned short>(header[2] << 8 | header[3]); }
    size_t queuedBytes() const { return mQueuedBytes; } // framed, not yet taken by the peer
    bool peerGone() const { return mPeerGone; }         // nothing more is sent
    bool streaming() const { return bool(mSource); }    // an answer from streamFrom is still being produced
    // Handed to the web API and not yet ended, since when.
    bool handedOver() const { return mHandedOver; }
    std::chrono::steady_clock::time_point handedOverAt() const { return mHandedOverAt; }

    Fcgi* fcgi;          // the listener that owns this request
    int fd;              // the connection; -1 after close
    unsigned id;         // number given by the listener, key of its registry
    bool keepConnection; // FCGI_KEEP_CONN of the last BEGIN_REQUEST
    bool headerWritten;  // a response header is in the output
    std::map<std::string, std::string> params;
    std::string postData;                              // the body from STDIN, unless body takes it
    std::unique_ptr<BodySink> body;                    // takes the body as it arrives; null: postData does
    std::stringstream error;                           // text for STDERR records
    unsigned char header[Constants::FCGI_HEADER_SIZE]; // last record received; template of every record sent
    std::any context;                                  // state of the web API for a request it answers later

private:
    friend class Fcgi;

    // Framed records back to back: [sent, size) is queued, what lies beyond size is being printed into.
    struct Page {
        std::unique_ptr<char[]> bytes;
        size_t size = 0;
        size_t sent = 0;
    };

    // The STDOUT content being printed, in place inside the record buffer that will carry it.
    class OutputBuffer : public std::streambuf {
    public:
        explicit OutputBuffer(Request& owner) : owner(owner) {}
        size_t buffered() const { return size_t(pptr() - pbase()); }
        bool printing() const { return pbase() != nullptr; } // a record is open for printing
        void reset(char* content); // null: nothing to print into until the next write
        void discard() { setp(pbase(), epptr()); }

    protected:
        int_type overflow(int_type c) override;

    private:
        Request& owner;
    };

    bool takeRecord(unsigned char* record); // one whole record: header, content and padding
    bool processInput();                    // the whole records received, while no answer is queued
    void handOver();                        // the request is complete: to the listener and the web API
    void releaseBody();                     // postData and body go
    void paramsComplete();                  // the web API decides whether the request is served at all
    void refuseOverLimit(char const* status, std::string const& reason);
    void answerRefusal();

    char* room(size_t recordSize); // where a record of that size goes, on a new page if it must
    void startRecord();            // gives the output the largest record's room to print into
    void frameOutput();            // the printed content becomes a queued STDOUT record
    void queueRecords(unsigned char type, char const* data, size_t length);
    void frameRecord(unsigned char type, size_t length); // header and padding around content in place
    void flush();      // sends what the peer takes now; watches for more room otherwise
    void produce();    // runs the source while little is queued, a burst at most
    void answerSent(); // the queue drained after end()
    void dropQueue();

    OutputBuffer mOutputBuffer;
    std::ostream mOutput;
    std::deque<Page> mPages;               // in sending order; the output prints into the last
    Page mSpare;                           // a sent page kept for the next one of the same answer
    size_t mQueuedBytes;                   // framed and not yet sent, over all pages
    size_t mFramedBytes;                   // framed since the connection was accepted
    bool mEnded;                           // end() came; the answer is complete once the queue has gone out
    std::function<bool(Request&)> mSource; // the rest of a streamed answer; empty when there is none
    bool mHolding;                         // inside the source: framed records wait until it returns
    bool mBlocked; // the last send would have blocked: nothing is tried until the poll reports room
    std::chrono::steady_clock::time_point mLastProgress; // the peer last took bytes, or the queue started
    bool mAnswerFramed = false;                          // a record of the current answer has been framed
    bool mHandedOver = false;                            // between the listener's addRequest and end()
    std::chrono::steady_clock::time_point mHandedOverAt;
    // Idle limits: the last byte received (or the accept), and since when a kept connection has waited with
    // nothing after its answer (zero while it has not).
    std::chrono::steady_clock::time_point mLastInput = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point mIdleSince;

    // Bookkeeping of the listener.
    bool mWatched;  // registered with the poll
    bool mWritable; // watched for room to write instead of for input
    bool mMarked;   // in the listener's deletion list
    bool mPeerGone; // a write failed, or the listener gave the peer up

    std::vector<unsigned char> mInput; // received bytes; [mInputStart, mInputEnd) are not yet taken
    size_t mInputStart;
    size_t mInputEnd;
    size_t mParamsSize;           // bytes of names and values received for this request
    bool mParamsComplete = false; // the parameters have ended (an empty PARAMS record, or the body began)
    size_t mBodySize = 0;         // bytes of the body received for this request
    size_t mBodyHeld = 0;         // of them in postData, counted against the listener's total
    std::string mRefusal;         // the answer to a request over the limits; empty while it is within them
};
