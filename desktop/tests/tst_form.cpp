// The send form as the window opens it: initial state, limits of the fields,
// focus chain, header band and layout under resizing.
#include <QFrame>
#include <QGroupBox>
#include <QImage>
#include <QtTest>

#include "support.h"

class FormTest : public QObject {
    Q_OBJECT

private slots:
    void initialState();
    void lineEditLimits();
    void focusChain();
    void headerBand();
    void resizing();
};

void FormTest::initialState() {
    SendSMS w;
    QCOMPARE(w.objectName(), QStringLiteral("SendSMS"));
    QCOMPARE(w.windowTitle(), QStringLiteral("SendSMS"));
    QCOMPARE(w.size(), QSize(707, 531));
    for (const char* name : {"kdnr", "kuerzel", "key", "receiver"}) {
        QVERIFY(child<QLineEdit>(w, name)->text().isEmpty());
        QVERIFY(child<QLineEdit>(w, name)->isEnabled());
    }
    auto* firma = child<QComboBox>(w, "firma");
    QCOMPARE(firma->count(), 9);
    for (int i = 0; i < 9; ++i) QCOMPARE(firma->itemText(i), QString::number(i + 1));
    QCOMPARE(firma->currentIndex(), 0);
    QVERIFY(!firma->isEditable());
    QVERIFY(!child<QCheckBox>(w, "testSend")->isChecked());
    QVERIFY(!child<QCheckBox>(w, "proxy")->isChecked());
    QVERIFY(!child<QLineEdit>(w, "proxy_host")->isEnabled());
    QVERIFY(!child<QLineEdit>(w, "proxy_port")->isEnabled());
    QVERIFY(child<QTextEdit>(w, "message")->toPlainText().isEmpty());
    QCOMPARE(child<QLabel>(w, "sms_length")->text(), QStringLiteral("Anzahl Zeichen: 0"));
    auto* send = child<QPushButton>(w, "sendButton");
    QVERIFY(!send->isEnabled());
    QCOMPARE(send->text(), QStringLiteral("SMS Senden"));
    QCOMPARE(send->toolTip(), QStringLiteral("Sendet die SMS"));
    QVERIFY(!send->icon().isNull());
    QCOMPARE(child<QLineEdit>(w, "key")->echoMode(), QLineEdit::Password);
    QCOMPARE(child<QLabel>(w, "label_3")->text(), QStringLiteral("Kürzel:"));
    QCOMPARE(child<QLabel>(w, "label_5")->text(), QStringLiteral("Empfänger:"));
    QCOMPARE(child<QGroupBox>(w, "proxyBox")->title(), QStringLiteral("Proxyserver"));
    QCOMPARE(child<QGroupBox>(w, "groupBox_2")->title(), QStringLiteral("Nachricht"));
    // The empty text of the picture label leaves the picture in place.
    auto* picture = child<QLabel>(w, "label_8");
    QCOMPARE(picture->pixmap().size(), QSize(48, 48));
    QCOMPARE(picture->alignment(), Qt::AlignRight | Qt::AlignVCenter);
}

void FormTest::lineEditLimits() {
    SendSMS w;
    struct Limit {
        const char* name;
        int max;
    };
    const QString longText(300, QLatin1Char('7'));
    for (const Limit& l : {Limit{"kdnr", 5}, Limit{"kuerzel", 10}, Limit{"key", 10},
                           Limit{"receiver", 50}}) {
        auto* edit = child<QLineEdit>(w, l.name);
        QTest::keyClicks(edit, QString(l.max + 1, QLatin1Char('1')));
        QCOMPARE(edit->text().size(), l.max);  // the typed extra character is refused
        edit->clear();
        edit->insert(longText);  // a longer paste is cut to the limit
        QCOMPARE(edit->text(), longText.left(l.max));
    }
    for (const char* name : {"proxy_host", "proxy_port"}) {
        auto* edit = child<QLineEdit>(w, name);
        edit->setText(longText);
        QCOMPARE(edit->text(), longText);
    }
    // The key's characters are masked as they are typed.
    auto* key = child<QLineEdit>(w, "key");
    key->clear();
    QTest::keyClicks(key, QStringLiteral("abc"));
    QCOMPARE(key->displayText().size(), 3);
    QVERIFY(!key->displayText().contains(QLatin1Char('a')));
}

