#include "CommandLine.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QIcon>
#include <QPalette>
#include <QStyleFactory>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

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

namespace {

// A project the command line opens, as K3b's do.
struct Kind {
    const char* name;
    Project::Kind kind;
    const char* help;
};
constexpr Kind kKinds[] = {
    {"data", Project::Kind::Data, QT_TRANSLATE_NOOP("main", "A data disc of PATHs")},
    {"audio", Project::Kind::Audio,
     QT_TRANSLATE_NOOP("main", "An audio CD of the audio FILEs, one track each")},
    {"mp3", Project::Kind::Mp3, QT_TRANSLATE_NOOP("main", "An MP3 CD of PATHs")},
    {"video", Project::Kind::Video,
     QT_TRANSLATE_NOOP("main", "A video DVD authored from MPEG-2 files")},
    {"video-ts", Project::Kind::VideoTs,
     QT_TRANSLATE_NOOP("main", "A video DVD of a prepared DVD-video FOLDER")},
    {"image", Project::Kind::Image,
     QT_TRANSLATE_NOOP("main", "Burn a disc image FILE (.iso or .cue)")},
    {"erase", Project::Kind::Erase, QT_TRANSLATE_NOOP("main", "Erase a disc")},
};

// What the command line may say; read once the application exists.
struct Options {
    QCommandLineParser parser;
    QCommandLineOption imageDir{
        "image-dir",
        QCoreApplication::translate("main", "Where the image recorder writes (default: home)"),
        QCoreApplication::translate("main", "DIR"), QDir::homePath()};
    // For the packaging check and the screenshots: a picture of the window once shown, then quit.
    QCommandLineOption screenshot{"screenshot", QString(), "PNG"};

    Options() {
        QCoreApplication::setApplicationName("kilnware-desktop");
        QCoreApplication::setApplicationVersion(KILNWARE_VERSION);
        parser.setApplicationDescription(QCoreApplication::translate(
            "main",
            "Burns audio CDs, MP3 CDs, data discs and video DVDs, burns disc images and "
            "erases rewritable discs. Without a recorder it burns to disc images."));
        parser.addHelpOption();
        parser.addVersionOption();
        for (const Kind& kind : kKinds) {
            parser.addOption(QCommandLineOption(QString::fromLatin1(kind.name),
                                                QCoreApplication::translate("main", kind.help)));
        }
        parser.addOption(imageDir);
        screenshot.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(screenshot);
        parser.addPositionalArgument(
            "paths", QCoreApplication::translate("main", "Files and folders"), "[PATH...]");
    }
};

}  // namespace

void answerWithoutDisplay(int argc, char** argv) {
    const QCoreApplication app(argc, argv);
    Options options;
    // Qt's own options (-platform, -style...) are unknown here: the windows' application reads
    // them, and answers mistakes.
    options.parser.parse(QCoreApplication::arguments());
    if (options.parser.isSet("help")) {
        options.parser.showHelp();
    }
    if (options.parser.isSet("version")) {
        options.parser.showVersion();
    }
    const QStringList arguments = QCoreApplication::arguments();
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && !arguments.contains("-platform") &&
        !arguments.contains("--platform")) {
        std::fprintf(stderr, "%s\n",
                     qPrintable(QCoreApplication::translate(
                         "main",
                         "kilnware-desktop needs a display, and none is set (DISPLAY or "
                         "WAYLAND_DISPLAY). Over ssh, connect with ssh -X; or burn with the "
                         "kilnware command.")));
        std::exit(1);
    }
}

int run(QApplication& app) {
    QApplication::setApplicationDisplayName(
        QApplication::translate("main", "Kilnware Disc Burner"));
    QApplication::setDesktopFileName("kilnware-desktop");
    QApplication::setWindowIcon(QIcon(":/kilnware-desktop.png"));
    followDarkTheme(app);
    Options options;
    QCommandLineParser& parser = options.parser;
    parser.process(app);

    Library library(QDir(parser.value(options.imageDir)).absolutePath());
    MainWindow window(library);
    for (const Kind& kind : kKinds) {
        if (parser.isSet(QString::fromLatin1(kind.name))) {
            window.openProject(kind.kind, parser.positionalArguments());
            break;
        }
    }
    window.show();
    if (parser.isSet(options.screenshot)) {
        // Once the recorders are listed and the project measured.
        auto* settle = new QTimer(&window);
        QObject::connect(settle, &QTimer::timeout, &window,
                         [&window, file = parser.value(options.screenshot)] {
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
