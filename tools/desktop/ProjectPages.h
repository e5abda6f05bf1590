#pragma once

#include <QWidget>

#include "Project.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMimeData;
class QProgressBar;
class QRadioButton;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;

namespace kilnware::desktop {

class Library;

// The local files a drag from a file manager carries.
QStringList localFiles(const QMimeData* data);

// The room a disc is measured against: the medium's capacity, or what is left after the sessions
// it holds, where a new one would go.
struct Room {
    std::uint64_t bytes = 0;
    QString medium;  // in words: "CD-R in Kilnware Image Recorder"
    bool left = false;
};

// One kind of disc the user puts together: a page of the main window.
class ProjectPage : public QWidget {
    Q_OBJECT

public:
    using QWidget::QWidget;

    virtual Project project() const = 0;
    // Why the project cannot be burned yet, in words; empty when it can.
    virtual QString notReady() const = 0;
    // Adds files and folders, as the command line or a drop names them.
    virtual void addPaths(const QStringList& paths) = 0;
    // Whether the library still measures what was added.
    virtual bool measuring() const { return false; }
    // The room on the medium the disc is measured against.
    virtual void setRoom(const Room& room) { Q_UNUSED(room); }

signals:
    void changed();
};

// A bar of how much of the medium a disc takes, with the numbers in words.
class SizeBar : public QWidget {
    Q_OBJECT

public:
    explicit SizeBar(const QString& accessibleName, QWidget* parent = nullptr);
    void setRoom(const Room& room);
    void setMeasuring();
    void setSize(std::uint64_t bytes);
    void setProblem(const QString& why);
    bool fits() const { return fits_; }

private:
    void redraw();
    QProgressBar* bar_;
    QLabel* words_;
    Room room_;
    std::uint64_t size_ = 0;
    bool known_ = false;
    bool fits_ = true;
};

// Files and folders for a data disc or an MP3 CD: a tree of what was added, its size measured
// by the library as the disc would be laid out.
class FilesPage : public ProjectPage {
    Q_OBJECT

public:
    FilesPage(Library& library, Project::Kind kind, QWidget* parent = nullptr);
    Project project() const override;
    QString notReady() const override;
    void addPaths(const QStringList& paths) override;
    void setRoom(const Room& room) override;
    bool measuring() const override;

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void measureSoon();
    void fillFolder(QTreeWidgetItem* item);

    Library& library_;
    Project::Kind kind_;
    QTreeWidget* tree_;
    QLineEdit* title_;
    QComboBox* fileSystem_ = nullptr;
    QCheckBox* verify_ = nullptr;
    QCheckBox* leaveOpen_;
    QCheckBox* replaceFiles_;
    SizeBar* size_;
    QTimer* measure_;
    int generation_ = 0;
    int measured_ = 0;  // the generation the last answer was for
    QString problem_;
};

// MPEG files authored into a video DVD, or a prepared DVD-video folder.
class VideoPage : public ProjectPage {
    Q_OBJECT

public:
    explicit VideoPage(QWidget* parent = nullptr);
    Project project() const override;
    QString notReady() const override;
    void addPaths(const QStringList& paths) override;
    void setFolder(const QString& folder);

private:
    QRadioButton* fromFiles_;
    QRadioButton* fromFolder_;
    QListWidget* files_;
    QLineEdit* folder_;
    QLineEdit* title_;
};

// A disc image burned as it stands: ISO 9660 or UDF, or a BIN/CUE.
class ImagePage : public ProjectPage {
    Q_OBJECT

public:
    explicit ImagePage(QWidget* parent = nullptr);
    Project project() const override;
    QString notReady() const override;
    void addPaths(const QStringList& paths) override;

private:
    QLineEdit* file_;
    QCheckBox* verify_;
};

// Erasing a rewritable disc, quickly or fully.
class ErasePage : public ProjectPage {
    Q_OBJECT

public:
    explicit ErasePage(QWidget* parent = nullptr);
    Project project() const override;
    QString notReady() const override { return {}; }
    void addPaths(const QStringList&) override {}

private:
    QRadioButton* full_;
};

}  // namespace kilnware::desktop
