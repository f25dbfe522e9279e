// The send action: the port check, the twelve arguments handed to the send
// function, the answer box, and what happens while a send is under way.
#include <QCursor>
#include <QGuiApplication>
#include <QtTest>

#include "support.h"

namespace {

constexpr int kWaitMs = 10000;  // upper bound for anything the tests wait for

// Presses the send button and waits until the answer box has been seen.
void sendAndWait(SendSMS& w, BoxCloser& closer) {
    const auto boxesBefore = closer.texts.size();
    child<QPushButton>(w, "sendButton")->click();
    QTRY_VERIFY_WITH_TIMEOUT(closer.texts.size() > boxesBefore, kWaitMs);
}

}  // namespace

class SendTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();

    void portMessage_data();
    void portMessage();

    void arguments();
    void messageConversion_data();
    void messageConversion();
    void proxyArguments_data();
    void proxyArguments();

    void answerBox_data();
    void answerBox();

    void fieldsKeptAndSentAgain();
    void noSecondSendWhileOneRuns();
    void ruleHoldsAfterwards();
    void closingWaitsForTheSend();
};

void SendTest::initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }

void SendTest::portMessage_data() {
    QTest::addColumn<QString>("port");
    QTest::newRow("empty") << QString();
    QTest::newRow("letters after digits") << QStringLiteral("80a");
    QTest::newRow("letters") << QStringLiteral("http");
    QTest::newRow("beyond int") << QStringLiteral("99999999999");
    QTest::newRow("hex") << QStringLiteral("0x50");
}

void SendTest::portMessage() {
    QFETCH(QString, port);
    SendRecorder recorder;
    SendSMS w(nullptr, recorder.function());
    fillForm(w);
    child<QCheckBox>(w, "proxy")->click();
    child<QLineEdit>(w, "proxy_host")->setText(QStringLiteral("proxy.local"));
    child<QLineEdit>(w, "proxy_port")->setText(port);
    BoxCloser closer;
    sendAndWait(w, closer);
    QCOMPARE(closer.texts, QStringList{QStringLiteral("Der Proxy Port hat ein falsches Format!")});
    QCOMPARE(closer.icons.first(), QMessageBox::Critical);
    QCOMPARE(closer.buttons.first().size(), 1);  // only the toolkit's own OK
    QCOMPARE(recorder.started.load(), 0);
    QCOMPARE(child<QLineEdit>(w, "proxy_port")->text(), port);
    QVERIFY(child<QPushButton>(w, "sendButton")->isEnabled());

    // Corrected, the same press sends.
    child<QLineEdit>(w, "proxy_port")->setText(QStringLiteral("8081"));
    sendAndWait(w, closer);
    QCOMPARE(recorder.calls().size(), 1);
    QCOMPARE(recorder.calls().first().proxyPort, 8081);
}

void SendTest::arguments() {
    SendRecorder recorder;
    SendSMS w(nullptr, recorder.function());
    fillForm(w, QStringLiteral("Hallo Welt"));
    BoxCloser closer;
    sendAndWait(w, closer);
    QCOMPARE(recorder.calls().size(), 1);
    SendRecorder::Call c = recorder.calls().first();
    QCOMPARE(c.kdnr, QByteArray("12345"));
    QCOMPARE(c.firma, 1);  // the first item
    QCOMPARE(c.user, QByteArray("abc"));
    QCOMPARE(c.key, QByteArray("geheim"));
    QCOMPARE(c.msg, QByteArray("Hallo Welt"));
    QCOMPARE(c.receiver, QByteArray("01711234567"));
    QVERIFY(c.timeNull);
    QVERIFY(c.proxyHostNull);
    QCOMPARE(c.proxyPort, 0);
    QVERIFY(!c.test);
    QVERIFY(c.answerGiven);
    QCOMPARE(c.answerSize, 100);

    child<QComboBox>(w, "firma")->setCurrentIndex(8);
    child<QCheckBox>(w, "testSend")->click();
    sendAndWait(w, closer);
    c = recorder.calls().last();
    QCOMPARE(c.firma, 9);
    QVERIFY(c.test);
}

