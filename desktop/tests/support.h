// Shared pieces of the window tests: a recording stand-in for sendSMS2, a
// closer for the modal message boxes the window opens, and form helpers.
#ifndef ZELVODESK_TESTS_SUPPORT_H
#define ZELVODESK_TESTS_SUPPORT_H

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QList>
#include <QMessageBox>
#include <QMutex>
#include <QMutexLocker>
#include <QPushButton>
#include <QSemaphore>
#include <QTextEdit>
#include <QTimer>
#include <atomic>
#include <cstring>
#include <functional>

#include "sendsms.h"

// Stands in for sendSMS2: records the twelve arguments of every call and
// answers as told. With `gated` set a call waits (at most ten seconds) until
// the test opens the gate, so a test can act while a send is under way.
class SendRecorder {
public:
    struct Call {
        QByteArray kdnr;
        int firma = -1;
        QByteArray user, key, msg, receiver;
        bool timeNull = false;
        bool proxyHostNull = false;
        QByteArray proxyHost;
        int proxyPort = -1;
        bool test = false;
        bool answerGiven = false;
        int answerSize = -1;
    };

    enum class Fill { Text, Nothing, Unterminated };

    int result = 0;
    QByteArray answer = "OK";
    Fill fill = Fill::Text;
    bool gated = false;
    int holdMs = 0;  // keeps the call busy this long before it returns

    SendSMS::SendFunction function() {
        return [this](const char* kdnr, int firma, const char* user, const char* key,
                      const char* msg, const char* receiver, const char* time,
                      const char* proxyHost, int proxyPort, bool test, char* answerBuf,
                      int answerSize) {
            Call c;
            c.kdnr = kdnr;
            c.firma = firma;
            c.user = user;
            c.key = key;
            c.msg = msg;
            c.receiver = receiver;
            c.timeNull = time == nullptr;
            c.proxyHostNull = proxyHost == nullptr;
            if (proxyHost) c.proxyHost = proxyHost;
            c.proxyPort = proxyPort;
            c.test = test;
            c.answerGiven = answerBuf != nullptr;
            c.answerSize = answerSize;
            {
                QMutexLocker lock(&m_mutex);
                m_calls.append(c);
            }
            started.store(started.load() + 1);
            if (gated) m_gate.tryAcquire(1, 10000);
            if (holdMs > 0) QSemaphore().tryAcquire(1, holdMs);
            const auto size = static_cast<std::size_t>(answerSize);
            if (fill == Fill::Text && answerBuf && answerSize > 0) {
                const std::size_t n = qMin(size - 1, static_cast<std::size_t>(answer.size()));
                std::memcpy(answerBuf, answer.constData(), n);
                answerBuf[n] = '\0';
            } else if (fill == Fill::Unterminated && answerBuf) {
                std::memset(answerBuf, 'x', size);
            }
            ended.store(ended.load() + 1);
            return result;
        };
    }

    void openGate() { m_gate.release(); }

    QList<Call> calls() {
        QMutexLocker lock(&m_mutex);
        return m_calls;
    }

    std::atomic<int> started{0};
    std::atomic<int> ended{0};

private:
    QMutex m_mutex;
    QList<Call> m_calls;
    QSemaphore m_gate;
};

// Watches for the application's modal message box, notes its text, icon and
// buttons, runs `whileOpen` (if set) with the box still up, and presses its
// button as a user would.
class BoxCloser : public QObject {
public:
    BoxCloser() {
        m_timer.setInterval(10);
        connect(&m_timer, &QTimer::timeout, this, &BoxCloser::poll);
        m_timer.start();
    }

    QStringList texts;
    QList<QMessageBox::Icon> icons;
    QList<QStringList> buttons;
    QStringList titles;
    std::function<void()> whileOpen;

private:
    void poll() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible()) return;
        texts << box->text();
        icons << box->icon();
        titles << box->windowTitle();
        QStringList names;
        for (QAbstractButton* b : box->buttons()) names << b->text();
        buttons << names;
        if (whileOpen) whileOpen();
        if (!box->buttons().isEmpty())
            box->buttons().first()->click();
        else
            box->reject();
    }

    QTimer m_timer;
};

template <typename T>
T* child(QWidget& w, const char* name) {
    return w.findChild<T*>(QString::fromLatin1(name));
}

// Fills the four line edits and the message so that the send button is on.
inline void fillForm(SendSMS& w, const QString& message = QStringLiteral("Hallo")) {
    child<QLineEdit>(w, "kdnr")->setText(QStringLiteral("12345"));
    child<QLineEdit>(w, "kuerzel")->setText(QStringLiteral("abc"));
    child<QLineEdit>(w, "key")->setText(QStringLiteral("geheim"));
    child<QLineEdit>(w, "receiver")->setText(QStringLiteral("01711234567"));
    child<QTextEdit>(w, "message")->setPlainText(message);
}

#endif  // ZELVODESK_TESTS_SUPPORT_H
