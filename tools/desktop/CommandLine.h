#pragma once

class QApplication;

namespace kilnware::desktop {

// Before the windows' application starts: answers help and the version where there is no display
// (as over ssh), and ends a start without a display with the reason, where Qt would abort.
void answerWithoutDisplay(int argc, char** argv);

// The program: its command line (projects open from it, as K3b's do: --data PATH..., --audio
// FILE..., --mp3 PATH..., --video MPEG..., --video-ts FOLDER, --image FILE, --erase), the look,
// the library thread and the window, until the window closes.
int run(QApplication& app);

// A dark palette when the desktop asks for a dark theme the way GTK programs are asked
// (GTK_THEME=Name:dark), and the platform gave a light one.
void followDarkTheme(QApplication& app);

}  // namespace kilnware::desktop
