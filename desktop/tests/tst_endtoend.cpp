// One send through the real library: the window, sendSMS2 and a peer on the
// loopback interface that plays the HTTP proxy and answers like the gateway.
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include "support.h"

namespace {

// Reads one request up to its blank line, answers "OK" and closes.
class FakePeer : public QObject {
public:
    FakePeer() {
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = server.nextPendingConnection()) {
                ++connections;
                connect(s, &QTcpSocket::readyRead, this, [this, s] {
                    request += s->readAll();
                    if (answered) return;
                    if (request.contains("\n\n") || request.contains("\r\n\r\n")) {
                        answered = true;
                        s->write("HTTP/1.1 200 OK\r\n\r\nOK");
                        s->disconnectFromHost();
                    }
                });
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
    }

    QTcpServer server;
    QByteArray request;
    int connections = 0;
    bool answered = false;
};

}  // namespace

class EndToEndTest : public QObject {
    Q_OBJECT

private slots:
    void sendThroughProxyForm();
};

void EndToEndTest::sendThroughProxyForm() {
    QApplication::setQuitOnLastWindowClosed(false);
    FakePeer peer;
    QVERIFY(peer.server.listen(QHostAddress::LocalHost, 0));  // an ephemeral port

    SendSMS w;  // the library's sendSMS2
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    fillForm(w, QStringLiteral("Gruß\nvom Test"));
    child<QCheckBox>(w, "proxy")->click();
    child<QLineEdit>(w, "proxy_host")->setText(QStringLiteral("127.0.0.1"));
    child<QLineEdit>(w, "proxy_port")->setText(QString::number(peer.server.serverPort()));
    child<QCheckBox>(w, "testSend")->click();

    BoxCloser closer;
    child<QPushButton>(w, "sendButton")->click();
    // The peer runs on this thread: it can answer only because the send does
    // not block the window's thread.
    QTRY_COMPARE_WITH_TIMEOUT(closer.texts.size(), 1, 30000);
    QCOMPARE(closer.texts.first(), QStringLiteral("Antwort vom Server: OK"));
    QCOMPARE(closer.icons.first(), QMessageBox::Information);
    QCOMPARE(peer.connections, 1);

    const QByteArray& r = peer.request;
    QVERIFY2(r.startsWith("GET http://"), r.constData());
    QVERIFY2(r.contains("kdnr=12345"), r.constData());
    QVERIFY2(r.contains("&firma=1&"), r.constData());
    QVERIFY2(r.contains("&user=abc&"), r.constData());
    QVERIFY2(r.contains("&receiver=01711234567"), r.constData());
    QVERIFY2(r.contains("&test=1"), r.constData());
    QVERIFY2(!r.contains("&time="), r.constData());
    // The line break went out as backslash-n, the sharp s as its Latin-1 byte;
    // both URL-encoded by the library.
    QVERIFY2(r.contains("&msg=Gru%df%5cnvom+Test&"), r.constData());
    QTRY_VERIFY_WITH_TIMEOUT(child<QPushButton>(w, "sendButton")->isEnabled(), 5000);
}

QTEST_MAIN(EndToEndTest)
#include "tst_endtoend.moc"