void SendTest::messageConversion_data() {
    QTest::addColumn<QString>("receiver");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("sentReceiver");
    QTest::addColumn<QByteArray>("sentMessage");
    const QString r = QStringLiteral("0171");
    QTest::newRow("line break") << r << QStringLiteral("ab\nc") << QByteArray("0171")
                                << QByteArray("ab\\nc");
    QTest::newRow("typed backslash n") << r << QStringLiteral("ab\\nc") << QByteArray("0171")
                                       << QByteArray("ab\\nc");
    QTest::newRow("several breaks") << r << QStringLiteral("\na\n\nb\n") << QByteArray("0171")
                                    << QByteArray("\\na\\n\\nb\\n");
    QTest::newRow("lone blank") << r << QStringLiteral(" ") << QByteArray("0171")
                                << QByteArray(" ");
    QTest::newRow("latin-1 kept") << r << QStringLiteral("Grüße") << QByteArray("0171")
                                  << QByteArray("Gr\xfc\xdf" "e");
    QTest::newRow("euro sign") << QStringLiteral("0171€") << QStringLiteral("5 €")
                               << QByteArray("0171?") << QByteArray("5 ?");
    QTest::newRow("surrogate pair") << r << QString::fromUtf8("a😀b") << QByteArray("0171")
                                    << QByteArray("a??b");
}

void SendTest::messageConversion() {
    QFETCH(QString, receiver);
    QFETCH(QString, message);
    QFETCH(QByteArray, sentReceiver);
    QFETCH(QByteArray, sentMessage);
    SendRecorder recorder;
    SendSMS w(nullptr, recorder.function());
    fillForm(w, message);
    child<QLineEdit>(w, "receiver")->setText(receiver);
    BoxCloser closer;
    sendAndWait(w, closer);
    QCOMPARE(recorder.calls().size(), 1);
    QCOMPARE(recorder.calls().first().receiver, sentReceiver);
    QCOMPARE(recorder.calls().first().msg, sentMessage);
}

void SendTest::proxyArguments_data() {
    QTest::addColumn<bool>("checked");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("port");
    QTest::addColumn<bool>("hostNull");
    QTest::addColumn<QByteArray>("sentHost");
    QTest::addColumn<int>("sentPort");
    QTest::newRow("host and port") << true << QStringLiteral("proxy.local") << QStringLiteral("3128")
                                   << false << QByteArray("proxy.local") << 3128;
    QTest::newRow("empty host") << true << QString() << QStringLiteral("80") << false
                                << QByteArray("") << 80;
    QTest::newRow("no range check") << true << QStringLiteral("p") << QStringLiteral("70000")
                                    << false << QByteArray("p") << 70000;
    QTest::newRow("unchecked ignores fields") << false << QStringLiteral("proxy.local")
                                              << QStringLiteral("80a") << true << QByteArray()
                                              << 0;
}

void SendTest::proxyArguments() {
    QFETCH(bool, checked);
    QFETCH(QString, host);
    QFETCH(QString, port);
    QFETCH(bool, hostNull);
    QFETCH(QByteArray, sentHost);
    QFETCH(int, sentPort);
    SendRecorder recorder;
    SendSMS w(nullptr, recorder.function());
    fillForm(w);
    auto* proxy = child<QCheckBox>(w, "proxy");
    proxy->click();
    child<QLineEdit>(w, "proxy_host")->setText(host);
    child<QLineEdit>(w, "proxy_port")->setText(port);
    if (!checked) proxy->click();
    BoxCloser closer;
    sendAndWait(w, closer);
    QCOMPARE(recorder.calls().size(), 1);
    const SendRecorder::Call c = recorder.calls().first();
    QCOMPARE(c.proxyHostNull, hostNull);
    QCOMPARE(c.proxyHost, sentHost);
    QCOMPARE(c.proxyPort, sentPort);
}

