#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

#include <cstdint>

namespace kilnware::desktop {

// What the window hands the library thread, and what comes back, as plain values: nothing of
// the library crosses between the two threads.

// A disc the user put together on one of the project pages.
struct Project {
    enum class Kind { Audio, Mp3, Data, Video, VideoTs, Image, Erase };
    struct Track {
        QString path;
        QString title;
        QString performer;
        std::uint32_t preGap = 150;  // frames, 75 a second
    };

    Kind kind = Kind::Data;
    QStringList paths;  // files and folders; the audio CD's files are its tracks
    QString title;      // the disc's title or volume name; empty for the library's default
    QString performer;  // the audio CD's
    bool cdText = false;
    QVector<Track> tracks;  // the audio CD's, in order
    int fileSystem = 1;     // a data disc's: 0 ISO 9660, 1 Joliet, 2 UDF, 3 HFS+
    bool verify = false;    // an MP3 CD's or an image's
    bool fullErase = false;
    // A data disc's or MP3 CD's: whether another session can be added after this one, and
    // whether a file of the same name on the disc is replaced when a session is added to it.
    bool leaveOpen = true;
    bool replaceFiles = false;
};

// A recorder as the main window shows it: the library's snapshot of it.
struct Recorder {
    quintptr id = 0;  // the same recorder keeps it while it is there
    QString name;
    QString connection;
    QString mediaType;  // the short name ("CDR"), or what the recorder waits for
    bool mediaPresent = false;
    bool busy = false;
    bool erasable = false;
    bool imageRecorder = false;
    QString unavailable;        // why the recorder cannot be used, when it cannot
    QString holds;              // what the medium holds, in words; empty when it is blank
    QString free, used, total;  // the library's size texts; total: hosts::capacityOf
    QString freeTime, usedTime, totalTime;  // and its time texts
    std::uint64_t blocksUsed = 0, blocksTotal = 0;
};

// The image recorder's medium: one of the library's short names ("cd-r", "dvd-r"...).
struct ImageRecorderSettings {
    QString medium;
    QString folder;
};

// What the user chose to do with a medium that holds data.
enum class MediumUse { AsItIs, WriteOver, AddSession };

// One recorder in a setup dialog, with the controller's verdict.
struct SetupChoice {
    quintptr id = 0;
    QString name;
    bool selectable = false;
    QString prompt;  // why it cannot be chosen, in the controller's words
    bool mediaPresent = false;
    QString mediaType;       // the short name ("CDR"), or what the recorder waits for
    QString free, freeTime;  // the room on the medium, in the library's texts
    QVector<double> speeds;  // the write speeds it offers, as multiples of 1x; empty: any
    bool imageRecorder = false;
    // A medium that holds data: what it holds, in words, and what can be done with it.
    QString holds;
    bool canOverwrite = false;  // a rewritable: written over once the user confirms
    bool canAppend = false;     // open ISO 9660 sessions, for a data disc or an MP3 CD
    MediumUse use = MediumUse::AsItIs;
};

struct SetupRequest {
    bool erase = false;
    bool again = false;  // the erase setup coming back after an erase
    QVector<SetupChoice> choices;
    quintptr proposed = 0;  // the recorder to preselect
    ImageRecorderSettings imageRecorder;
};

struct SetupAnswer {
    quintptr recorder = 0;  // 0: cancelled
    double speed = 0;       // a multiple of 1x; 0 for the fastest
    bool simulate = false;
};

struct Progress {
    QString phase;
    double fraction = -1;  // -1 while unknown
    std::uint64_t bytesDone = 0, bytesTotal = 0;
    double speed = 0;      // a multiple of the medium's 1x
    bool writing = false;  // the medium is being written: a cancel may leave it unusable
};

// How a burn or an erase ended, or why none began.
struct Outcome {
    enum class Kind { Done, Failed, Cancelled, Refused };
    Kind kind = Kind::Done;
    bool erase = false;
    QString recorder;
    QString reason;     // the library's words: why it failed or was refused
    QStringList files;  // what the image recorder wrote
};

// A disc read back: the files of its newest session, or each session checked.
struct DiscReading {
    quintptr recorder = 0;
    QString name;  // the recorder's
    bool check = false;
    QString error;  // why it could not be read; empty when it was
    struct Entry {
        QString path;  // from the root, "/photos/beach.jpg"
        bool folder = false;
        std::uint64_t size = 0;
        qint64 modified = 0;  // seconds since the epoch
    };
    QVector<Entry> entries;  // listed, folders before their files
    QStringList sessions;    // checked: each session's verdict in words
    bool damaged = false;
};

// An audio file as the library measured it for the track table.
struct AudioFile {
    QString path;
    bool usable = false;
    QString why;  // when it is not
    std::uint64_t frames = 0;
    QString title, performer, album;  // from its tags
};

// The size a data disc or MP3 CD would take, or why it cannot be laid out.
struct LayoutSize {
    int generation = 0;  // the request this answers
    bool usable = false;
    QString why;
    std::uint64_t bytes = 0;
};

}  // namespace kilnware::desktop
