// The window's texts on the system's own platform: every label is drawn in
// the family it asks for or in the face the system draws for that family,
// never in whatever family the toolkit would fall back to. On a Windows
// without the dialog font (a fresh Wine prefix) the toolkit alone takes the
// first family it knows, which may be an icon font.
#include "startup.h"
#include "support.h"

class FontsTest : public QObject {
    Q_OBJECT

  private slots:
    void labelsAreDrawnAsTheSystemDrawsThem() {
        SendSMS window;
        followSystemFont(window);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));  // the fonts reached every widget
        const auto labels = window.findChildren<QLabel*>();
        QVERIFY(labels.size() >= 10);
        for (const QLabel* label : labels) {
            const QString wanted = label->font().family();
            const QString drawn = QFontInfo(label->font()).family();
            const QString system = systemFaceFor(wanted);
            const bool asWanted = drawn.compare(wanted, Qt::CaseInsensitive) == 0;
            const bool asSystem = drawn.compare(system, Qt::CaseInsensitive) == 0;
            QVERIFY2(asWanted || asSystem,
                     qPrintable(QStringLiteral("%1: asks for %2, drawn in %3, the system draws %4")
                                    .arg(label->objectName(), wanted, drawn, system)));
        }
    }
};

QTEST_MAIN(FontsTest)
#include "tst_fonts.moc"
