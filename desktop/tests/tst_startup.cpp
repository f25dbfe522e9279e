// Start-up: the toolkit's translation from the working directory, the end of
// the program when its window is closed, and the compiled-in pictures.
// ctest runs "translated" in the program's directory, where the build puts
// qt_de.qm, and "untranslated" in a directory without it.
#include "startup.h"
#include "support.h"

namespace {

// Runs the program's start-up; once its window is up, opens the context menu
// of `kdnr` and closes the window as the user would. The program must end
// with 0 and the menu's entries (each followed by '|') hold `entry`, never `other`.
void expectContextMenu(bool translated, const char* entry, const char* other) {
    QCOMPARE(QFile::exists("qt_de.qm"), translated);
    QString entries;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* window = qobject_cast<SendSMS*>(QApplication::activeWindow());
        if (!window || !entries.isEmpty()) return;
        auto* kdnr = window->findChild<QLineEdit*>("kdnr");
        QContextMenuEvent event(QContextMenuEvent::Mouse, {4, 4}, kdnr->mapToGlobal(QPoint(4, 4)));
        QApplication::sendEvent(kdnr, &event);
        if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
            for (QAction* a : menu->actions()) entries += a->text().remove(u'&') + u'|';
            menu->close();
        }
        window->close();
    });
    poll.start(20);
    QTimer::singleShot(20000, [] { QApplication::exit(99); });  // the window never showed
    QCOMPARE(runZelvodesk(), 0);
    QVERIFY2(entries.contains(entry) && !entries.contains(other), qPrintable(entries));
}

}  // namespace

class StartupTest : public QObject {
    Q_OBJECT

  private slots:
    void translated() { expectContextMenu(true, "|Einfügen\t", "Paste"); }
    void untranslated() { expectContextMenu(false, "|Paste\t", "Einfügen"); }
    void pictures() {
        QCOMPARE(QImage(":/images/sms.png").size(), QSize(48, 48));
        QCOMPARE(QImage(":/images/send.png").size(), QSize(16, 16));
    }
};

QTEST_MAIN(StartupTest)
#include "tst_startup.moc"
