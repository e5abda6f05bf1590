// The desktop program end to end through its real windows, on the image recorder: the pages are
// filled, Burn is pressed, the setup dialog is answered as a user would (by the recorders' and
// buttons' accessible names), and the result is read from the progress dialog and the disk.
//
// With KILNWARE_SCREENSHOTS=DIR each window is also saved as a picture there when it is shown
// (scripts/screenshots.sh).
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <cstring>
#include <functional>

#include "CommandLine.h"
#include "DiscDialog.h"
#include "Library.h"
#include "MainWindow.h"
#include "ProgressDialog.h"
#include "ProjectPages.h"
#include "SetupDialog.h"

namespace kilnware::desktop {
namespace {

constexpr const char* kImageRecorder = "Kilnware Image Recorder";

// Waits for what the library thread does; the bound only ends a test that hangs.
bool waitFor(const std::function<bool()>& done) {
    return QTest::qWaitFor(done, 120000);
}

// A 44.1 kHz 16-bit stereo WAV of `seconds` of a quiet tone.
void writeWav(const QString& path, int seconds) {
    const std::uint32_t frames = 44100u * static_cast<std::uint32_t>(seconds);
    const std::uint32_t dataBytes = frames * 4;
    QByteArray wav;
    auto put32 = [&](std::uint32_t v) { wav.append(reinterpret_cast<const char*>(&v), 4); };
    auto put16 = [&](std::uint16_t v) { wav.append(reinterpret_cast<const char*>(&v), 2); };
    wav.append("RIFF", 4);
    put32(36 + dataBytes);
    wav.append("WAVEfmt ", 8);
    put32(16);
    put16(1);
    put16(2);
    put32(44100);
    put32(44100 * 4);
    put16(4);
    put16(16);
    wav.append("data", 4);
    put32(dataBytes);
    for (std::uint32_t i = 0; i < frames; ++i) {
        const auto sample = static_cast<std::int16_t>((i % 100) * 20 - 1000);
        put16(static_cast<std::uint16_t>(sample));
        put16(static_cast<std::uint16_t>(sample));
    }
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(wav);
}

void writeFile(const QString& path, qint64 bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    QByteArray block(1 << 16, '\0');
    for (qint64 done = 0; done < bytes; done += block.size()) {
        for (int i = 0; i < block.size(); i += 64) {
            block[i] = static_cast<char>((done + i) * 2654435761u >> 24);
        }
        file.write(block.constData(), std::min<qint64>(block.size(), bytes - done));
    }
}

class Desktop : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(work.isValid() && images.isValid());
        library = std::make_unique<Library>(images.path());
        window = std::make_unique<MainWindow>(*library);
        window->show();
        ASSERT_TRUE(waitFor([&] { return button(window.get(), kImageRecorder, "Eject"); }));
    }
    void TearDown() override {
        window.reset();
        library.reset();
    }

    // The first visible widget of type T under `root` whose accessible name (or text) is `name`.
    template <typename T>
    static T* named(QWidget* root, const QString& name) {
        for (T* widget : root->findChildren<T*>()) {
            if (widget->isVisible() &&
                (widget->accessibleName() == name ||
                 (widget->accessibleName().isEmpty() &&
                  widget->property("text").toString().remove('&') == name))) {
                return widget;
            }
        }
        return nullptr;
    }
    // A button whose name starts with `prefix` and mentions `recorder` ("Eject Kilnware...").
    static QAbstractButton* button(QWidget* root, const QString& recorder, const QString& prefix) {
        return named<QAbstractButton>(root, prefix + " " + recorder);
    }
    template <typename T>
    static T* dialog(const char* objectName) {
        for (QWidget* top : QApplication::topLevelWidgets()) {
            if (auto* found = qobject_cast<T*>(top);
                found && found->isVisible() && found->objectName() == objectName) {
                return found;
            }
        }
        return nullptr;
    }

    // Pictures of the windows for scripts/screenshots.sh.
    static void picture(QWidget* window, const QString& name) {
        const QString folder = qEnvironmentVariable("KILNWARE_SCREENSHOTS");
        if (!folder.isEmpty()) {
            // Word-wrapped labels take more than one round to settle: the scroll area sizes the
            // recorder list only after the list's layout has asked for the height its cards need.
            for (int round = 0; round < 3; ++round) {
                QApplication::processEvents();
            }
            window->grab().save(folder + "/" + name + ".png");
        }
    }

