// The desktop window under repeated presses: its send runs on a worker
// through the real send core to a loopback peer that answers slowly; the
// test presses send again and again while a send runs and while its answer
// box is open. Never may a second send start while one runs, every press
// that starts a send ends in exactly one answer box, and the process keeps
// its descriptors.
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <cstring>

#include "fake_peer.h"
#include "send_core.h"
#include "sendsms.h"

#include <QLineEdit>
#include <QTextEdit>

namespace {

constexpr int kRounds = 60;

}  // namespace

class DesktopLoad : public QObject {
    Q_OBJECT

  private slots:
    void repeatedPressesNeverOverlap();
};

void DesktopLoad::repeatedPressesNeverOverlap() {
    zelvotest::PeerScript script;
    script.pieces = {"HTTP/1.1 200 OK\r\n", "\r\nOK\n"};
    script.pieceDelayMs = 15;  // each send takes a moment: room for presses
    // Counted once the first send is over (the toolkit opens its own on the
    // way) and again after the last: the sends must not add any.
    int descriptorsBefore = -1;
    int descriptorsAfter = -1;

    std::atomic<int> inFlight{0};
    std::atomic<int> maxInFlight{0};
    std::atomic<int> calls{0};
    QStringList answers;
    int pressesWhileBusy = 0;
    {
        zelvotest::FakePeer peer(script, kRounds);
        const zelvonet::Gateway gw{"127.0.0.1", peer.port(), "/ZelvoServlet"};
        auto viaCore = [&](const char* kdnr, int firma, const char* user, const char* key,
                           const char* msg, const char* receiver, const char* time,
                           const char* proxyHost, int proxyPort, bool test, char* answer,
                           int answerSize) {
            const int now = ++inFlight;
            int seen = maxInFlight;
            while (now > seen && !maxInFlight.compare_exchange_weak(seen, now)) {
            }
            ++calls;
            const zelvonet::Message m{kdnr,     firma, user,      key,       msg,
                                      receiver, time,  proxyHost, proxyPort, test};
            const int r =
                zelvonet::send(m, gw, zelvonet::Timeouts{2000, 2000, 2000}, answer, answerSize)
                    .result;
            --inFlight;
            return r;
        };

        SendSMS window(nullptr, viaCore);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.findChild<QLineEdit*>(QStringLiteral("kdnr"))->setText(QStringLiteral("12345"));
        window.findChild<QLineEdit*>(QStringLiteral("kuerzel"))->setText(QStringLiteral("abc"));
        window.findChild<QLineEdit*>(QStringLiteral("key"))->setText(QStringLiteral("geheim"));
        window.findChild<QLineEdit*>(QStringLiteral("receiver"))
            ->setText(QStringLiteral("01711234567"));
        window.findChild<QTextEdit*>(QStringLiteral("message"))
            ->setPlainText(QStringLiteral("Hallo"));
        auto* button = window.findChild<QPushButton*>(QStringLiteral("sendButton"));
        QVERIFY(button != nullptr);
        QVERIFY(button->isEnabled());

        // Presses as a user would (the button) and past the button (the
        // slot itself, as a queued click would arrive).
        auto pressAll = [&] {
            QTest::mouseClick(button, Qt::LeftButton);
            window.on_sendButton_clicked();
            ++pressesWhileBusy;
        };
        // The answer box: press again while it is open, then close it.
        QTimer closer;
        closer.setInterval(5);
        QObject::connect(&closer, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr || !box->isVisible()) return;
            pressAll();
            answers << box->text();
            box->buttons().first()->click();
        });
        closer.start();

        for (int round = 0; round < kRounds; ++round) {
            QTest::mouseClick(button, Qt::LeftButton);
            for (int i = 0; i < 5 && answers.size() == round; ++i) {
                pressAll();
                QTest::qWait(2);
            }
            QTRY_COMPARE_WITH_TIMEOUT(answers.size(), round + 1, 10000);
            QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled(), 5000);
            if (round == 0) descriptorsBefore = zelvotest::openDescriptors();
        }
        closer.stop();
        descriptorsAfter = zelvotest::openDescriptors();
        QCOMPARE(peer.handled(), static_cast<std::size_t>(kRounds));
    }
    QCOMPARE(maxInFlight.load(), 1);
    QCOMPARE(calls.load(), kRounds);
    for (const QString& a : answers) QCOMPARE(a, QStringLiteral("Antwort vom Server: OK"));
    QVERIFY(pressesWhileBusy > kRounds);
    if (descriptorsBefore >= 0) QCOMPARE(descriptorsAfter, descriptorsBefore);
}

QTEST_MAIN(DesktopLoad)
#include "desktop_load_test.moc"
