// The window with a recording stand-in for sendSMS2 (the enabling rule, the
// counter, the key filter, the arguments of the call, the boxes, closing
// during a send), then with the library's sendSMS2 against a loopback proxy.
#include <atomic>
#include <cstring>
#include <regex>

#include "peer.h"
#include "support.h"

namespace {

// Stands in for sendSMS2: notes the twelve arguments of each call as one line
// ("null" for a null pointer), holds the call `holdMs`, then copies `answer`
// with its NUL into the buffer (cut at the buffer's size) and returns `result`.
struct Recorder {
    int result = 0;
    QByteArray answer = "OK";
    unsigned long holdMs = 0;
    QByteArrayList calls;  // written before `started` counts the call
    std::atomic<int> started{0}, ended{0};

    SendSMS::SendFunction function() {
        return [this](const char* kdnr, int firma, const char* user, const char* key,
                      const char* msg, const char* receiver, const char* time,
                      const char* proxyHost, int proxyPort, bool test, char* buffer, int size) {
            const auto s = [](const char* p) { return QByteArray(p ? p : "null"); };
            const auto n = [](int i) { return QByteArray::number(i); };
            calls << QByteArrayList{s(kdnr),      n(firma),    s(user), s(key),
                                    s(msg),       s(receiver), s(time), s(proxyHost),
                                    n(proxyPort), n(test),     n(size)}
                         .join('|');
            ++started;
            QThread::msleep(holdMs);
            std::memcpy(buffer, answer.constData(), size_t(qMin(int(answer.size()) + 1, size)));
            ++ended;
            return result;
        };
    }
};

}  // namespace