    void pressBurn() {
        QAbstractButton* burn = named<QAbstractButton>(window.get(), "Burn");
        ASSERT_NE(burn, nullptr);
        ASSERT_TRUE(waitFor([&] { return burn->isEnabled(); }))
            << window->currentPage()->notReady().toStdString();
        picture(window.get(),
                "main-" + QString(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        burn->click();
    }
    SetupDialog* setupDialog() {
        SetupDialog* setup = nullptr;
        EXPECT_TRUE(waitFor([&] { return (setup = dialog<SetupDialog>("setupDialog")); }));
        return setup;
    }
    // Chooses the image recorder in the setup dialog and confirms with `confirm`.
    void confirmWithImageRecorder(const QString& confirm = "Burn") {
        SetupDialog* setup = setupDialog();
        ASSERT_NE(setup, nullptr);
        auto* recorder = named<QRadioButton>(setup, kImageRecorder);
        ASSERT_NE(recorder, nullptr);
        recorder->click();
        QAbstractButton* go = named<QAbstractButton>(setup, confirm);
        ASSERT_NE(go, nullptr);
        ASSERT_TRUE(go->isEnabled()) << recorder->accessibleDescription().toStdString();
        picture(setup, "setup");
        go->click();
    }
    // Answers the modal dialog named `objectName` with `answer` once it is up: pressing the
    // button of that name, or, for a file dialog, choosing the file it names.
    template <typename T>
    static void answerWhenUp(const char* objectName, const QString& answer) {
        QTimer::singleShot(10, [objectName, answer] {
            T* up = dialog<T>(objectName);
            if (!up) {
                answerWhenUp<T>(objectName, answer);
            } else if (auto* files = qobject_cast<QFileDialog*>(up)) {
                // As a person's choice reaches the window; the dialog's own typing and folder
                // reading, which run on its model's thread, are Qt's to test.
                emit files->fileSelected(answer);
                files->reject();
            } else {
                named<QAbstractButton>(up, answer)->click();
            }
        });
    }
    // Chooses `recorder` in the setup dialog that is up and burns once Burn can be pressed.
    void burnWith(const QString& recorder) {
        SetupDialog* setup = setupDialog();
        ASSERT_NE(setup, nullptr);
        named<QRadioButton>(setup, recorder)->click();
        QAbstractButton* burn = nullptr;
        ASSERT_TRUE(waitFor([&] {
            setup = setupDialog();
            burn = setup ? named<QAbstractButton>(setup, "Burn") : nullptr;
            return burn && burn->isEnabled();
        })) << refused(recorder).toStdString();
        burn->click();
    }
    // The words of the result, once the burn has ended.
    QString result() {
        ProgressDialog* progress = nullptr;
        EXPECT_TRUE(waitFor([&] {
            progress = dialog<ProgressDialog>("progressDialog");
            return progress && progress->showsOutcome();
        }));
        if (!progress) {
            return {};
        }
        auto* words = named<QLabel>(progress, "Result");
        if (!words) {
            return {};
        }
        // Shown whole: a reason of several lines is not cut off by the dialog.
        EXPECT_TRUE(
            waitFor([&] { return words->height() >= words->heightForWidth(words->width()); }));
        return words->text();
    }
    // The verdict on `recorder` in the setup dialog that is up, which must refuse it.
    QString refused(const QString& recorder) {
        SetupDialog* setup = setupDialog();
        auto* choice = setup ? named<QRadioButton>(setup, recorder) : nullptr;
        if (!choice) {
            return "no setup dialog with " + recorder;
        }
        choice->click();
        if (named<QAbstractButton>(setup, "Burn")->isEnabled()) {
            return "Burn is enabled";
        }
        return choice->accessibleDescription();
    }
    QStringList imagesWritten() const {
        return QDir(images.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    }

    QTemporaryDir work;
    QTemporaryDir images;
    std::unique_ptr<Library> library;
    std::unique_ptr<MainWindow> window;

    ProgressDialog* progressDialog() { return dialog<ProgressDialog>("progressDialog"); }
    void closeResult() {
        auto* close = named<QAbstractButton>(progressDialog(), "Close");
        ASSERT_NE(close, nullptr);
        close->click();
    }
    // The image recorder's medium, chosen in `root` (the main window or the setup dialog).
    void chooseImageMedium(QWidget* root, const QString& shortName) {
        auto* medium = named<QComboBox>(root, "Image recorder medium");
        ASSERT_NE(medium, nullptr);
        medium->setCurrentIndex(medium->findData(shortName));
        emit medium->activated(medium->currentIndex());
    }
    // What the image recorder's card says of its medium.
    QString recorderCard() const {
        QString all;
        for (auto* label : window->findChildren<QLabel*>()) {
            if (label->isVisible()) {
                all += label->text() + "\n";
            }
        }
        return all;
    }
};

TEST_F(Desktop, ADataDiscAndThenItsImageAreBurnedThroughTheWindows) {
    QDir(work.path()).mkpath("Holiday/photos");
    writeFile(work.filePath("Holiday/photos/beach.jpg"), 300'000);
    writeFile(work.filePath("Holiday/notes.txt"), 1'000);
    window->openProject(Project::Kind::Data, {work.filePath("Holiday")});
    pressBurn();
    confirmWithImageRecorder();
    QString words = result();
    picture(progressDialog(), "result");
    EXPECT_TRUE(words.contains("Data Disc.iso")) << words.toStdString();
    EXPECT_EQ(imagesWritten(), QStringList{"Data Disc.iso"});
    EXPECT_NE(named<QAbstractButton>(progressDialog(), "Show the Files"), nullptr);
    closeResult();

    // The written disc is not written over: its card and the setup dialog say what it holds.
    ASSERT_TRUE(waitFor([&] { return recorderCard().contains("holds"); }))
        << recorderCard().toStdString();
    pressBurn();
    // A CD-R is written once: no choice but another disc.
    EXPECT_TRUE(refused(kImageRecorder).contains("It cannot be written over: insert a blank disc."))
        << refused(kImageRecorder).toStdString();
    EXPECT_EQ(named<QAbstractButton>(setupDialog(), "Write over the disc"), nullptr);
    setupDialog()->reject();
    ASSERT_TRUE(waitFor([&] { return !library->busy(); }));

    // The written disc is ejected from its card; a blank follows, and the image goes on it.
    QFile::rename(images.filePath("Data Disc.iso"), work.filePath("disc.iso"));
    button(window.get(), kImageRecorder, "Eject")->click();
    ASSERT_TRUE(waitFor([&] { return recorderCard().contains("Free: 736.97 MB (79:57)"); }));
    window->openProject(Project::Kind::Image, {work.filePath("disc.iso")});
    pressBurn();
    confirmWithImageRecorder();
    words = result();
    ASSERT_EQ(imagesWritten().size(), 1) << words.toStdString();
    QFile original(work.filePath("disc.iso"));
    QFile copy(images.filePath(imagesWritten().front()));
    ASSERT_TRUE(original.open(QIODevice::ReadOnly) && copy.open(QIODevice::ReadOnly));
    EXPECT_TRUE(original.readAll() == copy.readAll());
}

// A rewritable that holds data is written over only once the user has chosen so and confirmed
// what is lost; then the burn goes on it.
TEST_F(Desktop, ARewritableThatHoldsDataIsWrittenOverOnlyWhenConfirmed) {
    chooseImageMedium(window.get(), "cd-rw");
    ASSERT_TRUE(waitFor([&] { return recorderCard().contains("CD-RW"); }));
    QDir(work.path()).mkpath("Docs");
    writeFile(work.filePath("Docs/letter.txt"), 100'000);
    window->openProject(Project::Kind::Data, {work.filePath("Docs")});
    pressBurn();
    burnWith(kImageRecorder);
    result();
    closeResult();
    ASSERT_TRUE(waitFor([&] { return recorderCard().contains("holds"); }));

    pressBurn();
    EXPECT_TRUE(refused(kImageRecorder).contains("Write over it, or insert another disc."))
        << refused(kImageRecorder).toStdString();
    picture(setupDialog(), "setup-holds-data");
    // A no to the question leaves it refused; a yes lets it be burned.
    answerWhenUp<QMessageBox>("writeOverConfirmation", "Cancel");
    named<QAbstractButton>(setupDialog(), "Write over the disc")->click();
    ASSERT_TRUE(waitFor([] { return !dialog<QMessageBox>("writeOverConfirmation"); }));
    EXPECT_FALSE(named<QAbstractButton>(setupDialog(), "Burn")->isEnabled());
    answerWhenUp<QMessageBox>("writeOverConfirmation", "Write Over");
    named<QAbstractButton>(setupDialog(), "Write over the disc")->click();
    burnWith(kImageRecorder);
    EXPECT_TRUE(result().contains("Data Disc 2.iso")) << result().toStdString();
    EXPECT_EQ(imagesWritten(), (QStringList{"Data Disc 2.iso", "Data Disc.iso"}));
}

// A disc image file added as a recorder takes a second session beside the first once the user
// chooses so; its contents list both, and a byte turned in the second is found by the check,
// which names the file.
TEST_F(Desktop, ASessionIsAddedToADiscImageFileWhichIsThenListedAndChecked) {
    const QString disc = work.filePath("backup.iso");
    const QString recorder = "stdio:" + disc;
    answerWhenUp<QFileDialog>("imageFileDialog", disc);
    QAction* add = nullptr;
    for (QAction* action : window->findChildren<QAction*>()) {
        add = action->text().remove('&') == "Add Disc Image File as Recorder..." ? action : add;
    }
    ASSERT_NE(add, nullptr);
    add->trigger();
    ASSERT_TRUE(waitFor([&] { return button(window.get(), recorder, "Eject"); }))
        << recorderCard().toStdString();
    EXPECT_TRUE(recorderCard().contains("a disc image file")) << recorderCard().toStdString();

    QDir(work.path()).mkpath("One");
    QDir(work.path()).mkpath("Two");
    writeFile(work.filePath("One/first.bin"), 70'000);
    QFile second(work.filePath("Two/second.txt"));
    ASSERT_TRUE(second.open(QIODevice::WriteOnly));
    second.write(QByteArray("the second session's own words. ").repeated(200));
    second.close();
    window->openProject(Project::Kind::Data, {work.filePath("One")});
    pressBurn();
    burnWith(recorder);
    EXPECT_TRUE(result().contains("The disc is burned")) << result().toStdString();
    closeResult();

    auto* files = named<QTreeWidget>(window.get(), "Files on the disc");
    files->selectAll();
    named<QAbstractButton>(window.get(), "Remove")->click();
    window->openProject(Project::Kind::Data, {work.filePath("Two")});
    ASSERT_TRUE(waitFor([&] { return recorderCard().contains("ISO 9660"); }));
    // Measured against the room after the first session.
    EXPECT_TRUE(waitFor([&] { return recorderCard().contains(" left (" + recorder + ")."); }))
        << recorderCard().toStdString();
    pressBurn();
    EXPECT_TRUE(refused(recorder).contains("add a session to it"))
        << refused(recorder).toStdString();
    named<QAbstractButton>(setupDialog(), "Add a session to the disc")->click();
    burnWith(recorder);
    EXPECT_TRUE(result().contains("The disc is burned")) << result().toStdString();
    closeResult();

    // The newest session holds both folders.
    ASSERT_TRUE(waitFor([&] {
        auto* show = button(window.get(), recorder, "Show the contents of the disc in");
        return show && show->isEnabled();
    }));
    button(window.get(), recorder, "Show the contents of the disc in")->click();
    DiscDialog* read = nullptr;
    auto closeRead = [&]() -> QAbstractButton* {
        return read ? named<QAbstractButton>(read, "Close") : nullptr;
    };
    ASSERT_TRUE(waitFor([&] {
        read = dialog<DiscDialog>("discDialog");
        return read && read->shown();
    }));
    auto* listed = named<QTreeWidget>(read, "Files on the disc");
    QStringList names;
    for (auto* item : listed->findItems("*", Qt::MatchWildcard | Qt::MatchRecursive)) {
        names << item->text(0);
    }
    names.sort();
    EXPECT_EQ(names, (QStringList{"One", "Two", "first.bin", "second.txt"}))
        << named<QLabel>(read, "Result")->text().toStdString();
    picture(read, "contents");
    closeRead()->click();

    // A byte of second.txt, which only the second session holds, turned.
    QFile image(disc);
    ASSERT_TRUE(image.open(QIODevice::ReadWrite));
    const qint64 at = image.readAll().indexOf("the second session's own words.");
    ASSERT_GT(at, 0);
    image.seek(at + 4);
    image.write("X", 1);
    image.close();
    button(window.get(), recorder, "Check the disc in")->click();
    ASSERT_TRUE(waitFor([&] {
        read = dialog<DiscDialog>("discDialog");
        return read && read->shown();
    }));
    const QString verdict = named<QLabel>(read, "Result")->text();
    picture(read, "check");
    EXPECT_TRUE(verdict.contains("is damaged")) << verdict.toStdString();
    EXPECT_TRUE(verdict.contains(QRegularExpression("Session 1 [^\n]*intact")))
        << verdict.toStdString();
    EXPECT_TRUE(
        verdict.contains(QRegularExpression("Session 2 [^\n]*damaged[^\n]*/Two/second.txt")))
        << verdict.toStdString();
}

TEST_F(Desktop, AnAudioCdOfThreeFilesWithCdText) {
    QStringList files;
    for (const char* name : {"one", "two", "three"}) {
        files << work.filePath(QString(name) + ".wav");
        writeWav(files.back(), 5);
    }
    window->openProject(Project::Kind::Audio, files);
    ASSERT_TRUE(waitFor([&] { return !window->currentPage()->measuring(); }));
    named<QLineEdit>(window.get(), "Disc title")->setText("Mix");
    // The performer every track shares becomes the disc's.
    auto* tracks = named<QTreeWidget>(window.get(), "Tracks");
    for (int i = 0; i < 3; ++i) {
        tracks->topLevelItem(i)->setText(2, "The Band");
    }
    EXPECT_EQ(named<QLineEdit>(window.get(), "Disc performer")->text(), "The Band");
    named<QAbstractButton>(window.get(), "Write the titles and performers as CD-Text")->click();
    pressBurn();
    confirmWithImageRecorder();
    const QString words = result();
    EXPECT_EQ(imagesWritten(), (QStringList{"Mix.bin", "Mix.cdt", "Mix.cue"}))
        << words.toStdString();
    QFile cue(images.filePath("Mix.cue"));
    ASSERT_TRUE(cue.open(QIODevice::ReadOnly));
    const QString sheet = QString::fromUtf8(cue.readAll());
    for (const char* line :
         {"TITLE \"Mix\"", "PERFORMER \"The Band\"", "TITLE \"two\"", "TRACK 03 AUDIO"}) {
        EXPECT_TRUE(sheet.contains(line)) << line << "\n" << sheet.toStdString();
    }
}

TEST_F(Desktop, AnEraseAndItsSetupComingBack) {
    chooseImageMedium(window.get(), "cd-rw");
    ASSERT_TRUE(waitFor([&] { return recorderCard().contains("CD-RW"); }));
    window->openProject(Project::Kind::Erase, {});
    QAbstractButton* erase = named<QAbstractButton>(window.get(), "Erase");
    ASSERT_NE(erase, nullptr);
    erase->click();
    confirmWithImageRecorder("Erase");
    EXPECT_TRUE(result().contains("is erased")) << result().toStdString();
    closeResult();
    // The erase setup comes back until it is cancelled.
    SetupDialog* again = setupDialog();
    ASSERT_NE(again, nullptr);
    again->reject();
    EXPECT_TRUE(waitFor([&] { return !library->busy() && !dialog<SetupDialog>("setupDialog"); }));
}

TEST_F(Desktop, ACancelledBurnLeavesNothingBehind) {
    QDir(work.path()).mkpath("big");
    writeFile(work.filePath("big/film.bin"), 24'000'000);
    window->openProject(Project::Kind::Data, {work.filePath("big")});
    pressBurn();
    SetupDialog* setup = setupDialog();
    ASSERT_NE(setup, nullptr);
    // At 1x a CD takes 24 MB in over two minutes: the cancel comes while it writes.
    auto* speed = named<QComboBox>(setup, "Speed");
    speed->setCurrentIndex(speed->findData(1.0));
    confirmWithImageRecorder();
    ProgressDialog* progress = nullptr;
    ASSERT_TRUE(waitFor([&] {
        progress = progressDialog();
        auto* phase = progress ? named<QLabel>(progress, "Phase") : nullptr;
        return phase && phase->text().startsWith("Writing");
    }));
    picture(progress, "progress");
    named<QAbstractButton>(progress, "Cancel")->click();
    // Once writing has begun, a cancel asks first.
    QMessageBox* confirm = nullptr;
    ASSERT_TRUE(waitFor([&] { return (confirm = dialog<QMessageBox>("cancelConfirmation")); }));
    named<QAbstractButton>(confirm, "Stop Burning")->click();
    EXPECT_TRUE(result().contains("cancelled")) << result().toStdString();
    EXPECT_EQ(imagesWritten(), QStringList());
}

TEST_F(Desktop, AnUnsuitableMediumCannotBeConfirmedUntilItIsChanged) {
    writeWav(work.filePath("song.wav"), 4);
    chooseImageMedium(window.get(), "dvd-r");
    ASSERT_TRUE(waitFor([&] { return recorderCard().contains("<b>DVD-R</b>"); }));
    window->openProject(Project::Kind::Audio, {work.filePath("song.wav")});
    pressBurn();
    SetupDialog* setup = setupDialog();
    ASSERT_NE(setup, nullptr);
    auto* recorder = named<QRadioButton>(setup, kImageRecorder);
    recorder->click();
    EXPECT_TRUE(recorder->accessibleDescription().contains("That's not a writable CD!"))
        << recorder->accessibleDescription().toStdString();
    EXPECT_FALSE(named<QAbstractButton>(setup, "Burn")->isEnabled());
    // A CD-R in the image recorder, chosen in the dialog: the verdict comes anew.
    chooseImageMedium(setup, "cd-r");
    ASSERT_TRUE(waitFor([&] {
        auto* burn = named<QAbstractButton>(setup, "Burn");
        return burn && burn->isEnabled();
    }));
    setup->reject();
    EXPECT_TRUE(waitFor([&] { return !library->busy(); }));
    EXPECT_EQ(imagesWritten(), QStringList());
}

TEST_F(Desktop, ALayoutLargerThanTheMediumIsRefusedBeforeTheBurn) {
    QDir(work.path()).mkpath("big");
    QFile film(work.filePath("big/film.mkv"));
    ASSERT_TRUE(film.open(QIODevice::WriteOnly) && film.resize(800'000'000));  // sparse
    film.close();
    window->openProject(Project::Kind::Data, {work.filePath("big")});
    pressBurn();
    EXPECT_TRUE(refused(kImageRecorder).contains("does not fit"))
        << refused(kImageRecorder).toStdString();
    setupDialog()->reject();
    EXPECT_TRUE(waitFor([&] { return !library->busy(); }));
    EXPECT_EQ(imagesWritten(), QStringList());
}

TEST_F(Desktop, AFailingToolIsShownWithItsReason) {
    // A phone video is no DVD MPEG-2: the authoring tool finds no sequence header in it.
    writeFile(work.filePath("VID_2024.mpg"), 200'000);
    window->openProject(Project::Kind::Video, {work.filePath("VID_2024.mpg")});
    pressBurn();
    const QString words = result();
    picture(progressDialog(), "error");
    EXPECT_TRUE(words.contains("no MPEG video sequence header")) << words.toStdString();
    EXPECT_EQ(imagesWritten(), QStringList());
}

}  // namespace
}  // namespace kilnware::desktop

int main(int argc, char** argv) {
    // The tests run without a display: Qt draws offscreen.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    kilnware::desktop::followDarkTheme(app);  // for the pictures of scripts/screenshots.sh
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