void SendTest::answerBox_data() {
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("fill");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("icon");
    const int text = int(SendRecorder::Fill::Text);
    const QString prefix = QStringLiteral("Antwort vom Server: ");
    QTest::newRow("accepted") << 0 << QByteArray("OK") << text << prefix + QStringLiteral("OK")
                              << int(QMessageBox::Information);
    QTest::newRow("gateway refuses") << 1 << QByteArray("Ungueltiger Key") << text
                                     << prefix + QStringLiteral("Ungueltiger Key")
                                     << int(QMessageBox::Critical);
    QTest::newRow("library error, Latin-1")
        << 1 << QByteArray("[ERROR] Verbindung zum Server aus unbekannten Gr\xfcnden")
        << text << prefix + QStringLiteral("[ERROR] Verbindung zum Server aus unbekannten Gründen")
        << int(QMessageBox::Critical);
    QTest::newRow("99 characters in full")
        << 1 << QByteArray(99, 'e') << text << prefix + QString(99, QLatin1Char('e'))
        << int(QMessageBox::Critical);
    // A result that is neither 0 nor 1 is no success either.
    QTest::newRow("unknown result") << 2 << QByteArray("OK") << text
                                    << prefix + QStringLiteral("OK") << int(QMessageBox::Critical);
    // A send function that leaves the buffer alone, or fills it without a
    // terminator, gives no garbage and no read past the buffer.
    QTest::newRow("buffer untouched") << 1 << QByteArray() << int(SendRecorder::Fill::Nothing)
                                      << prefix << int(QMessageBox::Critical);
    QTest::newRow("buffer unterminated")
        << 1 << QByteArray() << int(SendRecorder::Fill::Unterminated)
        << prefix + QString(100, QLatin1Char('x')) << int(QMessageBox::Critical);
}

void SendTest::answerBox() {
    QFETCH(int, result);
    QFETCH(QByteArray, answer);
    QFETCH(int, fill);
    QFETCH(QString, text);
    QFETCH(int, icon);
    SendRecorder recorder;
    recorder.result = result;
    recorder.answer = answer;
    recorder.fill = SendRecorder::Fill(fill);
    SendSMS w(nullptr, recorder.function());
    fillForm(w);
    BoxCloser closer;
    sendAndWait(w, closer);
    QCOMPARE(closer.texts, QStringList{text});
    QCOMPARE(int(closer.icons.first()), icon);
    QVERIFY(closer.titles.first().isEmpty() ||
            closer.titles.first() == QCoreApplication::applicationName());
    QCOMPARE(closer.buttons.first().size(), 1);
}

void SendTest::fieldsKeptAndSentAgain() {
    SendRecorder recorder;
    SendSMS w(nullptr, recorder.function());
    fillForm(w, QStringLiteral("zwei\nZeilen"));
    child<QCheckBox>(w, "proxy")->click();
    child<QLineEdit>(w, "proxy_host")->setText(QStringLiteral("proxy.local"));
    child<QLineEdit>(w, "proxy_port")->setText(QStringLiteral("3128"));
    child<QCheckBox>(w, "testSend")->click();
    child<QComboBox>(w, "firma")->setCurrentIndex(2);
    BoxCloser closer;
    sendAndWait(w, closer);
    QCOMPARE(child<QLineEdit>(w, "kdnr")->text(), QStringLiteral("12345"));
    QCOMPARE(child<QLineEdit>(w, "kuerzel")->text(), QStringLiteral("abc"));
    QCOMPARE(child<QLineEdit>(w, "key")->text(), QStringLiteral("geheim"));
    QCOMPARE(child<QLineEdit>(w, "receiver")->text(), QStringLiteral("01711234567"));
    QCOMPARE(child<QTextEdit>(w, "message")->toPlainText(), QStringLiteral("zwei\nZeilen"));
    QCOMPARE(child<QComboBox>(w, "firma")->currentIndex(), 2);
    QVERIFY(child<QCheckBox>(w, "testSend")->isChecked());
    QVERIFY(child<QCheckBox>(w, "proxy")->isChecked());
    QVERIFY(child<QLineEdit>(w, "proxy_host")->isEnabled());
    QVERIFY(child<QPushButton>(w, "sendButton")->isEnabled());

    sendAndWait(w, closer);
    QCOMPARE(recorder.calls().size(), 2);
    const auto first = recorder.calls().at(0);
    const auto second = recorder.calls().at(1);
    QCOMPARE(second.msg, QByteArray("zwei\\nZeilen"));
    QCOMPARE(second.msg, first.msg);
    QCOMPARE(second.proxyHost, first.proxyHost);
    QCOMPARE(second.firma, 3);
}

