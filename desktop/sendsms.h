// SendSMS: the program's only window. It gives the form of sendsms.ui its
// behaviour: the rule that enables the send button, the 160-character limit
// and counter of the message, the proxy switch, and the send itself, whose
// answer is shown in a message box.
#ifndef ZELVODESK_SENDSMS_H
#define ZELVODESK_SENDSMS_H

#include <QFutureWatcher>
#include <QWidget>
#include <functional>

class QCloseEvent;
class SendSMSForm;  // sendsmsform.h

class SendSMS : public QWidget {
    Q_OBJECT

  public:
    // The twelve arguments of sendSMS2, in its order:
    // kdnr, firma, user, key, msg, receiver, time, proxyHost, proxyPort, test,
    // answer, answerSize.
    using SendFunction =
        std::function<int(const char*, int, const char*, const char*, const char*, const char*,
                          const char*, const char*, int, bool, char*, int)>;

    // Longest message, in UTF-16 code units, that may be typed and sent.
    static constexpr int kMessageLimit = 160;
    // Size of the answer buffer handed to the send function.
    static constexpr int kAnswerSize = 100;

    // `send` is the library's sendSMS2 unless another function is given.
    explicit SendSMS(QWidget* parent = nullptr, SendFunction send = SendFunction());
    ~SendSMS() override;

    SendSMS(const SendSMS&) = delete;
    SendSMS& operator=(const SendSMS&) = delete;

    bool eventFilter(QObject* watched, QEvent* event) override;

    // The enabling rule; run by the five text-changed slots.
    void updateSendButton();

  public slots:
    void on_kdnr_textChanged();
    void on_kuerzel_textChanged();
    void on_key_textChanged();
    void on_receiver_textChanged();
    void on_message_textChanged();
    void on_proxy_clicked();
    void on_sendButton_clicked();

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    struct Outcome {
        int result = 1;
        QByteArray answer;
    };

    qsizetype messageLength() const;
    // Shows the answer of the send under way; with `wait` it first waits for
    // the call to return, otherwise it does nothing until it has.
    void finishSend(bool wait);

    SendSMSForm* ui;
    SendFunction m_send;

    // A send runs on a worker thread; the watcher reports its end.
    QFuture<Outcome> m_future;
    QFutureWatcher<Outcome> m_watcher;
    // True from the press of the send button until the answer box is closed.
    bool m_busy = false;
    // True while the answer box of the current send is open.
    bool m_showingAnswer = false;
    bool m_waitCursor = false;
};

#endif  // ZELVODESK_SENDSMS_H
