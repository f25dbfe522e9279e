// zelvodesk: a window for sending one SMS at a time through the gateway.
#include <QApplication>

#include "startup.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    return runZelvodesk();
}
