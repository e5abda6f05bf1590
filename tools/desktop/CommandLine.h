#pragma once

class QApplication;

namespace kilnware::desktop {

// Reads the command line before the windows' application starts, so that help, the version and
// a mistaken option are answered (and the program ends) where there is no display, as over ssh.
void answerWithoutDisplay(int argc, char** argv);

// The program: its command line (projects open from it, as K3b's do: --data PATH..., --audio
// FILE..., --mp3 PATH..., --video MPEG..., --video-ts FOLDER, --image FILE, --erase), the look,
// the library thread and the window, until the window closes.
int run(QApplication& app);

// A dark palette when the desktop asks for a dark theme the way GTK programs are asked
// (GTK_THEME=Name:dark), and the platform gave a light one.
void followDarkTheme(QApplication& app);

}  // namespace kilnware::desktop