void FormTest::focusChain() {
    SendSMS w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const QStringList order = {"kdnr",       "kuerzel",    "key",     "receiver",
                               "testSend",   "proxy",      "proxy_host", "proxy_port",
                               "message",    "sendButton", "firma"};
    QStringList chain;
    QWidget* start = child<QWidget>(w, "kdnr");
    QWidget* it = start;
    for (int guard = 0; guard < 200; ++guard) {
        if (order.contains(it->objectName())) chain << it->objectName();
        it = it->nextInFocusChain();
        if (it == start) break;
    }
    QCOMPARE(chain, order);

    // Tab skips the disabled proxy fields.
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    auto* proxy = child<QCheckBox>(w, "proxy");
    proxy->setFocus();
    QTRY_VERIFY_WITH_TIMEOUT(proxy->hasFocus(), 5000);
    QTest::keyClick(proxy, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), child<QWidget>(w, "message"));
}

void FormTest::headerBand() {
    SendSMS w;
    auto* band = child<QWidget>(w, "widget");
    QVERIFY(band->autoFillBackground());
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        QCOMPARE(band->palette().color(group, QPalette::Window), QColor(255, 255, 255));
        QCOMPARE(band->palette().color(group, QPalette::Base), QColor(255, 255, 255));
        QCOMPARE(band->palette().color(group, QPalette::ToolTipBase), QColor(255, 255, 220));
    }
    QCOMPARE(band->palette().color(QPalette::Disabled, QPalette::WindowText),
             QColor(127, 127, 127));
    auto* title = child<QLabel>(w, "label");
    QCOMPARE(title->text(), QStringLiteral("Senden einer SMS"));
    QCOMPARE(title->font().family(), QStringLiteral("Tahoma"));
    QCOMPARE(title->font().pointSize(), 18);
    QVERIFY(title->font().bold());

    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    // As painted: white behind the title, and the picture at the right edge.
    const QImage shot = band->grab().toImage();
    QCOMPARE(QColor(shot.pixel(2, 2)), QColor(255, 255, 255));
    QCOMPARE(QColor(shot.pixel(shot.width() / 2, shot.height() - 3)), QColor(255, 255, 255));
    auto* picture = child<QLabel>(w, "label_8");
    QVERIFY(picture->geometry().right() > band->width() - 11 - 48 - 2);
    const auto* frame = child<QFrame>(w, "line");
    QCOMPARE(frame->frameShape(), QFrame::HLine);
    QCOMPARE(frame->frameShadow(), QFrame::Sunken);
}

void FormTest::resizing() {
    SendSMS w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    auto* band = child<QWidget>(w, "widget");
    auto* send = child<QPushButton>(w, "sendButton");
    auto* area = child<QWidget>(w, "widget_2");
    const int bandHeight = band->height();
    // The form asks for 707 x 531; where the platform's fonts need more room
    // the layout's minimum wins, so the sizes here lie above it.
    const QSize least = w.minimumSizeHint();
    for (const QSize size : {QSize(1000, 760), QSize(760, 620), least.expandedTo(QSize(707, 531))}) {
        w.resize(size);
        QTRY_COMPARE_WITH_TIMEOUT(w.size(), size, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(area->width(), size.width(), 5000);
        QCOMPARE(band->height(), bandHeight);
        QCOMPARE(band->width(), size.width());
        // The button keeps to the right end of the last row.
        QCOMPARE(send->geometry().right(), area->width() - 1 - 11);
    }
}

QTEST_MAIN(FormTest)
#include "tst_form.moc"
