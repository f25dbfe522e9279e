// The program's run once its application object exists: the toolkit's German
// translation, the one SendSMS window and the event loop.
#ifndef ZELVODESK_STARTUP_H
#define ZELVODESK_STARTUP_H

// Loads "qt_de.qm" from the working directory and installs it (also when the
// file is missing: the toolkit's texts then stay in its own language), shows
// the window and runs the event loop until the window is closed. The window
// is destroyed before the translator. Returns the event loop's exit code.
int runZelvodesk();

#endif  // ZELVODESK_STARTUP_H
