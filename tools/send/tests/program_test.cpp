// zelvo-send as scripts run it, against the real simulator and the loopback
// peer: its exit status, what it prints, what it sends.
#include <gtest/gtest.h>

#include "../../gateway/tests/gateway_fixture.h"
#include "peer.h"

namespace zelvotest {
namespace {

const std::string kOK = "HTTP/1.1 200 OK\r\n\r\nOK";
const std::string kUnknown =
    "\nzelvo-send: the request went out but no answer came back; the message may have been "
    "delivered";

TEST(Send, ExitStatusOutputAndRequestForEachOutcome) {
    Simulator sim;
    ASSERT_NE(sim.port(), 0);
    std::ofstream(sim.dir() + "/key") << "g\xc3\xa9 heim&\n";
    const struct {
        // For a shell: $S sends to the simulator, $P to the peer, $N to where nothing
        // listens, all with the account's options $A; $SEND alone, $G that last gateway.
        std::string command;
        int status;
        std::string out;
        std::string err;           // a part of standard error; "" when there must be none
        Peer::Handler peer = {};   // the peer at $P
        std::string request = "";  // what the peer must receive, the local facts as I, U and H
    } runs[] = {
        {"$S Grüße aus Köln", 0, "OK\n", ""},
        {"ZELVONET_KEY=falsch $S Hallo", 1, "Schlüssel falsch\n", ""},
        {"$SEND $G $A --proxy $SIM über Proxy", 0, "OK\n", ""},
        {"ZELVONET_KEY=falsch $SEND --gateway $PEER --kdnr '12#3' --firma -3 --user Jürgen --to "
         "'+49 171/123-4567' --test --time '24.12.2026 18:00+01' --key-file $KEYFILE -- --key "
         "'100%' '&' mehr",
         0, "OK\n", "", replying({kOK}),
         "GET /ZelvoServlet?kdnr=12%233&firma=-3&user=J%fcrgen&key=g%e9+heim%26&msg=%2d%2dkey+"
         "100%25+%26+mehr&receiver=%2b491711234567&time=24.12.2026%2018:00%2b01&ip=I&localuser=U&"
         "host=H&test=1 HTTP/1.1\nHOST: 127.0.0.1\nConnection: close\n\n"},
        {"printf 'Zeile 1\\r\\n5 € \xf0\x9f\x98\x80\\n' | $P --replace", 0, "OK\n", "",
         replying({kOK}),
         "GET /ZelvoServlet?kdnr=12345&firma=1&user=tst&key=geheim&msg=Zeile+1%5cn5+%3f+%3f%3f&"
         "receiver=01711234567&ip=I&localuser=U&host=H HTTP/1.1\nHOST: 127.0.0.1\nConnection: "
         "close\n\n"},
        {"$P x", 1, "Preis 5 €, „zitat“ \\x0d\n", "",
         replying({"HTTP/1.1 500 Error\r\n\r\nPreis 5 \x80, \x84zitat\x93 \r\n"})},
        {"$P x", 3, "",
         "zelvo-send: [ERROR] Verbindung zum Server aus unbekannten Gründen fehlgeschlagen" +
             kUnknown,
         replying({})},
        {"$P --timeout 1 x", 3, "",
         "[ERROR] Keine Antwort von 127.0.0.1 - Versand ungewiss" + kUnknown, replying({""}, 2500)},
        {"$N x", 2, "",
         "[ERROR] Verbindung konnte nicht etabliert werden: 127.0.0.1 reagiert nicht\nzelvo-send: "
         "nothing was sent\n"},
        {"unset ZELVONET_KEY; $N --key geheim x", 64, "", "there is no --key option"},
        {"$N --key=geheim x", 64, "", "there is no --key option"},
        {"unset ZELVONET_KEY; $N x", 64, "", "no key: set ZELVONET_KEY"},
        {"$N --key-file $KEYFILE.none x", 2, "", "cannot read the key file"},
        {"$N 5 €", 64, "", "the message holds U+20AC"},
        {"$SEND $G --kdnr 1 --user t --to 0171123 x", 64, "", "--firma is required"},
        {"$SEND $G --kdnr 1 --firma 1 --user t --to '0171&k=x' x", 64, "", "--to wants"},
        {"$SEND $G --kdnr '1 2' --firma 1 --user t --to 0171123 x", 64, "", "--kdnr may hold"},
        {"$SEND $G --kdnr 1 --firma 1 --user Jürgen€ --to 0171123 x", 64, "",
         "--user holds U+20AC"},
        {"$N --proxy 127.0.0.1 x", 64, "", "--proxy wants HOST:PORT"},
        {"$N --timeout 0 x", 64, "", "--timeout"},
        {"$SEND --gateway 127.0.0.1:0 $A x", 64, "", "--gateway wants HOST"},
    };
    const std::string shell =
        "export ZELVONET_KEY=geheim SEND=" ZELVO_SEND_BIN " SIM=" + sim.where() +
        " KEYFILE=" + sim.dir() + "/key G=--gateway=127.0.0.1:" + std::to_string(closedPort()) +
        " A='--kdnr 12345 --firma 1 --user tst --to 01711234567'; "
        "S=\"$SEND --gateway $SIM $A\" P=\"$SEND --gateway $PEER $A\" N=\"$SEND $G $A\"; ";
    for (const auto& r : runs) {
        std::unique_ptr<Peer> peer = r.peer ? std::make_unique<Peer>(r.peer) : nullptr;
        const std::string at = "127.0.0.1:" + std::to_string(peer ? peer->port() : 0);
        const Finished f = run({"/bin/sh", "-c", "PEER=" + at + " " + shell + r.command});
        EXPECT_EQ(f.status, r.status) << r.command << ": " << f.err;
        EXPECT_EQ(f.out, r.out) << r.command;
        EXPECT_TRUE(r.err.empty() ? f.err.empty() : f.err.find(r.err) != std::string::npos)
            << r.command << ": " << f.err;
        EXPECT_EQ((f.out + f.err).find("geheim"), std::string::npos) << "the key was shown";
        if (!r.request.empty()) {
            EXPECT_EQ(blank(peer->request(), "&ip=[^&]*&localuser=[^&]*&host=[^& ]*",
                            "&ip=I&localuser=U&host=H"),
                      r.request);
        }
    }
    EXPECT_EQ(run({ZELVO_SEND_BIN, "--help"}).status, 0);
    EXPECT_EQ(run({ZELVO_SEND_BIN, "--version"}).out, "zelvo-send " ZELVO_VERSION "\n");
}

}  // namespace
}  // namespace zelvotest