class WindowTest : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() {
        QApplication::setQuitOnLastWindowClosed(false);
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));  // groups digits
    }

    void rule_data() {
        QTest::addColumn<QStringList>("edits");  // applied to a complete form
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<int>("counted");
        const QString m = QStringLiteral("message=");
        QTest::newRow("complete") << QStringList() << true << 5;
        for (const char* field : {"kdnr", "kuerzel", "key", "receiver"})
            QTest::newRow(field) << QStringList{field + QStringLiteral("=")} << false << 5;
        QTest::newRow("empty message") << QStringList{m} << false << 0;
        QTest::newRow("one blank") << QStringList{m + ' '} << true << 1;
        QTest::newRow("line break counts one") << QStringList{m + "ab\nc"} << true << 4;
        QTest::newRow("160") << QStringList{m + QString(160, 'm')} << true << 160;
        QTest::newRow("161") << QStringList{m + QString(161, 'm')} << false << 161;
        QTest::newRow("surrogate pair counts two")
            << QStringList{m + QString(159, 'm') + QString::fromUtf8("😀")} << false << 161;
        QTest::newRow("no digit grouping") << QStringList{m + QString(1234, 'z')} << false << 1234;
        QTest::newRow("other fields play no part")
            << QStringList{"proxy=1", "proxy_port=kein Port", "testSend=1", "firma=9"} << true << 5;
        QTest::newRow("proxy off again") << QStringList{"proxy=1", "proxy=0"} << true << 5;
    }
    void rule() {
        QFETCH(QStringList, edits);
        QFETCH(int, counted);
        SendSMS w;
        fillForm(w);
        edit(w, edits);
        QTEST(sendButton(w)->isEnabled(), "enabled");
        const bool proxy = w.findChild<QCheckBox*>("proxy")->isChecked();  // its fields follow it
        QCOMPARE(w.findChild<QLineEdit*>("proxy_host")->isEnabled(), proxy);
        QCOMPARE(w.findChild<QLineEdit*>("proxy_port")->isEnabled(), proxy);
        QCOMPARE(w.findChild<QLabel*>("sms_length")->text(),
                 "Anzahl Zeichen: " + QString::number(counted));
    }

    void keyFilter() {
        SendSMS w;
        fillForm(w);
        auto* message = w.findChild<QTextEdit*>("message");
        message->setPlainText(QString(158, 'm'));
        message->moveCursor(QTextCursor::End);
        // A compressed auto-repeat that would pass 160 is swallowed whole.
        QKeyEvent three(QEvent::KeyPress, Qt::Key_X, Qt::NoModifier, "xxx", true, 3);
        QApplication::sendEvent(message, &three);
        QTest::keyClicks(message, "ab");  // 160: from here on typing is held
        const int end = message->textCursor().position();
        for (Qt::Key key : {Qt::Key_C, Qt::Key_Return, Qt::Key_Tab, Qt::Key_Left, Qt::Key_Home})
            QTest::keyClick(message, key);
        QTest::keyClick(message, Qt::Key_A, Qt::ControlModifier);
        QCOMPARE(message->toPlainText(), QString(158, 'm') + "ab");
        QCOMPARE(message->textCursor().position(), end);
        QVERIFY(!message->textCursor().hasSelection());
        // Backspace and Delete still work at 160.
        QTest::keyClick(message, Qt::Key_Backspace);
        QTest::keyClick(message, Qt::Key_Z);
        message->moveCursor(QTextCursor::Start);
        QTest::keyClick(message, Qt::Key_Delete);
        QCOMPARE(message->toPlainText(), QString(157, 'm') + "az");
        // A paste is not held; the rule keeps the long message from being sent.
        QApplication::clipboard()->setText(QString(71, 'p'));
        QTest::keyClick(message, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(message->toPlainText().size(), 230);
        QVERIFY(!sendButton(w)->isEnabled());
    }

    void arguments_data() {
        QTest::addColumn<QStringList>("edits");  // applied to a complete form
        QTest::addColumn<QByteArray>("call");  // the arguments, the buffer by its size; "" refused
        const auto row = [](const char* name, const QStringList& edits, const char* call) {
            QTest::newRow(name) << edits << QByteArray(call);
        };
        row("plain", {}, "1|1|u|k|Hallo|0171|null|null|0|0|100");
        row("latin-1, other characters as ?",
            {"kdnr=ä€", "kuerzel=ö€", "key=ß€", "receiver=0171€", "message=Grüß 5 € 😀"},
            "\xe4?|1|\xf6?|\xdf?|Gr\xfc\xdf 5 ? ??|0171?|null|null|0|0|100");
        row("line feeds as backslash n", {"message=\na\\n\n\nb"},
            "1|1|u|k|\\na\\n\\n\\nb|0171|null|null|0|0|100");
        row("one blank", {"message= "}, "1|1|u|k| |0171|null|null|0|0|100");
        row("company, test", {"firma=9", "testSend=1"}, "1|9|u|k|Hallo|0171|null|null|0|1|100");
        row("proxy, port unchecked", {"proxy=1", "proxy_host=p", "proxy_port=70000"},
            "1|1|u|k|Hallo|0171|null|p|70000|0|100");
        row("proxy, empty host", {"proxy=1", "proxy_port=80"}, "1|1|u|k|Hallo|0171|null||80|0|100");
        row("proxy off and on, fields kept",
            {"proxy=1", "proxy_host=p", "proxy_port=1", "proxy=0", "proxy=1"},
            "1|1|u|k|Hallo|0171|null|p|1|0|100");
        row("no proxy, fields ignored", {"proxy_host=p", "proxy_port=80a"},
            "1|1|u|k|Hallo|0171|null|null|0|0|100");
        for (const char* port : {"", "80a", "0x50", "99999999999"})
            row(port, {"proxy=1", "proxy_host=p", QStringLiteral("proxy_port=") + port}, "");
    }
    void arguments() {
        QFETCH(QStringList, edits);
        QFETCH(QByteArray, call);
        Recorder recorder;
        SendSMS w(nullptr, recorder.function());
        fillForm(w);
        edit(w, edits);
        BoxCloser closer;
        press(w, closer);
        press(w, closer);  // the fields kept their contents: the same again
        const bool sent = !call.isEmpty();
        QCOMPARE(recorder.calls, sent ? QByteArrayList({call, call}) : QByteArrayList());
        QCOMPARE(closer.texts, QStringList(2, sent ? "Antwort vom Server: OK"
                                                   : "Der Proxy Port hat ein falsches Format!"));
        QCOMPARE(closer.icons, QList<QMessageBox::Icon>(
                                   2, sent ? QMessageBox::Information : QMessageBox::Critical));
    }

    void answerBox_data() {
        QTest::addColumn<int>("result");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QMessageBox::Icon>("icon");
        const QString prefix = QStringLiteral("Antwort vom Server: ");
        QTest::newRow("1, Latin-1") << 1 << QByteArray("[ERROR] Gr\xfcnde")
                                    << prefix + "[ERROR] Gründe" << QMessageBox::Critical;
        QTest::newRow("2") << 2 << QByteArray("Nein") << prefix + "Nein"
                           << QMessageBox::Information;
        // The answer is read no further than the buffer, terminated or not.
        QTest::newRow("unterminated")
            << 1 << QByteArray(130, 'x') << prefix + QString(100, 'x') << QMessageBox::Critical;
    }
    void answerBox() {
        QFETCH(int, result);
        QFETCH(QByteArray, answer);
        Recorder recorder;
        recorder.result = result;
        recorder.answer = answer;
        SendSMS w(nullptr, recorder.function());
        fillForm(w);
        BoxCloser closer;
        press(w, closer);
        QTEST(closer.texts.join(u'|'), "text");  // one box
        QTEST(closer.icons.first(), "icon");
    }

    void closingDuringSend() {
        Recorder recorder;
        recorder.holdMs = 500;
        SendSMS w(nullptr, recorder.function());
        w.show();
        fillForm(w);
        BoxCloser closer;
        sendButton(w)->click();
        QTRY_COMPARE_WITH_TIMEOUT(recorder.started.load(), 1, 10000);
        // The send runs on: the window reacts, the button stays off, a wait cursor shows.
        QCOMPARE(recorder.ended.load(), 0);
        edit(w, {"kdnr=2"});
        QVERIFY(!sendButton(w)->isEnabled());
        QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
        edit(w, {"message="});
        QVERIFY(w.close());
        // close() returned once the call had ended and its answer had been shown.
        QCOMPARE(recorder.ended.load(), 1);
        QCOMPARE(closer.texts, QStringList{"Antwort vom Server: OK"});
        QVERIFY(!QGuiApplication::overrideCursor());
        QTest::qWait(50);  // the worker's late report shows nothing a second time
        QCOMPARE(closer.texts.size(), 1);
        QVERIFY(!sendButton(w)->isEnabled());  // the rule holds again: no message
    }

    void repeatedPresses() {
        constexpr int kRounds = 60;
        // Each send takes a moment: room for presses while it runs. A second
        // send would take a connection meant for a later round, whose send
        // would then wait in vain for its answer.
        zelvotest::Peer peer(zelvotest::replying({"HTTP/1.1 200 OK\r\n", "\r\nOK\n"}, 15), kRounds);
        SendSMS w;  // the library's sendSMS2
        w.show();
        fillForm(w);
        edit(w, {"message=Gruß\nvom Test", "testSend=1", "proxy=1", "proxy_host=127.0.0.1",
                 "proxy_port=" + QString::number(peer.port())});
        int presses = 0;
        // Presses as a user would (the button) and past it (the slot, as a
        // queued click would arrive).
        const auto pressTwice = [&] {
            QTest::mouseClick(sendButton(w), Qt::LeftButton);
            w.on_sendButton_clicked();
            ++presses;
        };
        BoxCloser closer;
        bool cursorBack = true;
        closer.whileOpen = [&] {
            cursorBack = cursorBack && !QGuiApplication::overrideCursor();
            pressTwice();
        };
        // Counted once the first send is over (the toolkit opens its own on
        // the way) and again after the last: the sends must not add any.
        int descriptors = -1;
        for (int round = 0; round < kRounds; ++round) {
            QTest::mouseClick(sendButton(w), Qt::LeftButton);
            for (int i = 0; i < 5 && closer.texts.size() == round; ++i, QTest::qWait(2))
                pressTwice();
            QTRY_COMPARE_WITH_TIMEOUT(closer.texts.size(), round + 1, 10000);
            QTRY_VERIFY_WITH_TIMEOUT(sendButton(w)->isEnabled(), 5000);
            if (round == 0) descriptors = zelvotest::openDescriptors();
        }
        QCOMPARE(closer.texts, QStringList(kRounds, "Antwort vom Server: OK"));
        QCOMPARE(closer.icons, QList<QMessageBox::Icon>(kRounds, QMessageBox::Information));
        QVERIFY(presses > kRounds);
        QVERIFY(cursorBack);
        if (descriptors >= 0) QCOMPARE(zelvotest::openDescriptors(), descriptors);
        const std::string request = std::regex_replace(
            peer.request(0), std::regex("&ip=[^&]*&localuser=[^&]*&host=[^& ]*"), "");
        QCOMPARE(QByteArray::fromStdString(request),
                 QByteArray("GET http://localhost:8080/ZelvoServlet?kdnr=1&firma=1&user=u&key=k"
                            "&msg=Gru%df%5cnvom+Test&receiver=0171&test=1 HTTP/1.1\n"
                            "HOST: localhost\nConnection: close\n\n"));
    }
};

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
