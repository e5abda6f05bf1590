#pragma once

#include <QHash>
#include <QWidget>

#include "Project.h"

class QComboBox;
class QFormLayout;
class QLabel;
class QProgressBar;
class QPushButton;
class QVBoxLayout;

namespace kilnware::desktop {

// Every recorder the library lists, each with its live snapshot: its medium and how full it is,
// busy and erasable, and an Eject button; the image recorder also has the medium it holds and the
// folder it writes to chosen here.
class RecorderList : public QWidget {
    Q_OBJECT

public:
    explicit RecorderList(QWidget* parent = nullptr);

    void setRecorders(const QVector<Recorder>& recorders,
                      const ImageRecorderSettings& imageRecorder);
    const QVector<Recorder>& recorders() const { return recorders_; }

    // The image recorder's media, as (short name, words) in the library's order.
    static QVector<QPair<QString, QString>> imageMedia();
    // A medium's type in words ("CD-R") from the library's short name ("CDR"); a text that names
    // no type (a recorder waiting for a disc) as it is.
    static QString mediumWords(const QString& mediaType);
    // Adds the row that chooses the image recorder's medium to `form`, and returns its box.
    static QComboBox* addImageMediumRow(QFormLayout* form);

signals:
    void ejectRequested(quintptr recorder);
    // Show Contents and Check Disc: read the disc back.
    void readRequested(quintptr recorder, bool check);
    void imageRecorderChanged(const kilnware::desktop::ImageRecorderSettings& settings);

private:
    struct Card {
        QWidget* frame = nullptr;
        QLabel* name = nullptr;
        QLabel* medium = nullptr;
        QProgressBar* fill = nullptr;
        QLabel* state = nullptr;
        QPushButton* eject = nullptr;
        QWidget* reading = nullptr;  // Show Contents and Check Disc
        QPushButton* contents = nullptr;
        QPushButton* check = nullptr;
    };
    Card& cardFor(const Recorder& recorder);
    void update(Card& card, const Recorder& recorder);

    QVBoxLayout* cards_;
    QLabel* none_;
    QWidget* imageSettings_;
    QComboBox* imageMedium_;
    QLabel* imageFolder_;
    QHash<quintptr, Card> byId_;
    QVector<Recorder> recorders_;
    ImageRecorderSettings imageRecorder_;
};

}  // namespace kilnware::desktop
