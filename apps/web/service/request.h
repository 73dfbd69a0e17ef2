#pragma once

// One FastCGI connection of the front web server, on the responder side: collects a request's parameters and
// body from its records, has the complete request served, and sends the answer back as records.
//
// Records may reach us in any number of pieces; the bytes of an unfinished record are kept per connection and
// the record is taken once it is whole, so a slow or splitting peer never gets the stream out of step.
//
// Nothing blocks. The answer is printed straight into the content area of a queued record (RecordQueue), so a
// record leaves in one system call without another copy. What the peer does not take at once stays queued,
// and the connection is watched for writability instead of readability until the queue is empty: a peer that
// stops reading costs only its own bounded queue (the listener closes it past the bound, or when it has taken
// nothing for a long time).

#include <chrono>
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
#include "record.h"

namespace Constants {
constexpr unsigned FCGI_OUTPUT_FLUSH_THRESHOLD = 8192; // buffered output above this is sent by output()
// Browsers must take an answer for what it says it is, never sniff markup out of JSON that echoes input.
constexpr char const* FCGI_DEFAULT_HEADER =
    "Content-type: application/json\r\nX-Content-Type-Options: nosniff\r\n\r\n";
// What one request may buffer. The parameters are the web server's CGI variables (a few KiB even with long
// cookies); the body carries update packages of several hundred MiB.
constexpr size_t FCGI_MAX_PARAMS_SIZE = 128 * 1024; // names and values together
constexpr size_t FCGI_MAX_POST_DATA_SIZE = size_t(1) << 30;
// Bodies held in memory (postData) by all requests together: the device has a few hundred MiB of RAM. Update
// packages do not count: they stream to disk as they arrive (Request::Handling::take).
constexpr size_t FCGI_MAX_HELD_BODIES = size_t(64) << 20;
// An answer streamed from a source is produced while less than this is queued, so that it costs the peer's
// pace and this much memory, not its size; and at most a burst at a time, so that other peers are served in
// between.
constexpr size_t FCGI_STREAM_LOW_WATER = 256 * 1024;
constexpr size_t FCGI_STREAM_BURST = 1024 * 1024;
} // namespace Constants

class Request final : public EventPoll::Callback {
public:
    // What a connection needs of the listener that owns it. The listener implements it and outlives every
    // connection it owns.
    class Owner {
    public:
        // The parameters are complete: how the request is served is decided now, before any of its body is
        // kept (handleWith, or refuse).
        virtual void paramsComplete(Request& request) = 0;
        // The request is complete: to be registered and served.
        virtual void complete(Request& request) = 0;
        // The connection is done with: off the poll at once, deleted at the next cleanup. Once only.
        virtual void release(Request& request) = 0;
        // Watched for room to write instead of for input, or back; or not at all any more.
        virtual void watchWritable(Request& request, bool on) = 0;
        virtual void unwatch(Request& request) = 0;
        // The answer queue grew or shrank by delta bytes; past a bound the listener gives a connection up.
        virtual void queueChanged(Request& request, long long delta) = 0;
        // Bodies held in memory by all connections: whether that many bytes more fit, and the change.
        virtual bool bodyFits(size_t bytes) const = 0;
        virtual void bodyHeld(long long delta) = 0;

    protected:
        ~Owner() = default;
    };

    // How the web API serves one request, chosen once the parameters are complete: what takes the body as it
    // arrives (for bodies too large to hold; otherwise it is held in postData), and what answers the complete
    // request. Destroyed with the request or at the connection's next BEGIN_REQUEST.
    class Handling {
    public:
        virtual ~Handling() = default;
        virtual bool takesBody() const { return false; }
        virtual void take(std::string_view bytes) { (void)bytes; }
        virtual void bodyComplete() {}
        virtual void serve(Request& request) = 0;
    };

    Request(Owner& owner, int fd, unsigned id);
    ~Request(); // closes the connection
    Request(Request const&) = delete;
    Request& operator=(Request const&) = delete;

    void event(EventPoll::EventType type) override;

    // The request, for the web API.
    unsigned id() const { return mId; } // given by the listener, key of its registry
    unsigned short requestId() const { return mHeader.requestId; } // FastCGI's, of the last record received
    std::string const& param(std::string const& name) const;       // an absent one reads as empty text
    std::map<std::string, std::string> const& params() const { return mParams; }
    std::string const& postData() const { return mPostData; } // the body, unless a Handling took it
    bool keepsConnection() const { return mKeepConnection; }  // FCGI_KEEP_CONN of the last BEGIN_REQUEST
    Handling* handling() const { return mHandling.get(); }
    void handleWith(std::unique_ptr<Handling> handling) { mHandling = std::move(handling); }
    // Answers the request with this status and JSON body once its body has ended, without serving it; what is
    // left of the body is read and dropped, so that the connection stays in step. Logs nothing: the caller
    // says why.
    void refuse(char const* status, std::string const& body);

