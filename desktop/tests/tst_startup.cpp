// Start-up: the toolkit's translation from the working directory, the end of
// the program when its window is closed, and the compiled-in pictures.
//
// ctest runs "translated" in the program's directory, where the build puts
// qt_de.qm, and "untranslated" in a directory without it.
#include <QAction>
#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QMenu>
#include <QResource>
#include <QtTest>

#include "startup.h"
#include "support.h"

namespace {

struct Run {
    int exitCode = -1;
    QStringList menu;  // entries of the line edit's context menu, without '&' and shortcut
    bool timedOut = false;
};

// Runs the program's start-up; once its window is up, opens the context
// menu of `kdnr`, notes the entries and closes the window.
Run runProgram() {
    Run run;
    bool done = false;
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (done) return;
        SendSMS* window = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* s = qobject_cast<SendSMS*>(w); s && s->isVisible()) window = s;
        if (!window) return;
        done = true;
        auto* edit = child<QLineEdit>(*window, "kdnr");
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(4, 4),
                                edit->mapToGlobal(QPoint(4, 4)));
        QApplication::sendEvent(edit, &event);
        if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
            for (QAction* a : menu->actions()) {
                if (a->isSeparator()) continue;
                run.menu << a->text().section(QLatin1Char('\t'), 0, 0).remove(QLatin1Char('&'));
            }
            menu->close();
        }
        window->close();  // as the user closes it
    });
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, [&] {
        run.timedOut = true;
        QApplication::closeAllWindows();
        QApplication::exit(99);
    });
    poll.start();
    deadline.start(20000);
    run.exitCode = runZelvodesk();
    return run;
}

QByteArray resourceBytes(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return QByteArray();
    return f.readAll();
}

}  // namespace

class StartupTest : public QObject {
    Q_OBJECT

private slots:
    void translated();
    void untranslated();
    void pictures_data();
    void pictures();
};

void StartupTest::translated() {
    QVERIFY2(QFile::exists(QStringLiteral("qt_de.qm")), qPrintable(QDir::currentPath()));
    const Run run = runProgram();
    QVERIFY(!run.timedOut);
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.menu.contains(QStringLiteral("Einfügen")), qPrintable(run.menu.join(u'|')));
    QVERIFY2(run.menu.contains(QStringLiteral("Alles auswählen")),
             qPrintable(run.menu.join(u'|')));
    QVERIFY(!run.menu.contains(QStringLiteral("Paste")));
}

void StartupTest::untranslated() {
    QVERIFY2(!QFile::exists(QStringLiteral("qt_de.qm")), qPrintable(QDir::currentPath()));
    const Run run = runProgram();
    QVERIFY(!run.timedOut);
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.menu.contains(QStringLiteral("Paste")), qPrintable(run.menu.join(u'|')));
    QVERIFY(!run.menu.contains(QStringLiteral("Einfügen")));
}

void StartupTest::pictures_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("size");
    QTest::newRow("sms") << QStringLiteral(":/images/sms.png") << QSize(48, 48);
    QTest::newRow("send") << QStringLiteral(":/images/send.png") << QSize(16, 16);
}

void StartupTest::pictures() {
    QFETCH(QString, path);
    QFETCH(QSize, size);
    const QImage image(path);
    QVERIFY(!image.isNull());
    QCOMPARE(image.size(), size);
    QVERIFY(image.hasAlphaChannel());
    // Something is drawn, and the corners are see-through.
    QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
    QCOMPARE(qAlpha(image.pixel(size.width() / 2, size.height() / 2)), 255);

    QCOMPARE(QResource(path).compressionAlgorithm(), QResource::NoCompression);
    // IHDR: 8 bits per channel, colour type 6 (RGBA), not interlaced.
    const QByteArray png = resourceBytes(path);
    QVERIFY(png.startsWith("\x89PNG\r\n\x1a\n"));
    QCOMPARE(png.mid(12, 4), QByteArray("IHDR"));
    QCOMPARE(int(png.at(24)), 8);
    QCOMPARE(int(png.at(25)), 6);
    QCOMPARE(int(png.at(28)), 0);
}

QTEST_MAIN(StartupTest)
#include "tst_startup.moc"
