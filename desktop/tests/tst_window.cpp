// The window's reactions to typing: the enabling rule of the send button,
// the key filter at 160 characters, the character counter and the proxy
// switch.
#include <QClipboard>
#include <QKeyEvent>
#include <QLocale>
#include <QtTest>

#include "support.h"

class WindowTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();

    void enablingRuleLineEdits_data();
    void enablingRuleLineEdits();
    void enablingRuleMessageLength_data();
    void enablingRuleMessageLength();
    void enablingRuleIgnoresOtherFields();

    void keyFilterAtLimit();
    void keyFilterRepeatCount();
    void keyFilterLeavesPasteToTheRule();
    void keyFilterOnlyForTheMessage();

    void counter_data();
    void counter();

    void proxyToggle();
};

void WindowTest::initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }

void WindowTest::enablingRuleLineEdits_data() {
    QTest::addColumn<QString>("field");
    for (const char* name : {"kdnr", "kuerzel", "key", "receiver"})
        QTest::newRow(name) << QString::fromLatin1(name);
}

void WindowTest::enablingRuleLineEdits() {
    QFETCH(QString, field);
    SendSMS w;
    auto* send = child<QPushButton>(w, "sendButton");
    fillForm(w);
    QVERIFY(send->isEnabled());
    auto* edit = w.findChild<QLineEdit*>(field);
    const QString before = edit->text();
    edit->clear();
    QVERIFY(!send->isEnabled());
    QTest::keyClick(edit, Qt::Key_1);
    QVERIFY(send->isEnabled());
    QTest::keyClick(edit, Qt::Key_Backspace);
    QVERIFY(!send->isEnabled());
    edit->setText(before);
    QVERIFY(send->isEnabled());
}

void WindowTest::enablingRuleMessageLength_data() {
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("enabled");
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("one") << QStringLiteral("a") << true;
    QTest::newRow("lone blank") << QStringLiteral(" ") << true;
    QTest::newRow("line break only") << QStringLiteral("\n") << true;
    QTest::newRow("160") << QString(160, QLatin1Char('m')) << true;
    QTest::newRow("161") << QString(161, QLatin1Char('m')) << false;
    QTest::newRow("230") << QString(230, QLatin1Char('m')) << false;
    // 159 letters and one character outside the BMP: two code units, 161.
    QTest::newRow("surrogate pair over") << QString(159, QLatin1Char('m')) + QString::fromUtf8("😀")
                                         << false;
    QTest::newRow("surrogate pair at") << QString(158, QLatin1Char('m')) + QString::fromUtf8("😀")
                                       << true;
}

void WindowTest::enablingRuleMessageLength() {
    QFETCH(QString, message);
    QFETCH(bool, enabled);
    SendSMS w;
    fillForm(w, message);
    QCOMPARE(child<QPushButton>(w, "sendButton")->isEnabled(), enabled);
}

void WindowTest::enablingRuleIgnoresOtherFields() {
    SendSMS w;
    auto* send = child<QPushButton>(w, "sendButton");
    // Proxy, company and test flag neither enable nor block the button.
    child<QCheckBox>(w, "proxy")->click();
    child<QCheckBox>(w, "testSend")->click();
    child<QComboBox>(w, "firma")->setCurrentIndex(8);
    QVERIFY(!send->isEnabled());
    fillForm(w);
    QVERIFY(send->isEnabled());
    child<QLineEdit>(w, "proxy_port")->setText(QStringLiteral("not a port"));
    QVERIFY(send->isEnabled());
}