    // The answer.
    std::ostream& output(); // puts the default header first unless writeHeader came before
    void writeHeader(char const* header);
    std::ostream& errorOutput() { return mError; } // text for STDERR records, sent before END_REQUEST
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
    // Gives the connection up: nothing more is sent, the listener releases it. Logged once at level.
    void drop(char const* reason, gen::LogLevel level = gen::LogLevel::Warn);

    // The state the listener keeps its limits by.
    int fd() const { return mFd; }                         // -1 after close
    size_t queuedBytes() const { return mQueue.queued(); } // framed, not yet taken by the peer
    bool peerGone() const { return mPeerGone; }            // nothing more is sent
    bool streaming() const { return bool(mSource); } // an answer from streamFrom is still being produced
    bool handedOver() const { return mHandedOver; }  // complete and not yet answered, since when
    std::chrono::steady_clock::time_point handedOverAt() const { return mHandedOverAt; }
    std::chrono::steady_clock::time_point lastProgress() const { return mLastProgress; } // of the queue
    // Since when the connection has been idle: after its answer, or since its last byte (or its accept) while
    // no request is complete.
    std::chrono::steady_clock::time_point idleSince() const;
    bool answered() const { return mIdleSince != std::chrono::steady_clock::time_point(); }
    std::chrono::steady_clock::time_point lastInput() const { return mLastInput; }

    // Parameters from the content of PARAMS records: name-value pairs with one- or four-byte lengths. A pair
    // cut short or of empty name and value ends the decoding.
    void addParams(unsigned char const* content, size_t length);
    void close();

private:
    // The STDOUT content being printed, in place inside the record that will carry it.
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

    // Input.
    bool readRecord();                            // takes what the connection has; processes whole records
    bool processInput();                          // the whole records received, while no answer is queued
    bool takeRecord(unsigned char const* record); // one whole record: header, content and padding
    void begin(bool keep);
    void addParam(std::string name, std::string value);
    void appendPostData(unsigned char const* data, size_t length);
    void paramsComplete();
    void handOver();       // the request is complete: to the listener
    void releaseToOwner(); // once: the listener takes the connection back
    void releaseBody();
    void refuseOverLimit(char const* status, std::string const& reason);
    void answerRefusal();

    // Output (answer.cpp).
    void sendOutput();
    void startRecord(); // gives the output the largest record's room to print into
    void frameOutput(); // the printed content becomes a queued STDOUT record
    void queueRecords(uint8_t type, char const* data, size_t length);
    void frameRecord(uint8_t type, size_t length); // the content at the queue's last room, framed
    void flush();                                  // sends what the peer takes now; watches for more room
    void produce();                                // runs the source while little is queued, a burst at most
    void answerSent();                             // the queue drained after end()
    void dropQueue();

    Owner& mOwner;
    int mFd;
    unsigned const mId;
    RecordHeader mHeader; // of the last record received; every record sent carries its version and ids
    bool mKeepConnection = true;
    bool mHeaderWritten = false; // a response header is in the output
    std::map<std::string, std::string> mParams;
    std::string mPostData;
    std::unique_ptr<Handling> mHandling;
    std::stringstream mError;

    OutputBuffer mOutputBuffer;
    std::ostream mOutput;
    RecordQueue mQueue;
    size_t mFramedBytes = 0;               // framed since the connection was accepted
    bool mEnded = false;                   // end() came; the answer is complete once the queue has gone out
    std::function<bool(Request&)> mSource; // the rest of a streamed answer; empty when there is none
    bool mHolding = false;                 // inside the source: framed records wait until it returns
    bool mBlocked = false; // the last send would have blocked: nothing is tried until the poll reports room
    bool mAnswerFramed = false; // a record of the current answer has been framed
    bool mHandedOver = false;   // between complete() and end()
    bool mPeerGone = false;     // a write failed, or the listener gave the peer up
    bool mReleased = false;     // given back to the listener; its events are no longer ours
    std::chrono::steady_clock::time_point mHandedOverAt;
    std::chrono::steady_clock::time_point mLastProgress; // the peer last took bytes, or the queue started
    std::chrono::steady_clock::time_point mLastInput = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point mIdleSince; // after the answer; zero while there is none

    std::vector<unsigned char> mInput; // received bytes; [mInputStart, mInputEnd) are not yet taken
    size_t mInputStart = 0;
    size_t mInputEnd = 0;
    size_t mParamsSize = 0;       // bytes of names and values received for this request
    bool mParamsComplete = false; // the parameters have ended (an empty PARAMS record, or the body began)
    size_t mBodySize = 0;         // bytes of the body received for this request
    size_t mBodyHeld = 0;         // of them in postData, counted against the listener's total
    std::string mRefusal;         // the answer to a refused request; empty while it is served
};
