#include "startup.h"

#include <QApplication>
#include <QFontDatabase>
#include <QTranslator>

#include "sendsms.h"

#ifdef Q_OS_WIN
#include <windows.h>

QString systemFaceFor(const QString& family) {
    LOGFONTW wanted{};
    wanted.lfCharSet = DEFAULT_CHARSET;
    const QString name = family.left(LF_FACESIZE - 1);
    name.toWCharArray(wanted.lfFaceName);
    wchar_t face[LF_FACESIZE] = {};
    HDC dc = CreateCompatibleDC(nullptr);
    HFONT font = CreateFontIndirectW(&wanted);
    if (dc && font) {
        HGDIOBJ before = SelectObject(dc, font);
        if (GetTextFaceW(dc, LF_FACESIZE, face) <= 0) face[0] = L'\0';
        SelectObject(dc, before);
    }
    if (font) DeleteObject(font);
    if (dc) DeleteDC(dc);
    face[LF_FACESIZE - 1] = L'\0';
    return QString::fromWCharArray(face);
}
#else
QString systemFaceFor(const QString&) {
    return {};
}
#endif

void followSystemFont(const QWidget* window) {
    QStringList families{QApplication::font().family()};
    if (window) {
        for (const QWidget* w : window->findChildren<QWidget*>()) families << w->font().family();
    }
    families.removeDuplicates();
    for (const QString& family : families) {
        // Installed: it has styles. The database lists the system's default
        // family even where it has none; asking for styles loads no font.
        if (!QFontDatabase::styles(family).isEmpty()) continue;
        const QString face = systemFaceFor(family);
        if (face.isEmpty() || QFontDatabase::styles(face).isEmpty()) continue;
        QFont::insertSubstitution(family, face);
        // The application's font may be in use already: the toolkit keeps
        // what it loaded for it, so it is set anew.
        if (family == QApplication::font().family()) {
            QFont font = QApplication::font();
            font.setFamilies({face});
            QApplication::setFont(font);
        }
    }
}

int runZelvodesk() {
    // The toolkit's own texts: the edit fields' context menus, the standard
    // buttons. The program's own texts are German already.
    QTranslator translator;
    (void)translator.load(QStringLiteral("qt_de.qm"));
    QCoreApplication::installTranslator(&translator);

    // Before the first widget: the style measures with the application's font.
    followSystemFont(nullptr);
    SendSMS window;
    followSystemFont(&window);
    window.show();
    return QApplication::exec();
}