void SendTest::noSecondSendWhileOneRuns() {
    SendRecorder recorder;
    recorder.gated = true;
    SendSMS w(nullptr, recorder.function());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    fillForm(w);
    auto* send = child<QPushButton>(w, "sendButton");
    auto* message = child<QTextEdit>(w, "message");
    BoxCloser closer;
    bool cursorBackWhileOpen = false;
    bool buttonOffWhileOpen = false;
    int startedWhileOpen = -1;
    closer.whileOpen = [&] {
        // The answer is up: the cursor is back, the button stays off until
        // the box is closed, and a send cannot begin.
        cursorBackWhileOpen = QGuiApplication::overrideCursor() == nullptr;
        buttonOffWhileOpen = !send->isEnabled();
        QMetaObject::invokeMethod(&w, "on_sendButton_clicked");
        startedWhileOpen = recorder.started.load();
    };

    QTest::mouseClick(send, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.started.load(), 1, kWaitMs);
    QVERIFY(!send->isEnabled());
    QVERIFY(QGuiApplication::overrideCursor());
    QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);

    // The window goes on reacting; field changes leave the button off, and
    // neither a click nor a direct call of the slot starts another send.
    QTest::keyClicks(message, QStringLiteral(" mehr"));
    QCOMPARE(child<QLabel>(w, "sms_length")->text(), QStringLiteral("Anzahl Zeichen: 10"));
    child<QLineEdit>(w, "kdnr")->setText(QStringLiteral("54321"));
    QVERIFY(!send->isEnabled());
    QTest::mouseClick(send, Qt::LeftButton);
    QVERIFY(QMetaObject::invokeMethod(&w, "on_sendButton_clicked"));
    QTest::qWait(50);
    QCOMPARE(recorder.started.load(), 1);
    QVERIFY(closer.texts.isEmpty());

    recorder.openGate();
    QTRY_COMPARE_WITH_TIMEOUT(closer.texts.size(), 1, kWaitMs);
    QCOMPARE(closer.texts.first(), QStringLiteral("Antwort vom Server: OK"));
    QVERIFY(cursorBackWhileOpen);
    QVERIFY(buttonOffWhileOpen);
    QCOMPARE(startedWhileOpen, 1);
    QTRY_VERIFY_WITH_TIMEOUT(send->isEnabled(), kWaitMs);
    QVERIFY(!QGuiApplication::overrideCursor());
    QCOMPARE(recorder.started.load(), 1);
    // What was sent is what the fields held at the press.
    QCOMPARE(recorder.calls().first().kdnr, QByteArray("12345"));
    QCOMPARE(recorder.calls().first().msg, QByteArray("Hallo"));
}

void SendTest::ruleHoldsAfterwards() {
    SendRecorder recorder;
    recorder.gated = true;
    SendSMS w(nullptr, recorder.function());
    fillForm(w);
    auto* send = child<QPushButton>(w, "sendButton");
    BoxCloser closer;
    QTest::mouseClick(send, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.started.load(), 1, kWaitMs);
    child<QTextEdit>(w, "message")->clear();  // no longer sendable
    recorder.openGate();
    QTRY_COMPARE_WITH_TIMEOUT(closer.texts.size(), 1, kWaitMs);
    QTest::qWait(20);
    QVERIFY(!send->isEnabled());
    child<QTextEdit>(w, "message")->setPlainText(QStringLiteral("neu"));
    QVERIFY(send->isEnabled());
}

void SendTest::closingWaitsForTheSend() {
    SendRecorder recorder;
    recorder.holdMs = 300;
    SendSMS w(nullptr, recorder.function());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    fillForm(w);
    BoxCloser closer;
    QTest::mouseClick(child<QPushButton>(w, "sendButton"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.started.load(), 1, kWaitMs);
    QVERIFY(w.close());
    // close() returned only after the call ended and its answer was shown.
    QCOMPARE(recorder.ended.load(), 1);
    QCOMPARE(closer.texts, QStringList{QStringLiteral("Antwort vom Server: OK")});
    QVERIFY(!w.isVisible());
    QVERIFY(!QGuiApplication::overrideCursor());
    QTest::qWait(50);  // the worker's late report shows nothing a second time
    QCOMPARE(closer.texts.size(), 1);
}

QTEST_MAIN(SendTest)
#include "tst_send.moc"