void WindowTest::keyFilterAtLimit() {
    SendSMS w;
    fillForm(w, QString(159, QLatin1Char('m')));
    auto* message = child<QTextEdit>(w, "message");
    message->moveCursor(QTextCursor::End);
    QTest::keyClick(message, Qt::Key_A);
    QCOMPARE(message->toPlainText().size(), 160);
    QVERIFY(child<QPushButton>(w, "sendButton")->isEnabled());

    const int cursorAtEnd = message->textCursor().position();
    QTest::keyClick(message, Qt::Key_B);
    QTest::keyClick(message, Qt::Key_Return);
    QTest::keyClick(message, Qt::Key_Enter);
    QTest::keyClick(message, Qt::Key_Tab);
    QTest::keyClick(message, Qt::Key_Left);
    QTest::keyClick(message, Qt::Key_Up);
    QTest::keyClick(message, Qt::Key_Home);
    QTest::keyClick(message, Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(message->toPlainText(), QString(159, QLatin1Char('m')) + QLatin1Char('a'));
    QCOMPARE(message->textCursor().position(), cursorAtEnd);  // arrows swallowed too
    QVERIFY(!message->textCursor().hasSelection());

    QTest::keyClick(message, Qt::Key_Backspace);
    QCOMPARE(message->toPlainText().size(), 159);
    QTest::keyClick(message, Qt::Key_Z);
    QCOMPARE(message->toPlainText().size(), 160);
    QTextCursor c = message->textCursor();
    c.setPosition(0);
    message->setTextCursor(c);
    QTest::keyClick(message, Qt::Key_Delete);
    QCOMPARE(message->toPlainText(), QString(158, QLatin1Char('m')) + QLatin1Char('z'));
    QCOMPARE(child<QLabel>(w, "sms_length")->text(), QStringLiteral("Anzahl Zeichen: 159"));
}

void WindowTest::keyFilterRepeatCount() {
    SendSMS w;
    auto* message = child<QTextEdit>(w, "message");
    message->setPlainText(QString(158, QLatin1Char('m')));
    message->moveCursor(QTextCursor::End);
    // A compressed auto-repeat of three would end at 161: swallowed whole.
    QKeyEvent three(QEvent::KeyPress, Qt::Key_X, Qt::NoModifier, QStringLiteral("xxx"), true, 3);
    QApplication::sendEvent(message, &three);
    QCOMPARE(message->toPlainText().size(), 158);
    QKeyEvent two(QEvent::KeyPress, Qt::Key_X, Qt::NoModifier, QStringLiteral("xx"), true, 2);
    QApplication::sendEvent(message, &two);
    QCOMPARE(message->toPlainText(), QString(158, QLatin1Char('m')) + QStringLiteral("xx"));
}

void WindowTest::keyFilterLeavesPasteToTheRule() {
    SendSMS w;
    fillForm(w, QStringLiteral("abc"));
    auto* message = child<QTextEdit>(w, "message");
    auto* send = child<QPushButton>(w, "sendButton");
    message->moveCursor(QTextCursor::End);
    QApplication::clipboard()->setText(QString(227, QLatin1Char('p')));
    QTest::keyClick(message, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(message->toPlainText().size(), 230);
    QCOMPARE(child<QLabel>(w, "sms_length")->text(), QStringLiteral("Anzahl Zeichen: 230"));
    QVERIFY(!send->isEnabled());
    // Over the limit only deleting gets through.
    QTest::keyClick(message, Qt::Key_V, Qt::ControlModifier);
    QTest::keyClick(message, Qt::Key_Q);
    QCOMPARE(message->toPlainText().size(), 230);
    for (int i = 0; i < 70; ++i) QTest::keyClick(message, Qt::Key_Backspace);
    QCOMPARE(message->toPlainText().size(), 160);
    QVERIFY(send->isEnabled());
}

void WindowTest::keyFilterOnlyForTheMessage() {
    SendSMS w;
    fillForm(w, QString(160, QLatin1Char('m')));
    auto* receiver = child<QLineEdit>(w, "receiver");
    receiver->clear();
    QTest::keyClicks(receiver, QStringLiteral("0171"));
    QCOMPARE(receiver->text(), QStringLiteral("0171"));
}

void WindowTest::counter_data() {
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("shown");
    QTest::newRow("empty") << QString() << QStringLiteral("Anzahl Zeichen: 0");
    QTest::newRow("line break counts one") << QStringLiteral("ab\nc")
                                           << QStringLiteral("Anzahl Zeichen: 4");
    QTest::newRow("42") << QString(42, QLatin1Char('z')) << QStringLiteral("Anzahl Zeichen: 42");
    QTest::newRow("no digit grouping") << QString(1234, QLatin1Char('z'))
                                       << QStringLiteral("Anzahl Zeichen: 1234");
    QTest::newRow("surrogate pair counts two") << QString::fromUtf8("😀")
                                               << QStringLiteral("Anzahl Zeichen: 2");
}

void WindowTest::counter() {
    QFETCH(QString, message);
    QFETCH(QString, shown);
    // Under a locale that groups digits the counter still shows plain digits.
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    SendSMS w;
    auto* message_ = child<QTextEdit>(w, "message");
    message_->setPlainText(QStringLiteral("x"));  // a change, also for the empty row
    message_->setPlainText(message);
    QCOMPARE(child<QLabel>(w, "sms_length")->text(), shown);
    QLocale::setDefault(saved);
}

void WindowTest::proxyToggle() {
    SendSMS w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    auto* proxy = child<QCheckBox>(w, "proxy");
    auto* host = child<QLineEdit>(w, "proxy_host");
    auto* port = child<QLineEdit>(w, "proxy_port");
    QTest::mouseClick(proxy, Qt::LeftButton, {}, QPoint(8, proxy->height() / 2));
    QVERIFY(proxy->isChecked());
    QVERIFY(host->isEnabled());
    QVERIFY(port->isEnabled());
    host->setText(QStringLiteral("proxy.local"));
    port->setText(QStringLiteral("3128"));
    QTest::mouseClick(proxy, Qt::LeftButton, {}, QPoint(8, proxy->height() / 2));
    QVERIFY(!host->isEnabled());
    QVERIFY(!port->isEnabled());
    QCOMPARE(host->text(), QStringLiteral("proxy.local"));
    QCOMPARE(port->text(), QStringLiteral("3128"));
    // By keyboard as well.
    proxy->setFocus();
    QTest::keyClick(proxy, Qt::Key_Space);
    QVERIFY(proxy->isChecked());
    QVERIFY(host->isEnabled());
    QVERIFY(port->isEnabled());
}

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
