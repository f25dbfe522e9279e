// The form record of the SendSMS window, built from sendsms.ui: one public
// pointer per widget, layout and spacer, each named like the object it points
// to. It owns nothing; the widgets are children of the window.
#ifndef ZELVODESK_SENDSMSFORM_H
#define ZELVODESK_SENDSMSFORM_H

#include "ui_sendsms.h"

class SendSMSForm : public Ui::SendSMS {};

#endif  // ZELVODESK_SENDSMSFORM_H
