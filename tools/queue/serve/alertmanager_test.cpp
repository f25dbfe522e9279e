#include "alertmanager.h"

#include <functional>
#include <stdexcept>

#include <gtest/gtest.h>

namespace zelvoqueue {
namespace {

using nlohmann::json;

const char* const kFiring = R"({"version": "4", "groupKey": "{}:{team=\"db\"}", "status": "firing",
  "receiver": "sms", "groupLabels": {"team": "db"}, "truncatedAlerts": 0, "alerts": [
  {"status": "firing", "labels": {"alertname": "DiskFull", "instance": "db1"},
   "annotations": {"summary": "disk 95% full", "description": "runbook"}, "fingerprint": "a1"},
  {"status": "firing", "labels": {"instance": "web2", "alertname": "HighLoad"},
   "annotations": {"description": "load 12"}, "generatorURL": "http://p/g", "fingerprint": "b2"}]})";

// The same group as a dashboard posts it: other order, fields of its own.
const char* const kDashboard = R"({"orgId": 1, "alerts": [{"fingerprint": "b2", "status": "firing",
  "annotations": {"description": "load 12"}, "values": {"B": 12}, "silenceURL": "http://d/s",
  "labels": {"alertname": "HighLoad", "instance": "web2"}, "dashboardURL": "", "panelURL": ""},
  {"labels": {"instance": "db1", "alertname": "DiskFull"}, "fingerprint": "a1", "values": null,
   "annotations": {"summary": "disk 95% full"}, "status": "firing"}],
  "status": "firing", "groupKey": "{}:{team=\"db\"}", "title": "[FIRING:2]", "state": "alerting"})";

TEST(AlertNotification, TextKeyAndRefusals) {
    const std::string base = "[FIRING:2] DiskFull db1: disk 95% full; HighLoad web2: load 12";
    const auto j = [](const char* text) { return json::parse(text); };
    struct Row {
        const char* label;
        std::function<void(json&)> change;  // to the firing group
        std::string error;                  // the reason expected, or empty
        std::string text = {};              // expected; empty: not checked
        bool sameKey = false;               // as the firing group's for +4917100
        const char* to = "+4917100";
    } rows[] = {
        {"as sent", [](json&) {}, "", base, true},
        {"dashboard", [&](json& p) { p = j(kDashboard); }, "",
         "[FIRING:2] HighLoad web2: load 12; DiskFull db1: disk 95% full", true},
        {"swapped", [](json& p) { std::swap(p["alerts"][0], p["alerts"][1]); }, "", "", true},
        {"line breaks",
         [](json& p) { p["alerts"][0]["annotations"]["summary"] = " disk\n95%\r\nfull\r"; }, "",
         base, true},
        {"non-ASCII",
         [](json& p) { p["alerts"][1]["annotations"]["description"] = "Plattenplatz €"; }, "",
         "[FIRING:2] DiskFull db1: disk 95% full; HighLoad web2: Plattenplatz €", true},
        {"resolved",
         [](json& p) {
             p["status"] = p["alerts"][0]["status"] = p["alerts"][1]["status"] = "resolved";
         },
         "", "[RESOLVED:2] DiskFull db1: disk 95% full; HighLoad web2: load 12"},
        {"one resolved", [](json& p) { p["alerts"][0]["status"] = "resolved"; }, "",
         "[FIRING:1] HighLoad web2: load 12 [RESOLVED:1] DiskFull db1: disk 95% full"},
        {"bare alert added",
         [&](json& p) { p["alerts"].push_back(j(R"({"status": "firing", "labels": {}})")); }, "",
         "[FIRING:3] DiskFull db1: disk 95% full; HighLoad web2: load 12; alert"},
        {"other group", [](json& p) { p["groupKey"] = "{}:{team=\"web\"}"; }, "", base},
        {"other recipient", [](json&) {}, "", base, false, "+4917101"},
        {"no fingerprint", [](json& p) { p["alerts"][1].erase("fingerprint"); }, "", base},
        {"no status", [](json& p) { p.erase("status"); }, "status: missing"},
        {"odd status", [](json& p) { p["status"] = "pending"; },
         "status: neither firing nor resolved"},
        {"no group", [](json& p) { p.erase("groupKey"); }, "groupKey: missing"},
        {"alerts text", [](json& p) { p["alerts"] = "DiskFull"; }, "alerts: not an array"},
        {"no alerts", [](json& p) { p["alerts"] = json::array(); }, "alerts: empty"},
        {"alert status", [](json& p) { p["alerts"][1].erase("status"); },
         "alerts[1].status: missing"},
        {"no labels", [](json& p) { p["alerts"][0].erase("labels"); }, "alerts[0].labels: missing"},
        {"name a number", [](json& p) { p["alerts"][1]["labels"]["alertname"] = 5; },
         "alerts[1].labels.alertname: not a string"},
        {"summary list", [](json& p) { p["alerts"][0]["annotations"]["summary"] = json::array(); },
         "alerts[0].annotations.summary: not a string"},
    };
    const std::string firingKey = alertKey(readAlertNotification(j(kFiring)), "+4917100");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        json payload = j(kFiring);
        row.change(payload);
        if (!row.error.empty()) {
            try {
                readAlertNotification(payload);
                ADD_FAILURE() << "accepted";
            } catch (const std::invalid_argument& e) {
                EXPECT_EQ(e.what(), row.error);
            }
            continue;
        }
        const AlertNotification n = readAlertNotification(payload);
        const std::string key = alertKey(n, row.to);
        if (!row.text.empty()) {
            EXPECT_EQ(n.text, row.text);
        }
        EXPECT_EQ(key == firingKey, row.sameKey) << key;
        EXPECT_LE(key.size(), 200u);
    }
}

}  // namespace
}  // namespace zelvoqueue
