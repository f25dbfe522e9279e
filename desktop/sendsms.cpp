#include "sendsms.h"

#include <QCloseEvent>
#include <QCursor>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QTextStream>
#include <QtConcurrent/QtConcurrentRun>
#include <utility>

#include "sendsmsform.h"
#include "zelvonet/zelvonet.h"

SendSMS::SendSMS(QWidget* parent, SendFunction send)
    : QWidget(parent),
      ui(new SendSMSForm),
      m_send(send ? std::move(send) : SendFunction(&sendSMS2)) {
    ui->setupUi(this);
    // Key presses reach the filter before the editor sees them (see eventFilter).
    ui->message->installEventFilter(this);
    connect(&m_watcher, &QFutureWatcher<Outcome>::finished, this, [this] { finishSend(false); });
}

SendSMS::~SendSMS() {
    ui->message->removeEventFilter(this);
    // The worker holds copies of everything it sends; still, no send outlives
    // the window that started it.
    m_future.waitForFinished();
    if (m_waitCursor) QGuiApplication::restoreOverrideCursor();
    delete ui;
}

qsizetype SendSMS::messageLength() const {
    // UTF-16 code units of the plain text: a paragraph break counts one, a
    // character outside the Basic Multilingual Plane counts two.
    return ui->message->document()->toPlainText().size();
}

void SendSMS::updateSendButton() {
    const qsizetype length = messageLength();
    const bool complete = !ui->kdnr->text().isEmpty() && !ui->kuerzel->text().isEmpty() &&
                          !ui->key->text().isEmpty() && !ui->receiver->text().isEmpty() &&
                          length >= 1 && length <= kMessageLimit;
    // While a send is under way the button stays off whatever the fields say.
    ui->sendButton->setDisabled(m_busy || !complete);
}

void SendSMS::on_kdnr_textChanged() {
    updateSendButton();
}

void SendSMS::on_kuerzel_textChanged() {
    updateSendButton();
}

void SendSMS::on_key_textChanged() {
    updateSendButton();
}

void SendSMS::on_receiver_textChanged() {
    updateSendButton();
}

void SendSMS::on_message_textChanged() {
    updateSendButton();
    const qsizetype length = messageLength();
    QString text;
    QTextStream stream(&text, QIODevice::ReadWrite);
    stream << "Anzahl Zeichen: " << length;
    stream.flush();
    ui->sms_length->setText(text);
}

bool SendSMS::eventFilter(QObject* watched, QEvent* event) {
    if (watched != ui->message || event->type() != QEvent::KeyPress) return false;
    const qsizetype length = messageLength();
    const auto* keyEvent = static_cast<const QKeyEvent*>(event);
    if (keyEvent->key() == Qt::Key_Backspace || keyEvent->key() == Qt::Key_Delete) return false;
    // At the limit every other key is swallowed, Enter, Tab, arrows and
    // shortcuts included; text arriving by paste or drop is left to the
    // enabling rule.
    if (length >= kMessageLimit) return true;
    return length + keyEvent->count() > kMessageLimit;
}

void SendSMS::on_proxy_clicked() {
    ui->proxy_host->setDisabled(!ui->proxy->isChecked());
    ui->proxy_port->setDisabled(!ui->proxy->isChecked());
}

void SendSMS::on_sendButton_clicked() {
    if (m_busy) return;  // one send at a time, until its answer box is closed

    const bool viaProxy = ui->proxy->isChecked();
    QByteArray proxyHost;
    int proxyPort = 0;
    if (viaProxy) {
        proxyHost = ui->proxy_host->text().toLatin1();
        bool ok = false;
        proxyPort = ui->proxy_port->text().toInt(&ok, 10);
        if (!ok) {
            QMessageBox box;
            box.setText(QStringLiteral("Der Proxy Port hat ein falsches Format!"));
            box.setIcon(QMessageBox::Critical);
            box.exec();
            return;
        }
    }

    // The gateway takes the message on one line: a line break travels as the
    // two characters backslash and n.
    QString text = ui->message->document()->toPlainText();
    text.replace(QChar(u'\n'), QStringLiteral("\\n"));
    const bool test = ui->testSend->isChecked();
    // Latin-1 bytes; a character outside Latin-1 becomes "?".
    const QByteArray receiver = ui->receiver->text().toLatin1();
    const QByteArray msg = text.toLatin1();
    const QByteArray key = ui->key->text().toLatin1();
    const QByteArray user = ui->kuerzel->text().toLatin1();
    const int firma = ui->firma->currentText().toInt();
    const QByteArray kdnr = ui->kdnr->text().toLatin1();

    m_busy = true;
    ui->sendButton->setEnabled(false);
    QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    m_waitCursor = true;

    // The exchange with the gateway blocks for as long as it takes; it runs on
    // a worker thread so that the window keeps repainting and reacting. The
    // worker gets its own copies of the bytes and of the send function.
    m_future = QtConcurrent::run([send = m_send, kdnr, firma, user, key, msg, receiver, viaProxy,
                                  proxyHost, proxyPort, test]() {
        char answer[kAnswerSize] = {};
        Outcome outcome;
        outcome.result =
            send(kdnr.constData(), firma, user.constData(), key.constData(), msg.constData(),
                 receiver.constData(), nullptr, viaProxy ? proxyHost.constData() : nullptr,
                 proxyPort, test, answer, kAnswerSize);
        // Read no further than the buffer, terminated or not.
        outcome.answer = QByteArray(answer, static_cast<qsizetype>(qstrnlen(answer, kAnswerSize)));
        return outcome;
    });
    m_watcher.setFuture(m_future);
}

void SendSMS::finishSend(bool wait) {
    if (!m_busy || m_showingAnswer) return;
    if (!wait && !m_future.isFinished()) return;  // a late signal of an earlier send
    const Outcome outcome = m_future.result();    // waits when the call has not returned yet

    m_showingAnswer = true;
    if (m_waitCursor) {
        QGuiApplication::restoreOverrideCursor();
        m_waitCursor = false;
    }
    QMessageBox box;
    box.setText(QStringLiteral("Antwort vom Server: ") + QString::fromLatin1(outcome.answer));
    // 1 is a refusal or a failure; any other result is shown as information.
    box.setIcon(outcome.result == 1 ? QMessageBox::Critical : QMessageBox::Information);
    box.exec();
    m_showingAnswer = false;

    m_busy = false;
    updateSendButton();
}

void SendSMS::closeEvent(QCloseEvent* event) {
    // A send under way is not abandoned: closing waits for its call to return
    // (the library's time-outs bound that) and shows its answer first.
    if (m_busy && !m_showingAnswer) finishSend(true);
    QWidget::closeEvent(event);
}
