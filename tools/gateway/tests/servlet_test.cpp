// The servlet's reading of a query and its verdicts, without a network.
#include <gtest/gtest.h>

#include "accounts.h"
#include "servlet.h"

namespace zelvogw {
namespace {

using Query = std::map<std::string, std::string>;

Query valid() {
    return {{"kdnr", "12345"},   {"firma", "1"},      {"user", "tst"},
            {"key", "geheim"},   {"msg", "Hallo"},    {"receiver", "01711234567"},
            {"ip", "10.0.0.7"},  {"localuser", "eva"}, {"host", "pc7"}};
}

Verdict judge(const Query& q) {
    return evaluate(q, {demoAccount()});
}

TEST(Target, OriginAndAbsoluteFormGiveTheSamePathAndQuery) {
    const Target origin = splitTarget("/ZelvoServlet?kdnr=1&msg=a");
    EXPECT_EQ(origin.path, "/ZelvoServlet");
    EXPECT_EQ(origin.query, "kdnr=1&msg=a");
    const Target absolute = splitTarget("http://localhost:8080/ZelvoServlet?kdnr=1&msg=a");
    EXPECT_EQ(absolute.path, origin.path);
    EXPECT_EQ(absolute.query, origin.query);
    EXPECT_EQ(splitTarget("http://gw.example:8080?x=1").path, "/");
    EXPECT_EQ(splitTarget("/ZelvoServlet").query, "");
    // A "?" inside the query belongs to the query.
    EXPECT_EQ(splitTarget("/ZelvoServlet?a=b?c").query, "a=b?c");
}

TEST(FormDecoding, PlusIsSpaceAndEscapesAreBytesInEitherCase) {
    EXPECT_EQ(formDecode("Hallo+Welt"), "Hallo Welt");
    EXPECT_EQ(formDecode("Gr%fc%DFe"), std::string("Gr\xfc\xdf" "e"));
    EXPECT_EQ(formDecode("%2b49%26%3d%25"), "+49&=%");
    EXPECT_EQ(formDecode("a%00b"), std::string("a\0b", 3));
    EXPECT_EQ(formDecode(""), "");
}

TEST(FormDecoding, BrokenEscapesAreMalformed) {
    for (const char* bad : {"%", "%e", "abc%", "%zz", "%g0", "%0x", "x%%41"}) {
        EXPECT_FALSE(formDecode(bad).has_value()) << bad;
    }
}

TEST(QueryParsing, SplitsAtAmpersandsAndDecodesKeysAndValues) {
    const auto q = parseQuery("kdnr=12345&user=&msg=Gr%fc%dfe+dich&test=1");
    ASSERT_TRUE(q.has_value());
    EXPECT_EQ(q->at("kdnr"), "12345");
    EXPECT_EQ(q->at("user"), "");
    EXPECT_EQ(q->at("msg"), std::string("Gr\xfc\xdf" "e dich"));
    EXPECT_EQ(q->at("test"), "1");
    EXPECT_TRUE(parseQuery("")->empty());
}

TEST(QueryParsing, MalformedQueriesAreRejectedWhole) {
    for (const char* bad : {"kdnr", "kdnr=1&", "&kdnr=1", "=1", "kdnr=1&kdnr=2", "msg=%zz",
                            "kdnr=1&&user=x", "ke%y=1"}) {
        EXPECT_FALSE(parseQuery(bad).has_value()) << bad;
    }
}

TEST(Display, BackslashNIsALineBreakAndCountsOne) {
    EXPECT_EQ(displayText("Zeile 1\\nZeile 2"), "Zeile 1\nZeile 2");
    EXPECT_EQ(displayText("ends with \\"), "ends with \\");
    EXPECT_EQ(displayText("\\\\n"), "\\\n");
    EXPECT_EQ(messageLength("a\\nb"), 3u);
}

TEST(Verdicts, AValidMessageIsAcceptedWithEveryField) {
    Query q = valid();
    q["time"] = "2026-12-24 18:00";
    const Verdict v = judge(q);
    EXPECT_TRUE(v.accepted);
    EXPECT_EQ(v.line, "OK");
    EXPECT_EQ(v.status, 200);
    EXPECT_FALSE(v.submission.test);
    EXPECT_EQ(v.submission.time, "2026-12-24 18:00");
    EXPECT_EQ(v.submission.localuser, "eva");
    EXPECT_EQ(v.submission.host, "pc7");
    EXPECT_EQ(v.submission.ip, "10.0.0.7");
    EXPECT_FALSE(judge(valid()).submission.time.has_value());
}

TEST(Verdicts, ATestSendIsCheckedTheSameWayAndMarked) {
    Query q = valid();
    q["test"] = "1";
    const Verdict ok = judge(q);
    EXPECT_TRUE(ok.accepted);
    EXPECT_TRUE(ok.submission.test);
    q["key"] = "falsch";
    EXPECT_EQ(judge(q).line, answer::kWrongKey);
    EXPECT_FALSE(judge(q).accepted);
}

TEST(Verdicts, EachRefusalHasItsLine) {
    struct Case {
        const char* field;
        const char* value;  // nullptr: the key is left out
        std::string line;
    };
    const Case cases[] = {
        {"kdnr", "99999", "Kunde unbekannt"},
        {"firma", "2", "Kunde unbekannt"},
        {"user", "xyz", "Kunde unbekannt"},
        {"key", "falsch", "Schl\xfcssel falsch"},
        {"key", "geheim ", "Schl\xfcssel falsch"},
        {"key", "", "Schl\xfcssel falsch"},
        {"receiver", nullptr, "Empf\xe4nger fehlt"},
        {"receiver", "", "Empf\xe4nger fehlt"},
        {"receiver", "12", "Empf\xe4nger ung\xfcltig"},
        {"receiver", "0171-1234", "Empf\xe4nger ung\xfcltig"},
        // A raw "+" arrives as a space after form decoding.
        {"receiver", " 491711234567", "Empf\xe4nger ung\xfcltig"},
        {"receiver", "123456789012345678901", "Empf\xe4nger ung\xfcltig"},
        {"msg", nullptr, "Nachricht ist leer"},
        {"msg", "", "Nachricht ist leer"},
    };
    for (const auto& c : cases) {
        Query q = valid();
        if (c.value == nullptr) {
            q.erase(c.field);
        } else {
            q[c.field] = c.value;
        }
        const Verdict v = judge(q);
        EXPECT_FALSE(v.accepted) << c.field;
        EXPECT_EQ(v.line, c.line) << c.field << "=" << (c.value ? c.value : "(absent)");
        EXPECT_EQ(v.status, 200);
    }
    Query plus = valid();
    plus["receiver"] = "+491711234567";
    EXPECT_TRUE(judge(plus).accepted);
}

TEST(Verdicts, TheLimitIs160CharactersWithALineBreakCountingOne) {
    Query q = valid();
    q["msg"] = std::string(160, '\xe4');
    EXPECT_TRUE(judge(q).accepted);
    q["msg"] = std::string(161, 'a');
    EXPECT_EQ(judge(q).line, "Nachricht l\xe4nger als 160 Zeichen");
    // 159 characters and one line break: 161 bytes on the wire, 160 typed.
    q["msg"] = std::string(100, 'a') + "\\n" + std::string(59, 'b');
    EXPECT_TRUE(judge(q).accepted);
    q["msg"] += "c";
    EXPECT_EQ(judge(q).line, answer::kTooLong);
}

TEST(Verdicts, AnUnreadableQueryIsABadRequest) {
    EXPECT_EQ(evaluate(std::nullopt, {demoAccount()}).status, 400);
    for (const char* missing : {"kdnr", "firma", "user", "key"}) {
        Query q = valid();
        q.erase(missing);
        const Verdict v = judge(q);
        EXPECT_EQ(v.status, 400) << missing;
        EXPECT_EQ(v.line, "Anfrage fehlerhaft");
    }
    for (const char* firma : {"", "eins", "1.0", "99999999999", "-"}) {
        Query q = valid();
        q["firma"] = firma;
        EXPECT_EQ(judge(q).status, 400) << firma;
    }
    Query q = valid();
    q["test"] = "0";
    EXPECT_EQ(judge(q).status, 400);
}

TEST(Accounts, ParsedFromTheirWrittenForm) {
    Account a;
    std::string why;
    ASSERT_TRUE(parseAccount("777:-3:M\xc3\xbcller:k:e:y", &a, &why)) << why;
    EXPECT_EQ(a.kdnr, "777");
    EXPECT_EQ(a.firma, -3);
    EXPECT_EQ(a.user, "M\xfcller");  // Latin-1, as it arrives on the wire
    EXPECT_EQ(a.key, "k:e:y");
    for (const char* bad : {"", "1:2:3", ":1:u:k", "1:x:u:k", "1:1:u:", "1&2:1:u:k",
                            "1:1:u:\xe2\x82\xac", "1:1:\xff:k"}) {
        EXPECT_FALSE(parseAccount(bad, &a, &why)) << bad;
        EXPECT_FALSE(why.empty());
    }
}

}  // namespace
}  // namespace zelvogw
