// The program's run once its application object exists: the toolkit's German
// translation, the font, the one SendSMS window and the event loop.
#ifndef ZELVODESK_STARTUP_H
#define ZELVODESK_STARTUP_H

#include <QString>

class QWidget;

// Where the system lacks a family that the window's texts ask for (the
// toolkit's default font, the form's heading: a Windows without its dialog
// font, as a fresh Wine prefix is), the toolkit picks one of the installed
// families by its own scoring: a serif, or even a font of mathematical
// symbols or icons. The system itself draws another face for that family,
// the substitute it chooses, as in every other program's dialogs. Makes the
// toolkit substitute that face for the application's font and, given a
// window, for each family its widgets ask for. Changes nothing where the
// families are installed, and nothing on other systems than Windows. Call it
// without a window before the first widget is made (the style measures with
// the application's font), then with the window before it is shown.
void followSystemFont(const QWidget* window);

// The face the system draws for `family`: the family itself when it is
// installed, else its substitute; empty where that cannot be asked (and on
// other systems than Windows).
QString systemFaceFor(const QString& family);

// Loads "qt_de.qm" from the working directory and installs it (also when the
// file is missing: the toolkit's texts then stay in its own language), makes
// the window, follows the system's fonts for it (followSystemFont), shows
// the window and runs the event loop until the window is closed. The window
// is destroyed before the translator. Returns the event loop's exit code.
int runZelvodesk();

#endif  // ZELVODESK_STARTUP_H
