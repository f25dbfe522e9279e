// Shared pieces of the window tests: form edits by object name, and a closer
// for the modal message boxes the window opens.
#ifndef ZELVODESK_TESTS_SUPPORT_H
#define ZELVODESK_TESTS_SUPPORT_H

#include <QtTest>
#include <QtWidgets>
#include <functional>

#include "sendsms.h"

// Applies edits "objectName=value" as a user would: a line edit or the
// message gets the text, the company box the item, a check box is clicked
// until its state is the value ("1" checked).
inline void edit(SendSMS& w, const QStringList& edits) {
    for (const QString& e : edits) {
        const QString name = e.section(u'=', 0, 0), value = e.section(u'=', 1);
        if (auto* line = w.findChild<QLineEdit*>(name)) line->setText(value);
        if (auto* text = w.findChild<QTextEdit*>(name)) text->setPlainText(value);
        if (auto* combo = w.findChild<QComboBox*>(name)) combo->setCurrentText(value);
        auto* box = w.findChild<QCheckBox*>(name);
        if (box && box->isChecked() != (value == u"1")) box->click();
    }
}

inline void fillForm(SendSMS& w) {
    edit(w, {"kdnr=1", "kuerzel=u", "key=k", "receiver=0171", "message=Hallo"});
}

// Watches for the application's modal message box, notes its text and icon,
// runs `whileOpen` (if set) with the box still up, and presses its button.
class BoxCloser : public QObject {
  public:
    BoxCloser() {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || !box->isVisible()) return;
            texts << box->text();
            icons << box->icon();
            if (whileOpen) whileOpen();
            box->buttons().first()->click();
        });
        m_timer.start(5);
    }

    QStringList texts;
    QList<QMessageBox::Icon> icons;
    std::function<void()> whileOpen;

  private:
    QTimer m_timer;
};

inline QPushButton* sendButton(SendSMS& w) {
    return w.findChild<QPushButton*>("sendButton");
}

// Presses the send button and waits (bounded) until a message box has been seen.
inline void press(SendSMS& w, BoxCloser& closer) {
    const auto before = closer.texts.size();
    sendButton(w)->click();
    QTRY_VERIFY_WITH_TIMEOUT(closer.texts.size() > before, 10000);
}

#endif  // ZELVODESK_TESTS_SUPPORT_H
