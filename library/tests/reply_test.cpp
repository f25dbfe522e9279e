// Reply evaluation: which line is the gateway's answer and when it is
// settled, one table run whole, in pieces of three bytes and byte by byte.
#include <gtest/gtest.h>

#include <string>

#include "reply.h"

using zelvonet::ReplyEvaluator;
using V = ReplyEvaluator::Verdict;

namespace {

const std::string H = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n";
const std::string TE = "HTTP/1.1 200\r\nTransfer-Encoding: chunked\r\n\r\n";
const std::string CL = "HTTP/1.1 200\r\nContent-Length: ";
// Codings before a body that reads "OK" once decoded, and "2\r" taken literally.
const std::string CODED = "HTTP/1.1 200\r\nTransfer-Encoding: ";
const std::string CHUNKS = "\r\n\r\n2\r\nOK\r\n0\r\n\r\n";

struct Case {
    const char* label;
    std::string reply;
    V verdict;
    std::string answer;
    bool ok;       // the whole line is exactly "OK"
    bool settled;  // no later byte could change it: the call need not wait for the close
};

const Case kCases[] = {
    {"OK without line end", H + "OK", V::Answer, "OK", true, false},
    {"OK LF and more lines", H + "OK\nsecond\nthird", V::Answer, "OK", true, true},
    {"CR belongs to the line", H + "OK\r\n", V::Answer, "OK\r", false, true},
    {"empty body", H, V::Answer, "", false, false},
    {"empty first line", H + "\nOK", V::Answer, "", false, true},
    {"gateway's own line", H + "Falscher Key\n", V::Answer, "Falscher Key", false, true},
    {"OK with trailing blank", H + "OK \n", V::Answer, "OK ", false, true},
    {"lower-case ok", H + "ok\n", V::Answer, "ok", false, true},
    {"OKAY is not OK", H + "OKAY", V::Answer, "OKAY", false, false},
    {"404 page's first line", "HTTP/1.1 404 Not Found\r\n\r\n<html>\n<body>", V::Answer, "<html>",
     false, true},
    {"500 with OK body still OK", "HTTP/1.1 500 Oops\r\n\r\nOK", V::Answer, "OK", true, false},
    {"first blank line counts", H + "\r\n\r\nOK", V::Answer, "\r", false, true},
    {"LF-only headers", "HTTP/1.1 200 OK\nContent-Length: 2\n\nOK\n", V::NoHeaderEnd, "", false,
     false},
    {"nothing", "", V::Empty, "", false, false},
    {"headers never end", "HTTP/1.1 200 OK\r\nX: y\r\n", V::NoHeaderEnd, "", false, false},
    {"no status line at all", "\r\n\r\nOK", V::Answer, "OK", true, false},
    {"stray CR before the blank line", "HTTP/1.1 200\r\r\n\r\nOK", V::Answer, "OK", true, false},
    {"NUL inside the line", H + std::string("O\0K", 3), V::Answer, std::string("O\0K", 3), false,
     false},
    // A body in the chunked coding is decoded before the line is taken.
    {"chunked OK", TE + "2\r\nOK\r\n0\r\n\r\n", V::Answer, "OK", true, true},
    {"chunked split line", TE + "1\r\nO\r\n1\r\nK\r\n0\r\n\r\n", V::Answer, "OK", true, true},
    {"chunked in any case",
     "HTTP/1.1 200\r\ntransfer-ENCODING:  CHUNKED \r\n\r\n2\r\nOK\r\n0\r\n\r\n", V::Answer, "OK",
     true, true},
    {"chunked last of several",
     "HTTP/1.1 200\r\nTransfer-Encoding: gzip, chunked\r\n\r\n2\r\nOK\r\n0\r\n\r\n", V::Answer,
     "OK", true, true},
    {"chunked last of two fields",
     "HTTP/1.1 200\r\nTransfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n"
     "3\r\nOK\n\r\n0\r\n\r\n",
     V::Answer, "OK", true, true},
    {"chunked not last: literal",
     "HTTP/1.1 200\r\nTransfer-Encoding: chunked, gzip\r\n\r\n2\r\nOK\r\n0\r\n\r\n", V::Answer,
     "2\r", false, true},
    {"xchunked: literal", CODED + "xchunked" + CHUNKS, V::Answer, "2\r", false, true},
    {"chunkedx: literal", CODED + "chunkedx" + CHUNKS, V::Answer, "2\r", false, true},
    {"chun ked: literal", CODED + "chun ked" + CHUNKS, V::Answer, "2\r", false, true},
    {"chunked, then a field with gzip: literal",
     CODED + "chunked\r\nTransfer-Encoding: gzip" + CHUNKS, V::Answer, "2\r", false, true},
    {"chunk extension, upper-case hex", TE + "A;x=1\r\nOK\nmore..\r\n0\r\n\r\n", V::Answer, "OK",
     true, true},
    {"chunk lines ending in LF alone", TE + "2\nOK\n0\r\n\r\n", V::Answer, "OK", true, true},
    {"chunk size with leading zeros", TE + "0002\r\nOK\r\n0\r\n\r\n", V::Answer, "OK", true, true},
    {"chunked empty body", TE + "0\r\n\r\n", V::Answer, "", false, true},
    {"chunk size not hex", TE + "zz\r\nOK\r\n0\r\n\r\n", V::BadFraming, "", false, true},
    {"chunk data too long", TE + "1\r\nOK\r\n0\r\n\r\n", V::BadFraming, "O", false, true},
    {"chunk size 2^64", TE + "10000000000000000\r\nOK\r\n", V::BadFraming, "", false, true},
    {"chunk size 2^64 - 1", TE + "ffffffffffffffff\r\nOK\r\n", V::BadFraming, "", false, true},
    {"chunk size 2^60 - 1, cut off", TE + "fffffffffffffff\r\nOK", V::BadFraming, "OK", false,
     false},
    {"chunk data without its CR LF", TE + "2\r\nOK0\r\n\r\n", V::BadFraming, "OK", false, true},
    {"chunked cut off", TE + "5\r\nOK", V::BadFraming, "OK", false, false},
    {"chunked no body", TE, V::BadFraming, "", false, false},
    // Content-Length ends the body early but never cuts bytes that arrived.
    {"length matches", CL + "2\r\n\r\nOK", V::Answer, "OK", true, true},
    {"length zero", CL + "0\r\n\r\n", V::Answer, "", false, true},
    {"length not a number", CL + "2x\r\n\r\nOK", V::Answer, "OK", true, false},
    {"length 2^64", CL + "18446744073709551616\r\n\r\nOK", V::Answer, "OK", true, false},
    // Lengths that disagree are not trusted, in either order: the body ends
    // with the close. Equal ones count as one.
    {"lengths 2, 4", CL + "2\r\nContent-Length: 4\r\n\r\nOKAY", V::Answer, "OKAY", false, false},
    {"lengths 4, 2", CL + "4\r\nContent-Length: 2\r\n\r\nOKAY", V::Answer, "OKAY", false, false},
    {"lengths 2, 4, 4", CL + "2\r\nContent-Length: 4\r\nContent-Length: 4\r\n\r\nOKAY", V::Answer,
     "OKAY", false, false},
    {"lengths 4, 4", CL + "4\r\nContent-Length: 4\r\n\r\nOKAY", V::Answer, "OKAY", false, true},
    {"length beyond the body", CL + "99999999999\r\n\r\nNein", V::Answer, "Nein", false, false},
    {"16 MiB header line, then the coding",
     "HTTP/1.1 200\r\nX-Long: " + std::string(16u << 20, 'h') + "\r\n" + TE.substr(14) +
         "2\r\nOK\r\n0\r\n\r\n",
     V::Answer, "OK", true, true},
    {"chunked wins over length",
     "HTTP/1.1 200\r\nContent-Length: 1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nOK\r\n0\r\n\r\n",
     V::Answer, "OK", true, true},
};

struct Evaluated {
    V verdict;
    std::string answer;
    bool ok;
    bool settled;
};

Evaluated evaluate(const std::string& reply, std::size_t keep, std::size_t piece) {
    ReplyEvaluator r(keep);
    bool settled = false;
    for (std::size_t i = 0; i < reply.size() && !settled; i += piece) {
        settled = r.feed(reply.data() + i, std::min(piece, reply.size() - i));
    }
    return {r.verdict(), r.answer(), r.verdict() == V::Answer && r.answerIsOK(), settled};
}

TEST(ReplyEvaluator, WholeInPiecesAndByteByByte) {
    for (const Case& c : kCases) {
        for (std::size_t piece : {c.reply.size() + 1, std::size_t{3}, std::size_t{1}}) {
            const Evaluated e = evaluate(c.reply, 99, piece);
            const std::string where = std::string(c.label) + ", pieces of " + std::to_string(piece);
            EXPECT_EQ(e.verdict, c.verdict) << where;
            EXPECT_EQ(e.answer, c.answer) << where;
            EXPECT_EQ(e.ok, c.ok) << where;
            EXPECT_EQ(e.settled, c.settled) << where;
        }
    }
}

TEST(ReplyEvaluator, BytesAfterTheEndOfTheBody) {
    // Content-Length reached: bytes that arrived together with the last ones
    // count; later ones are not waited for and change nothing.
    ReplyEvaluator r(99);
    EXPECT_FALSE(r.feed("HTTP/1.1 200\r\nContent-Length: 2\r\n\r\nO", 36));
    EXPECT_TRUE(r.feed("KAY", 3));
    EXPECT_EQ(r.answer(), "OKAY");
    EXPECT_TRUE(r.feed("\nmore", 5));
    EXPECT_EQ(r.answer(), "OKAY");
    EXPECT_FALSE(r.answerIsOK());
}

TEST(ReplyEvaluator, KeepsOnlyWhatTheCallerCanTake) {
    const std::string line(150, 'z');
    for (std::size_t keep : {0u, 1u, 2u, 99u, 200u}) {
        EXPECT_EQ(evaluate(H + line + "\nrest", keep, 7).answer, line.substr(0, keep)) << keep;
    }
    // Whether the line is "OK" is decided on the whole line, whatever is kept.
    EXPECT_TRUE(evaluate(H + "OK", 0, 1).ok);
    EXPECT_TRUE(evaluate(H + "OK", 1, 1).ok);
    EXPECT_FALSE(evaluate(H + "OKx", 2, 1).ok);
}

}  // namespace
