// The window's texts on the system's own platform: every widget draws in
// the family it asks for or in the face the system draws for that family,
// never in whatever family the toolkit would fall back to. On a Windows
// without the dialog font (a fresh Wine prefix) the toolkit alone takes the
// first family it knows, which may be a font of mathematical symbols or
// icons, and measures the widgets with it: the window then outgrows a
// 1024 x 768 screen.
#include "startup.h"
#include "support.h"

class FontsTest : public QObject {
    Q_OBJECT

  private slots:
    void textsAreDrawnAndMeasuredAsTheSystemDrawsThem() {
        followSystemFont(nullptr);
        SendSMS window;
        followSystemFont(&window);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));  // the fonts reached every widget
        const QSize size = window.frameGeometry().size();
        QVERIFY2(size.width() <= 1024 && size.height() <= 768,
                 qPrintable(QStringLiteral("%1 x %2").arg(size.width()).arg(size.height())));
        const auto widgets = window.findChildren<QWidget*>();
        QVERIFY(widgets.size() >= 10);
        for (const QWidget* widget : widgets) {
            const QString wanted = widget->font().family();
            const QString drawn = QFontInfo(widget->font()).family();
            const QString system = systemFaceFor(wanted);
            const bool asWanted = drawn.compare(wanted, Qt::CaseInsensitive) == 0;
            const bool asSystem = drawn.compare(system, Qt::CaseInsensitive) == 0;
            QVERIFY2(asWanted || asSystem,
                     qPrintable(QStringLiteral("%1: asks for %2, drawn in %3, the system draws %4")
                                    .arg(widget->objectName(), wanted, drawn, system)));
        }
    }
};

QTEST_MAIN(FontsTest)
#include "tst_fonts.moc"
