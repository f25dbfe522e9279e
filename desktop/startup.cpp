#include "startup.h"

#include <QApplication>
#include <QTranslator>

#include "sendsms.h"

int runZelvodesk() {
    // The toolkit's own texts: the edit fields' context menus, the standard
    // buttons. The program's own texts are German already.
    QTranslator translator;
    (void)translator.load(QStringLiteral("qt_de.qm"));
    QCoreApplication::installTranslator(&translator);

    SendSMS window;
    window.show();
    return QApplication::exec();
}
