// kilnware-desktop: burns audio CDs, MP3 CDs, data discs and video DVDs, burns disc images and
// erases rewritable discs, in windows, through the Kilnware library. Without a recorder it burns
// to disc images.
#include <QApplication>

#include "CommandLine.h"

int main(int argc, char** argv) {
    kilnware::desktop::answerWithoutDisplay(argc, argv);
    QApplication app(argc, argv);
    return kilnware::desktop::run(app);
}
