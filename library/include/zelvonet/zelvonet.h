/*
 * zelvonet - send one short message (SMS) through the operator's HTTP gateway.
 *
 * The library exports exactly two functions with C linkage under plain names,
 * so that any program can bind them by name. Both are synchronous: one call
 * composes one HTTP/1.1 GET request to the gateway's servlet, sends it
 * directly or through an HTTP proxy, reads the reply and hands the gateway's
 * verdict back in the caller's buffer.
 *
 * Strings are 8-bit NUL-terminated byte strings; the library converts no
 * character set. Its own texts are Windows-1252 and start with "[ERROR] ".
 * The caller owns every argument; the library keeps no pointer after the
 * call, allocates nothing that the caller must free, raises no exception and
 * may be called from several threads at once (calls share no state).
 */
#ifndef ZELVONET_ZELVONET_H
#define ZELVONET_ZELVONET_H

#if defined(_WIN32)
#if defined(ZELVONET_BUILDING)
#define ZELVONET_API __declspec(dllexport)
#else
#define ZELVONET_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define ZELVONET_API __attribute__((visibility("default")))
#else
#define ZELVONET_API
#endif

#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * sendSMS2 - send one message; `test` asks the gateway for a test send.
 *
 * kdnr, user, key, msg, receiver: read-only, must not be null (empty is fine).
 *   A null one gives result 1 and "[ERROR] Pflichtfeld fehlt: <name>";
 *   nothing is connected or sent.
 *   One of them, or time, of 2 GiB (2147483648 bytes) or more gives
 *   result 1 and "[ERROR] Wert zu lang: <name>"; nothing is connected or sent.
 * firma:      company number, sent as decimal text.
 * time:       optional time value; null or empty leaves the key out.
 * proxyHost:  null or empty: connect to the gateway directly; otherwise
 *             connect to this proxy at the low 16 bits of proxyPort.
 * test:       true adds "&test=1" to the query.
 * answer:     caller's buffer of answerSize bytes, terminator included; may be
 *             null (then nothing is written, the result is still computed).
 *
 * Copy rule: the answer text is written only once the outcome is known; at
 * most answerSize - 1 bytes of it and a NUL are written, silently truncated;
 * with answerSize 0 or less nothing is written at all.
 *
 * Result: 0 when the gateway's answer line is exactly "OK" ("OK" is written);
 * 1 otherwise: the gateway's own answer line, or one of the library's texts:
 *   "[ERROR] Fehler im Socket-Subsystem"
 *   "[ERROR] Socket konnte nicht erzeugt werden"
 *   "[ERROR] Host nicht gefunden: <host>"
 *   "[ERROR] Verbindung konnte nicht etabliert werden: <host> reagiert nicht"
 *   "[ERROR] Verbindung zum Server aus unbekannten Gründen fehlgeschlagen"
 *     (the ü is the single Windows-1252 byte 0xFC)
 *   "[ERROR] Antwort vom Server entspricht nicht dem erwarteten Format"
 *   "[ERROR] Keine Antwort von <host> - Versand ungewiss"
 *   "[ERROR] Pflichtfeld fehlt: <name>"
 *   "[ERROR] Wert zu lang: <name>"
 *   "[ERROR] Nicht genug Speicher" (memory ran out during the call)
 * A failed send of the request prints one line on standard error
 * ("send() in "msgSend()" fehlgeschlagen: <reason>"); nothing else is printed.
 */
ZELVONET_API int sendSMS2(const char* kdnr, int firma, const char* user, const char* key,
                          const char* msg, const char* receiver, const char* time,
                          const char* proxyHost, int proxyPort, bool test, char* answer,
                          int answerSize);

/*
 * sendSMS - exactly sendSMS2 with `test` false: same arguments in the same
 * order without `test`, same request bytes, texts and results. It never sends
 * the key "test".
 */
ZELVONET_API int sendSMS(const char* kdnr, int firma, const char* user, const char* key,
                         const char* msg, const char* receiver, const char* time,
                         const char* proxyHost, int proxyPort, char* answer, int answerSize);

#ifdef __cplusplus
}
#endif

#endif /* ZELVONET_ZELVONET_H */
