// What an alerting system's webhook (POST /v1/alertmanager?to=...) turns
// into: one SMS text per notification and an idempotency key per recipient,
// so that the sender's retries of a notification add it only once.
//
// The payload (version "4") names a group (groupKey), its status ("firing"
// or "resolved") and its alerts, each with a status, labels, annotations
// and usually a fingerprint. The sender posts a group again when it changes
// and, while it fires unchanged, every few hours; a failed delivery is
// posted again as it was. Dashboards that post the same shape add fields of
// their own (orgId, values, URLs); every field not named below is ignored.
//
// The text, most important first, so that the caller's cut to one SMS
// (zelvosend::prepareMessage with replace and truncate) loses the tail:
//   "[FIRING:2] DiskFull db1: disk 95% full; HighLoad web2: load 12"
//   "[RESOLVED:1] DiskFull db1: disk ok"
// - A firing group counts and lists its firing alerts; the resolved alerts
//   a firing group may carry along follow after " [RESOLVED:n] ". A resolved
//   group counts and lists all its alerts. Alerts keep the payload's order
//   and are joined by "; ".
// - An alert is its name, labels.alertname ("alert" without one), then
//   labels.instance if it has one, then ": " and its summary:
//   annotations.summary, else annotations.description, else nothing (and no
//   ": "). No other label is shown.
// - In those values every run of spaces, line breaks (LF, CR LF, CR), tabs
//   and other ASCII control characters becomes one space, and spaces at
//   either end are dropped; a value that is then empty counts as absent.
//   Other characters, also those outside Latin-1, are kept as UTF-8 for the
//   caller's conversion.
//
// The key base is groupKey, the group's status and the sorted list of the
// alerts' (identity, status), where the identity is the fingerprint, or the
// alert's labels (all of them, sorted by name) when it has none. A retry
// and an unchanged repeat give the same base, whatever the order of the
// alerts or of the fields; a resolution, an alert that fires or resolves,
// one added or removed give another. Texts do not enter it. Whether an
// unchanged repeat is sent again is up to the dedup window the caller adds
// the key with: shorter than the sender's repeat interval lets it through.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace zelvoqueue {

struct AlertNotification {
    std::string text;  // UTF-8, one SMS: the status, the count and the alerts' names and summaries
    std::string keyBase;  // the same for a retry of the same notification; differs when the status,
                          // the group or its alerts change
};

// The notification in `payload`, a parsed webhook body. Needed: an object
// with groupKey (string), status ("firing" or "resolved") and alerts (a
// non-empty array of objects, each with status "firing" or "resolved" and
// labels, an object); used when present: fingerprint, labels.alertname and
// labels.instance, annotations (an object) with summary and description,
// all strings. Anything else of the payload is ignored. A needed field
// missing, or a used one of the wrong type, throws std::invalid_argument
// with a short reason that names it, e.g. "alerts: not an array",
// "status: missing", "alerts[1].labels.alertname: not a string" (alerts[0]
// is the first).
AlertNotification readAlertNotification(const nlohmann::json& payload);

// The idempotency key of `n` for one recipient, written as the caller
// stores the recipient: "alertmanager:" and 32 hex digits of a 128-bit
// FNV-1a hash over the key base and the recipient (45 bytes, within the
// queue's 200). Not a cryptographic hash: it only has to tell notifications
// apart, and whoever can post to the webhook can send anyway.
std::string alertKey(const AlertNotification& n, const std::string& recipient);

}  // namespace zelvoqueue
