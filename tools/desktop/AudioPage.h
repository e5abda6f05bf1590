#pragma once

#include <QTreeWidget>

#include "ProjectPages.h"

namespace kilnware::desktop {

// The audio CD's tracks: reordered by dragging, and files dropped from a file manager added.
class TrackTable : public QTreeWidget {
    Q_OBJECT

public:
    explicit TrackTable(QWidget* parent = nullptr);

signals:
    void filesDropped(const QStringList& paths, int row);
    void reordered();

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
};

// An audio CD: one track per file, with its title, performer, length and pre-gap; the disc's
// title and performer; CD-Text on or off; the total time against 74 and 80 minutes.
class AudioPage : public ProjectPage {
    Q_OBJECT

public:
    explicit AudioPage(Library& library, QWidget* parent = nullptr);
    Project project() const override;
    QString notReady() const override;
    bool measuring() const override { return measuring_ > 0; }
    void addPaths(const QStringList& paths) override;
    // Adds files at a row of the table (-1: at the end); they are measured by the library.
    void addFiles(const QStringList& paths, int row);

private:
    void measured(const AudioFile& file);
    void renumber();

    Library& library_;
    TrackTable* table_;
    QLineEdit* title_;
    QLineEdit* performer_;
    QString proposedPerformer_;
    QCheckBox* cdText_;
    QProgressBar* total_;
    QLabel* totalWords_;
    QLabel* problems_;
    int measuring_ = 0;
};

}  // namespace kilnware::desktop
