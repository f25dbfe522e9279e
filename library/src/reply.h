// Evaluation of the gateway's reply while it arrives.
//
// The reply's body starts behind the first CR LF CR LF; its first line (up to
// the first LF, a CR before it included) is the gateway's answer. The status
// line and the header fields are not interpreted, with two exceptions that
// only decide framing: a Transfer-Encoding whose last coding is "chunked"
// has the body decoded first, and a Content-Length tells when the body has
// ended (it never cuts bytes that arrived). Memory stays bounded by the part
// of the answer line the caller can take, whatever the reply's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zelvonet {

class ChunkDecoder {
  public:
    enum class State { SizeStart, Size, Extension, SizeLF, Data, DataCR, DataLF, Ended, Broken };

    // Decodes `n` bytes; every body byte goes to `sink(const char*, size_t)`.
    // Returns the number of input bytes consumed: all of them, unless the
    // last chunk ended or the framing broke first.
    template <class Sink>
    std::size_t feed(const char* data, std::size_t n, Sink&& sink);

    State state() const { return state_; }
    bool ended() const { return state_ == State::Ended; }
    bool broken() const { return state_ == State::Broken; }

  private:
    bool sizeDigit(char c);

    State state_ = State::SizeStart;
    std::uint64_t remaining_ = 0;
};

class ReplyEvaluator {
  public:
    enum class Verdict {
        Answer,       // an answer line was found (possibly empty)
        Empty,        // not a single byte arrived
        NoHeaderEnd,  // no CR LF CR LF in the reply
        BadFraming,   // a chunked body whose framing is broken or cut off
    };

    // `keep`: how many bytes of the answer line to keep for the caller.
    explicit ReplyEvaluator(std::size_t keep) : keep_(keep) {}

    // Takes the next bytes of the reply. Returns true once the answer is
    // settled, so that no later byte can change it: its LF has arrived, or
    // the body has ended by Content-Length or by the last chunk. Bytes fed
    // after that are ignored.
    bool feed(const char* data, std::size_t n);
    bool done() const { return done_; }

    // The verdict once the reply has ended (peer closed, error, or done()).
    Verdict verdict() const;

    // The first `keep` bytes of the answer line.
    const std::string& answer() const { return kept_; }
    // Whether the whole answer line is exactly "OK".
    bool answerIsOK() const { return lineLength_ == 2 && first_[0] == 'O' && first_[1] == 'K'; }
    // Length of the whole answer line as far as it arrived.
    std::uint64_t answerLength() const { return lineLength_; }

  private:
    void headerByte(char c);
    void headerLineEnd();
    void headerFieldsEnd();
    // Body bytes after chunk decoding; returns true when the line completed.
    bool bodyBytes(const char* data, std::size_t n);

    enum class Field { Unknown, StatusLine, Name, TransferEncoding, ContentLength, Ignored };

    std::size_t keep_;
    bool any_ = false;
    bool done_ = false;
    bool inBody_ = false;
    int crlfMatched_ = 0;

    // Header field scanning, bounded: names up to 32 bytes, codings up to 16.
    Field field_ = Field::StatusLine;
    std::string name_;
    std::string coding_;
    bool codingTooLong_ = false;
    bool codingBlank_ = false;  // a blank followed the coding's last byte so far
    std::string lastCoding_;
    bool lengthSeen_ = false;
    bool lengthValid_ = true;
    bool lengthDigits_ = false;
    std::uint64_t lengthValue_ = 0;
    std::uint64_t length_ = 0;

    bool chunked_ = false;
    bool hasLength_ = false;
    std::uint64_t bodyCount_ = 0;
    ChunkDecoder chunks_;

    bool lineComplete_ = false;
    std::uint64_t lineLength_ = 0;
    char first_[2] = {0, 0};
    std::string kept_;
};

template <class Sink>
std::size_t ChunkDecoder::feed(const char* data, std::size_t n, Sink&& sink) {
    std::size_t i = 0;
    while (i < n && state_ != State::Ended && state_ != State::Broken) {
        const char c = data[i];
        switch (state_) {
            case State::SizeStart:
            case State::Size:
                if (sizeDigit(c)) {
                    state_ = State::Size;
                } else if (state_ == State::SizeStart) {
                    state_ = State::Broken;
                    return i;
                } else if (c == ';' || c == ' ' || c == '\t') {
                    state_ = State::Extension;
                } else if (c == '\r') {
                    state_ = State::SizeLF;
                } else if (c == '\n') {
                    state_ = remaining_ == 0 ? State::Ended : State::Data;
                } else {
                    state_ = State::Broken;
                    return i;
                }
                ++i;
                break;
            case State::Extension:
                if (c == '\n') state_ = remaining_ == 0 ? State::Ended : State::Data;
                ++i;
                break;
            case State::SizeLF:
                if (c != '\n') {
                    state_ = State::Broken;
                    return i;
                }
                state_ = remaining_ == 0 ? State::Ended : State::Data;
                ++i;
                break;
            case State::Data: {
                const std::size_t take =
                    remaining_ < n - i ? static_cast<std::size_t>(remaining_) : n - i;
                sink(data + i, take);
                i += take;
                remaining_ -= take;
                if (remaining_ == 0) state_ = State::DataCR;
                break;
            }
            case State::DataCR:
                if (c == '\r') {
                    state_ = State::DataLF;
                } else if (c == '\n') {
                    state_ = State::SizeStart;
                } else {
                    state_ = State::Broken;
                    return i;
                }
                ++i;
                break;
            case State::DataLF:
                if (c != '\n') {
                    state_ = State::Broken;
                    return i;
                }
                state_ = State::SizeStart;
                ++i;
                break;
            case State::Ended:
            case State::Broken:
                break;
        }
    }
    return i;
}

}  // namespace zelvonet
