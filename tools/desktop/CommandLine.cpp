#include "CommandLine.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QIcon>
#include <QPalette>
#include <QStyleFactory>
#include <QTimer>

#include "Library.h"
#include "MainWindow.h"

namespace kilnware::desktop {

void followDarkTheme(QApplication& app) {
    const QString theme = qEnvironmentVariable("GTK_THEME");
    if (!theme.endsWith(QLatin1String(":dark")) ||
        app.palette().color(QPalette::Window).lightness() < 128) {
        return;
    }
    app.setStyle(QStyleFactory::create("Fusion"));
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(45, 45, 48));
    dark.setColor(QPalette::WindowText, QColor(230, 230, 230));
    dark.setColor(QPalette::Base, QColor(30, 30, 32));
    dark.setColor(QPalette::AlternateBase, QColor(45, 45, 48));
    dark.setColor(QPalette::ToolTipBase, QColor(30, 30, 32));
    dark.setColor(QPalette::ToolTipText, QColor(230, 230, 230));
    dark.setColor(QPalette::Text, QColor(230, 230, 230));
    dark.setColor(QPalette::Button, QColor(55, 55, 58));
    dark.setColor(QPalette::ButtonText, QColor(230, 230, 230));
    dark.setColor(QPalette::BrightText, Qt::red);
    dark.setColor(QPalette::Highlight, QColor(53, 132, 228));
    dark.setColor(QPalette::HighlightedText, Qt::white);
    dark.setColor(QPalette::Link, QColor(120, 170, 255));
    dark.setColor(QPalette::PlaceholderText, QColor(150, 150, 150));
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        dark.setColor(QPalette::Disabled, role, QColor(130, 130, 130));
    }
    app.setPalette(dark);
}

int run(QApplication& app) {
    QApplication::setApplicationName("kilnware-desktop");
    QApplication::setApplicationVersion(KILNWARE_VERSION);
    QApplication::setApplicationDisplayName(
        QApplication::translate("main", "Kilnware Disc Burner"));
    QApplication::setDesktopFileName("kilnware-desktop");
    QApplication::setWindowIcon(QIcon(":/kilnware-desktop.png"));
    followDarkTheme(app);

    QCommandLineParser parser;
    parser.setApplicationDescription(QApplication::translate(
        "main",
        "Burns audio CDs, MP3 CDs, data discs and video DVDs, burns disc images and "
        "erases rewritable discs. Without a recorder it burns to disc images."));
    parser.addHelpOption();
    parser.addVersionOption();
    struct Kind {
        const char* name;
        Project::Kind kind;
        QString help;
    };
    const Kind kinds[] = {
        {"data", Project::Kind::Data, QApplication::translate("main", "A data disc of PATHs")},
        {"audio", Project::Kind::Audio,
         QApplication::translate("main", "An audio CD of the audio FILEs, one track each")},
        {"mp3", Project::Kind::Mp3, QApplication::translate("main", "An MP3 CD of PATHs")},
        {"video", Project::Kind::Video,
         QApplication::translate("main", "A video DVD authored from MPEG-2 files")},
        {"video-ts", Project::Kind::VideoTs,
         QApplication::translate("main", "A video DVD of a prepared DVD-video FOLDER")},
        {"image", Project::Kind::Image,
         QApplication::translate("main", "Burn a disc image FILE (.iso or .cue)")},
        {"erase", Project::Kind::Erase, QApplication::translate("main", "Erase a disc")},
    };
    for (const Kind& kind : kinds) {
        parser.addOption(QCommandLineOption(QString::fromLatin1(kind.name), kind.help));
    }
    QCommandLineOption imageDir(
        "image-dir",
        QApplication::translate("main", "Where the image recorder writes (default: home)"),
        QApplication::translate("main", "DIR"), QDir::homePath());
    parser.addOption(imageDir);
    // For the packaging check and the screenshots: a picture of the window once shown, then quit.
    QCommandLineOption screenshot("screenshot", QString(), "PNG");
    screenshot.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(screenshot);
    parser.addPositionalArgument("paths", QApplication::translate("main", "Files and folders"),
                                 "[PATH...]");
    parser.process(app);

    Library library(QDir(parser.value(imageDir)).absolutePath());
    MainWindow window(library);
    for (const Kind& kind : kinds) {
        if (parser.isSet(QString::fromLatin1(kind.name))) {
            window.openProject(kind.kind, parser.positionalArguments());
            break;
        }
    }
    window.show();
    if (parser.isSet(screenshot)) {
        // Once the recorders are listed and the project measured.
        auto* settle = new QTimer(&window);
        QObject::connect(settle, &QTimer::timeout, &window,
                         [&window, file = parser.value(screenshot)] {
                             if (window.settled()) {
                                 window.grab().save(file, "PNG");
                                 window.close();
                             }
                         });
        settle->start(100);
    }
    return app.exec();
}

}  // namespace kilnware::desktop
