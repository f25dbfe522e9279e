#include "reply.h"

#include <algorithm>
#include <cstring>

#include "hex.h"

namespace zelvonet {

namespace {

constexpr char kHeaderEnd[] = "\r\n\r\n";
constexpr std::size_t kMaxName = 32;
constexpr std::size_t kMaxCoding = 16;

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

}  // namespace

bool ChunkDecoder::sizeDigit(char c) {
    const int v = hexValue(c);
    if (v < 0) return false;
    // A size that does not fit in 60 bits is broken framing, not a wait.
    if (remaining_ >> 56 != 0) {
        state_ = State::Broken;
        return false;
    }
    remaining_ = remaining_ * 16 + static_cast<std::uint64_t>(v);
    return true;
}

bool ReplyEvaluator::feed(const char* data, std::size_t n) {
    if (done_ || n == 0) return done_;
    any_ = true;
    std::size_t i = 0;
    while (!inBody_ && i < n) {
        const char c = data[i++];
        headerByte(c);
        if (c == kHeaderEnd[crlfMatched_]) {
            if (++crlfMatched_ == 4) headerFieldsEnd();
        } else {
            crlfMatched_ = c == '\r' ? 1 : 0;
        }
    }
    if (inBody_ && i < n) {
        const char* body = data + i;
        const std::size_t rest = n - i;
        if (chunked_) {
            chunks_.feed(body, rest, [this](const char* p, std::size_t k) {
                if (!lineComplete_) bodyBytes(p, k);
            });
            if (chunks_.ended() || chunks_.broken()) done_ = true;
        } else {
            bodyBytes(body, rest);
            bodyCount_ += rest;
        }
    }
    if (inBody_ && !chunked_ && hasLength_ && bodyCount_ >= length_) done_ = true;
    if (lineComplete_) done_ = true;
    return done_;
}

void ReplyEvaluator::headerByte(char c) {
    if (c == '\n') {
        headerLineEnd();
        return;
    }
    switch (field_) {
        case Field::StatusLine:
        case Field::Ignored:
            break;
        case Field::Unknown:
        case Field::Name:
            if (c == ':') {
                if (name_ == "transfer-encoding") {
                    field_ = Field::TransferEncoding;
                } else if (name_ == "content-length") {
                    field_ = Field::ContentLength;
                    lengthDigits_ = false;
                    lengthValue_ = 0;
                } else {
                    field_ = Field::Ignored;
                }
            } else if (name_.size() < kMaxName) {
                field_ = Field::Name;
                name_ += lower(c);
            } else {
                field_ = Field::Ignored;
            }
            break;
        case Field::TransferEncoding:
            // Blanks around a coding are dropped; one inside it is kept, so
            // that "chun ked" is not taken for "chunked".
            if (c == ',') {
                if (!coding_.empty() || codingTooLong_)
                    lastCoding_ = codingTooLong_ ? "?" : coding_;
                coding_.clear();
                codingTooLong_ = false;
                codingBlank_ = false;
            } else if (isBlank(c)) {
                codingBlank_ = !coding_.empty();
            } else {
                if (codingBlank_ && coding_.size() < kMaxCoding) coding_ += ' ';
                codingBlank_ = false;
                if (coding_.size() < kMaxCoding) {
                    coding_ += lower(c);
                } else {
                    codingTooLong_ = true;
                }
            }
            break;
        case Field::ContentLength:
            if (c >= '0' && c <= '9') {
                if (lengthValue_ > (UINT64_MAX - 9) / 10) {
                    lengthValid_ = false;
                } else {
                    lengthValue_ = lengthValue_ * 10 + static_cast<std::uint64_t>(c - '0');
                }
                lengthDigits_ = true;
            } else if (!isBlank(c)) {
                lengthValid_ = false;
            }
            break;
    }
}

void ReplyEvaluator::headerLineEnd() {
    if (field_ == Field::TransferEncoding) {
        if (!coding_.empty() || codingTooLong_) lastCoding_ = codingTooLong_ ? "?" : coding_;
    } else if (field_ == Field::ContentLength) {
        if (!lengthDigits_) {
            lengthValid_ = false;
        } else if (lengthSeen_ && lengthValue_ != length_) {
            lengthValid_ = false;  // conflicting lengths: wait for the close
        } else {
            length_ = lengthValue_;
        }
        lengthSeen_ = true;
    }
    field_ = Field::Unknown;
    name_.clear();
    coding_.clear();
    codingTooLong_ = false;
    codingBlank_ = false;
}

void ReplyEvaluator::headerFieldsEnd() {
    inBody_ = true;
    chunked_ = lastCoding_ == "chunked";
    hasLength_ = !chunked_ && lengthSeen_ && lengthValid_;
    name_.clear();
    name_.shrink_to_fit();
}

bool ReplyEvaluator::bodyBytes(const char* data, std::size_t n) {
    if (lineComplete_) return true;
    const char* lf = static_cast<const char*>(std::memchr(data, '\n', n));
    const std::size_t take = lf != nullptr ? static_cast<std::size_t>(lf - data) : n;
    for (std::size_t k = 0; k < take && lineLength_ + k < 2; ++k) {
        first_[lineLength_ + k] = data[k];
    }
    if (kept_.size() < keep_) kept_.append(data, std::min(take, keep_ - kept_.size()));
    lineLength_ += take;
    if (lf != nullptr) lineComplete_ = true;
    return lineComplete_;
}

ReplyEvaluator::Verdict ReplyEvaluator::verdict() const {
    if (!any_) return Verdict::Empty;
    if (!inBody_) return Verdict::NoHeaderEnd;
    if (chunked_ && !lineComplete_ && !chunks_.ended()) return Verdict::BadFraming;
    return Verdict::Answer;
}

}  // namespace zelvonet
