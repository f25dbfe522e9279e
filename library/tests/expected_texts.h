// The library's texts as its callers see them, written out here on their own
// (not taken from the library) so that a changed byte shows up in the tests.
#pragma once

#include <string>

namespace zelvotest {

// "Gründen" with the single Windows-1252 byte 0xFC.
inline const std::string kNothingReceived =
    "[ERROR] Verbindung zum Server aus unbekannten Gr\xfc"
    "nden fehlgeschlagen";
inline const std::string kBadFormat =
    "[ERROR] Antwort vom Server entspricht nicht dem erwarteten Format";
inline const std::string kNoAnswerFromLoopback =
    "[ERROR] Keine Antwort von 127.0.0.1 - Versand ungewiss";
inline const std::string kSendFailedPrefix = "send() in \"msgSend()\" fehlgeschlagen: ";

}  // namespace zelvotest
