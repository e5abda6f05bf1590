// The longest stall of kilnware-desktop's window thread while the library works: while the video
// DVD's authoring and imaging tools run, while 200 FLAC files are measured, and while a burn runs.
// A timer on the window's thread ticks every 5 ms and repaints the window; a stall is the longest
// gap between two ticks past those 5 ms, in which the window could neither repaint nor see a
// click on Cancel. Prints one line per situation: "NAME MILLISECONDS", the first one with the
// library idle (what the machine's own load costs).
//
//   desktop_stall MPEG FLAC-FOLDER DATA-FOLDER IMAGE-FOLDER
#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QRadioButton>
#include <QTimer>

#include <cstdio>
#include <functional>

#include "Library.h"
#include "MainWindow.h"
#include "SetupDialog.h"

using namespace kilnware::desktop;

namespace {

// The longest gap between ticks, past the tick's own interval, while `work` runs to `done`.
class StallMeter {
public:
    explicit StallMeter(QWidget& window) {
        timer_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer_, &QTimer::timeout, [this, &window] {
            const qint64 now = clock_.nsecsElapsed();
            if (last_ >= 0) {
                worst_ = std::max(worst_, now - last_ - kTick * 1'000'000);
            }
            last_ = now;
            window.update();
        });
    }
    double measure(const std::function<void()>& start, const std::function<bool()>& done) {
        worst_ = 0;
        last_ = -1;
        clock_.start();
        timer_.start(kTick);
        start();
        while (!done()) {
            QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        }
        timer_.stop();
        return static_cast<double>(worst_) / 1e6;
    }

private:
    static constexpr int kTick = 5;
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 last_ = -1;
    qint64 worst_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    if (argc != 5) {
        std::fprintf(stderr, "usage: desktop_stall MPEG FLAC-FOLDER DATA-FOLDER IMAGE-FOLDER\n");
        return 2;
    }
    const QString mpeg = argv[1];
    const QDir flacs(argv[2]);
    const QString data = argv[3];
    Library library(argv[4]);
    MainWindow window(library);
    window.show();
    StallMeter meter(window);

    bool setupShown = false;
    bool finished = false;
    Outcome outcome;
    // The setup dialog is answered as a user would: the image recorder, Burn.
    QObject::connect(&library, &Library::setupRequested, &window, [&] {
        setupShown = true;
        QTimer::singleShot(0, &window, [&window] {
            auto* setup = window.findChild<SetupDialog*>();
            for (auto* radio : setup->findChildren<QRadioButton*>()) {
                if (radio->accessibleName() == "Kilnware Image Recorder") {
                    radio->click();
                }
            }
            setup->accept();
        });
    });
    QObject::connect(&library, &Library::finished, &window, [&](const Outcome& result) {
        outcome = result;
        finished = true;
    });
    auto wait = [&](const std::function<bool()>& done) {
        while (!done()) {
            QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        }
    };
    // Every disc fits a BD-R; after each burn the written disc is ejected for a blank.
    quintptr imageRecorder = 0;
    bool blank = false;
    QObject::connect(&library, &Library::recordersChanged, &window,
                     [&](const QVector<Recorder>& recorders) {
                         for (const auto& recorder : recorders) {
                             if (recorder.imageRecorder) {
                                 imageRecorder = recorder.id;
                                 blank = recorder.mediaPresent && recorder.blocksUsed == 0 &&
                                         recorder.mediaType == "BDR";
                             }
                         }
                     });
    library.setImageRecorder({"bd-r", argv[4]});
    wait([&] { return window.settled() && blank; });
    auto freshBlank = [&] {
        blank = false;
        library.eject(imageRecorder);
        wait([&] { return blank; });
    };
    int failures = 0;
    auto report = [&](const char* name, double stall) {
        std::printf("%s %.1f\n", name, stall);
        std::fflush(stdout);
    };
    auto ended = [&](const char* what) {
        if (outcome.kind != Outcome::Kind::Done) {
            std::fprintf(stderr, "desktop_stall: the %s did not burn: %s\n", what,
                         outcome.reason.toUtf8().constData());
            ++failures;
        }
    };

    // Nothing running, for two seconds: what the machine itself costs the window.
    QElapsedTimer idle;
    report("idle", meter.measure([&] { idle.start(); }, [&] { return idle.elapsed() > 2000; }));

    // The video DVD: authoring and imaging run on the library thread until its setup panel.
    Project video;
    video.kind = Project::Kind::Video;
    video.paths << mpeg;
    report("video-tools",
           meter.measure([&] { library.burn(video); }, [&] { return setupShown || finished; }));
    wait([&] { return finished; });
    ended("video DVD");
    freshBlank();

    // 200 FLAC files measured for the audio CD's table.
    QStringList files;
    for (const QString& name : flacs.entryList({"*.flac"}, QDir::Files, QDir::Name)) {
        files << flacs.filePath(name);
    }
    int measured = 0;
    QObject::connect(&library, &Library::audioMeasured, &window, [&] { ++measured; });
    report("measure-200-flac", meter.measure([&] { library.measureAudio(files); },
                                             [&] { return measured == files.size(); }));

    // A data disc burned to the image recorder, from Burn to its end.
    finished = false;
    setupShown = false;
    Project disc;
    disc.kind = Project::Kind::Data;
    disc.paths << data;
    report("data-burn", meter.measure([&] { library.burn(disc); }, [&] { return finished; }));
    ended("data disc");
    return failures == 0 ? 0 : 1;
}
