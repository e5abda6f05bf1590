// kilnware: burns data discs, MP3 CDs, audio CDs and video DVDs, erases and ejects, and shows the
// recorders, through the Kilnware library. Without a recorder it burns to disc images.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <iostream>

#include <kilnware/Kilnware.h>
#include <kilnware/platform/discrecording/DRCDTextBlock.h>

#include "HostBurn.h"
#include "Manual.h"
#include "Session.h"

namespace kilnware::cli {
namespace {

using namespace platform;

const std::map<std::string, std::int32_t> kFileSystems{
    {"iso9660", 0}, {"joliet", 1}, {"udf", 2}, {"hfsplus", 3}};

struct AudioOptions {
    std::optional<std::string> title;
    std::optional<std::string> performer;
    std::vector<std::string> trackTitles;
    std::vector<std::string> trackPerformers;
    std::vector<std::uint32_t> pregaps;
    bool cdText = false;
};

// The text a file's tags give under `key`, if any.
std::optional<std::string> tagText(const Dictionary& tags, const char* key) {
    if (const std::string* text = tags[key].text()) {
        return *text;
    }
    return std::nullopt;
}

// Kilobytes a second of 1x on the medium in `device`: CD, DVD or BD.
double kilobytesPer1x(const DRDevice& device) {
    const Dictionary status = device.status();
    const Value& mediaClass = lookup(status[DRDeviceMediaInfoKey], DRDeviceMediaClassKey);
    if (mediaClass.textValue() == std::optional<std::string>(DRDeviceMediaClassBD)) {
        return 4495.625;
    }
    if (mediaClass.textValue() == std::optional<std::string>(DRDeviceMediaClassDVD)) {
        return 1385.0;
    }
    return 176.4;
}

// A track's pre-gap when none is asked for: the customary two seconds between the tracks of a CD.
constexpr std::uint32_t kCustomaryPreGap = 150;

// The pre-gap of track `index`: one --pregap sets every track's, several each track's in order.
std::uint32_t preGapOf(const AudioOptions& audio, std::size_t index) {
    if (audio.pregaps.size() == 1) {
        return audio.pregaps.front();
    }
    return index < audio.pregaps.size() ? audio.pregaps[index] : kCustomaryPreGap;
}

// The host's track info list: one record per file, titled by the option, the file's title tag or
// the file's name; its performer is the option's, or else the file's artist tag (--performer is
// the disc's).
List trackRecords(const std::vector<std::string>& files, const std::vector<Dictionary>& tags,
                  const AudioOptions& audio) {
    List records;
    for (std::size_t i = 0; i < files.size(); ++i) {
        auto record = std::make_shared<TrackInfoClass>();
        record->setM_Title(i < audio.trackTitles.size()
                               ? audio.trackTitles[i]
                               : tagText(tags[i], DRCDTextTitleKey)
                                     .value_or(std::filesystem::path(files[i]).stem().string()));
        record->setM_Author(i < audio.trackPerformers.size()
                                ? std::optional(audio.trackPerformers[i])
                                : tagText(tags[i], DRCDTextPerformerKey));
        record->setM_PreGap(preGapOf(audio, i));
        records.emplace_back(record);
    }
    return records;
}

// CD-Text as a host gives it: a list whose disc dictionary enables it, applied to the burn object
// that the setup panel will burn with. Without --title the disc is titled by the first album tag;
// without --performer its performer is the artist all tagged files share.
List cdTextList(const List& records, const std::vector<Dictionary>& tags,
                const AudioOptions& audio) {
    std::optional<std::string> album;
    std::optional<std::string> artist;
    bool oneArtist = true;
    for (const Dictionary& file : tags) {
        album = album ? album : tagText(file, DRAudioAlbumKey);
        if (auto name = tagText(file, DRCDTextPerformerKey)) {
            oneArtist = oneArtist && (!artist || *artist == *name);
            artist = name;
        }
    }
    List list;
    Dictionary disc;
    disc.set(VXDiscCDTextEnabled, true);
    disc.set(DRCDTextTitleKey, audio.title.value_or(album.value_or("")));
    if (auto performer = audio.performer ? audio.performer : oneArtist ? artist : std::nullopt) {
        disc.set(DRCDTextPerformerKey, *performer);
    }
    list.emplace_back(std::move(disc));
    for (const auto& element : records) {
        auto record = element.object<TrackInfoClass>();
        Dictionary track;
        track.set(DRCDTextTitleKey, record->m_Title().value_or(""));
        if (auto author = record->m_Author()) {
            track.set(DRCDTextPerformerKey, *author);
        }
        list.emplace_back(std::move(track));
    }
    return list;
}

void addSharedOptions(CLI::App& command, Options& options) {
    command.add_option("--recorder", options.recorder, "The recorder to use, by its name");
    command.add_flag("-y,--yes", options.yes, "Confirm without asking");
    command.add_option("--image-dir", options.imageDirectory,
                       "Where the image recorder writes its images (default: here)");
    command
        .add_option("--image-medium", options.imageMedium,
                    "The image recorder's medium: cd-r (default), cd-rw, dvd-r, dvd+r, dvd-r-dl, "
                    "dvd-rw, bd-r or bd-re")
        ->check(CLI::IsMember(platform::ImageRecorder::mediumNames()));
    command.add_flag("--json", options.json, "Events as JSON lines on standard output");
    command.add_flag("-v,--verbose", options.verbose, "The library's log lines on standard error");
}

int run(int argc, char** argv) {
    CLI::App app{
        "Burns data discs, MP3 CDs, audio CDs and video DVDs, erases rewritable media "
        "and shows the recorders. Without a recorder it burns to disc images: ISO for "
        "data and video, BIN/CUE with CD-Text for audio.",
        "kilnware"};
    app.require_subcommand(1);
    app.footer(
        "Exit status: 0 done, 1 the burn, erase or eject failed, 2 usage error, "
        "3 nothing was burned (cancelled, or refused before a burn began).");
    app.set_version_flag("--version", std::string("kilnware ") + KILNWARE_VERSION);
    // Hidden: the build makes the manual page and the completions from this very description.
    app.add_flag_callback("--help-man",
                          [&app] {
                              std::cout << manualPage(app, KILNWARE_VERSION);
                              throw CLI::Success();
                          })
        ->group("");
    app.add_option_function<std::string>("--completion",
                                         [&app](const std::string& shell) {
                                             std::cout << completionScript(app, shell);
                                             throw CLI::Success();
                                         })
        ->check(CLI::IsMember({"bash", "zsh"}))
        ->group("");
    Options options;
    std::vector<std::string> paths;
    std::optional<std::string> name, title;
    std::string fileSystem = "joliet";
    bool verify = false, watch = false, simulate = false;
    std::optional<double> speed;
    AudioOptions audio;

    auto* devices = app.add_subcommand("devices", "Show the recorder and its medium");
    devices->add_flag("--watch", watch, "Show it again after every change, until Ctrl-C");
    auto* data = app.add_subcommand("data", "Burn files and folders to a data disc");
    data->add_option("paths", paths, "Files and folders")->check(CLI::ExistingPath)->required();
    data->add_option("--name", name, "The disc's name (default: Data Disc)");
    data->add_option("--fs", fileSystem, "The file system: iso9660, joliet (default), udf, hfsplus")
        ->check(CLI::IsMember({"iso9660", "joliet", "udf", "hfsplus"}));
    auto* mp3 = app.add_subcommand("mp3", "Burn MP3 files and folders to an MP3 CD");
    mp3->add_option("paths", paths, "Files and folders")->check(CLI::ExistingPath)->required();
    mp3->add_option("--title", title, "The disc's title");
    mp3->add_flag("--verify", verify, "Read the disc back and compare after burning");
    auto* audioCD = app.add_subcommand("audio", "Burn audio files to an audio CD, one track each");
    audioCD->add_option("files", paths, "WAV, AIFF, FLAC, Ogg or MP3 files")
        ->check(CLI::ExistingFile)
        ->required();
    audioCD->add_option("--title", audio.title, "The disc's title");
    audioCD->add_option("--performer", audio.performer, "The disc's performer");
    audioCD->add_option("--track-title", audio.trackTitles, "Each track's title, in order");
    audioCD->add_option("--track-performer", audio.trackPerformers,
                        "Each track's performer, in order");
    audioCD->add_option("--pregap", audio.pregaps,
                        "The pre-gap in frames (75 a second): once for every track, or each "
                        "track's in order (default: 150, two seconds; 0 for a gapless disc)");
    audioCD->add_flag("--cd-text", audio.cdText, "Write the titles and performers as CD-Text");
    auto* video = app.add_subcommand("video", "Author MPEG-2 files into a video DVD and burn it");
    video->add_option("files", paths, "MPEG-2 files (PAL or NTSC, not mixed)")
        ->check(CLI::ExistingFile)
        ->required();
    video->add_option("--title", title, "The volume name (default: Video DVD)");
    auto* videoTs = app.add_subcommand("video-ts", "Burn a prepared DVD-video folder");
    videoTs->add_option("folder", paths, "A folder holding VIDEO_TS")
        ->check(CLI::ExistingDirectory)
        ->expected(1);
    videoTs->add_option("--title", title, "The volume name (default: Video DVD)");
    auto* image = app.add_subcommand(
        "image", "Burn a disc image as it stands: ISO 9660 or UDF, or a BIN/CUE (audio or data)");
    image->add_option("file", paths, "The disc image")->check(CLI::ExistingFile)->expected(1);
    image->add_flag("--verify", verify, "Read the disc back and compare after burning");
    auto* info = app.add_subcommand("info", "Show the medium in the recorder");
    // Reading a disc back: positionals are [IMAGE] [PATH], or [PATH] with --recorder.
    std::vector<std::string> reading;
    auto* ls = app.add_subcommand(
        "ls", "List the files of the last session of a disc (--recorder R) or of a disc image");
    ls->add_option("image-and-path", reading, "[IMAGE] [PATH]: the image, and the folder (/)")
        ->expected(0, 2);
    auto* checkCommand = app.add_subcommand(
        "check", "Read a disc (--recorder R) or disc image back against its checksums");
    checkCommand->add_option("image", reading, "The disc image")->expected(0, 1);
    data->add_flag("--verify", verify, "Read the disc back against its checksums after burning");
    auto* erase = app.add_subcommand("erase", "Erase a rewritable disc");
    std::string eraseType = DREraseTypeQuick;
    erase->add_flag_callback(
        "--fast", [&] { eraseType = DREraseTypeQuick; }, "A quick erase (the default)");
    erase->add_flag_callback(
        "--full", [&] { eraseType = DREraseTypeComplete; },
        "A complete erase: every block blanked, or the medium formatted anew");
    auto* eject = app.add_subcommand("eject", "Eject the medium");
    for (auto* command : {devices, data, mp3, audioCD, video, videoTs, image, info, ls,
                          checkCommand, erase, eject}) {
        addSharedOptions(*command, options);
    }
    for (auto* command : {data, mp3, audioCD, video, videoTs, image}) {
        command
            ->add_option("--speed", speed,
                         "Write at this multiple of the medium's 1x speed (see kilnware info)")
            ->check(CLI::PositiveNumber);
        command->add_flag("--simulate", simulate,
                          "Go through the burn without writing (where the medium allows it)");
    }
    MediaRequest media;
    for (auto* command : {data, mp3, audioCD, video, videoTs, image}) {
        addMediaOptions(*command, media, command == data || command == mp3);
    }
    devices->get_option("--json")->description("One JSON object per snapshot");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error) == 0 ? kSucceeded : kUsage;
    }
    namespace fs = std::filesystem;
    // The image folder must not lie inside the video DVD's work folder, which goes after the burn.
    // It is checked as the path reads now, then made and resolved once, and checked again: the
    // recorder keeps that folder whatever a link at its path leads to later.
    if (video->parsed() && !paths.empty()) {
        std::error_code error;
        const fs::path work = fs::weakly_canonical(VXBurn::videoWorkPaths(paths.front())[0], error);
        auto inside = [&](const fs::path& images) {
            return std::mismatch(work.begin(), work.end(), images.begin(), images.end()).first ==
                   work.end();
        };
        fs::path images = fs::weakly_canonical(fs::absolute(options.imageDirectory, error), error);
        if (!inside(images)) {
            fs::create_directories(options.imageDirectory, error);
            images = fs::canonical(options.imageDirectory, error);
            if (error) {
                std::cerr << "kilnware: the image folder " << options.imageDirectory
                          << " cannot be used: " << error.message() << "\n";
                return kUsage;
            }
        }
        if (inside(images)) {
            std::cerr << "kilnware: the image folder " << options.imageDirectory << " lies inside "
                      << work.string()
                      << ", the video DVD's work folder, which is removed after the burn: choose "
                         "another --image-dir\n";
            return kUsage;
        }
        options.imageDirectory = images.string();
    }
    // What is set on the burn (or erase) the setup panel is about to start, once a recorder is
    // chosen.
    std::vector<std::function<void(DRBurnSetupPanel&, const DRDevice&)>> onConfirm;
    // The command's own controller: DVDs and BDs for everything but an audio CD; what the
    // person asked for a medium that holds something goes on the burn.
    media.sessions = data->parsed() || mp3->parsed();
    auto host = std::make_shared<HostBurn>(audioCD->parsed(), media);
    std::shared_ptr<VXBurn> burn = host;
    onConfirm.push_back([host](DRBurnSetupPanel& panel, const DRDevice& device) {
        host->applyRequest(*panel.burnObject(), device);
    });
    options.overwriteQuestion = [host](const DRDevice& device) {
        return host->overwriteQuestion(device);
    };
    options.allowOverwrite = [host](const DRDevice& device) { host->allowOverwrite(device); };
    List records;
    if (audioCD->parsed()) {
        std::vector<Dictionary> tags;
        for (const auto& path : paths) {
            tags.push_back(DRTrack::tagsForAudioFile(path));
        }
        records = trackRecords(paths, tags, audio);
        if (audio.cdText) {
            onConfirm.push_back([burn, cdText = cdTextList(records, tags, audio)](
                                    DRBurnSetupPanel& panel, const DRDevice&) {
                List list = cdText;
                burn->setBurnProperties(panel.burnObject(), &list);
            });
        }
    }
    // A file that gives no track leaves the audio CD or MP3 CD short: the library says why while
    // the setup panel runs, and the console refuses there instead of burning what is left.
    auto nothingToBurn = [burn]() -> std::optional<std::string> { return burn->layoutProblem(); };
    // An image burn is read back when asked: set on the burn the setup panel will start. A cue
    // sheet brings its tracks and its CD-Text.
    Value imageLayout;
    if (image->parsed()) {
        std::string extension = fs::path(paths.front()).extension().string();
        std::transform(extension.begin(), extension.end(), extension.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (extension == ".cue") {
            std::string error;
            auto cue = DRBurn::layoutForCueSheet(paths.front(), error);
            if (!cue) {
                std::cerr << "kilnware: " << error << "\n";
                return kUsage;
            }
            imageLayout = cue->layout;
            onConfirm.push_back([block = cue->cdText, catalog = cue->mediaCatalogNumber](
                                    DRBurnSetupPanel& panel, const DRDevice&) {
                Dictionary properties = panel.burnObject()->properties();
                if (block) {
                    properties.set(DRCDTextKey, Value(block));
                }
                if (catalog) {
                    properties.set(DRMediaCatalogNumberKey, *catalog);
                }
                panel.burnObject()->setProperties(std::move(properties));
            });
        } else if (auto track = DRBurn::layoutForImageFile(paths.front())) {
            imageLayout = Value(track);
        } else {
            std::cerr << "kilnware: " << paths.front()
                      << " is no disc image: it holds no ISO 9660 or UDF volume descriptors\n";
            return kUsage;
        }
        onConfirm.push_back([verify](DRBurnSetupPanel& panel, const DRDevice&) {
            panel.burnObject()->setVerifyDisc(verify);
        });
    }
    if (data->parsed()) {
        onConfirm.push_back([verify](DRBurnSetupPanel& panel, const DRDevice&) {
            panel.burnObject()->setVerifyDisc(verify);
        });
    }
    if (speed || simulate) {
        onConfirm.push_back([speed, simulate](DRBurnSetupPanel& panel, const DRDevice& device) {
            auto burnObject = panel.burnObject();
            Dictionary properties = burnObject->properties();
            if (speed) {
                properties.set(DRBurnRequestedSpeedKey, *speed * kilobytesPer1x(device));
            }
            properties.set(DRBurnTestingKey, simulate);
            burnObject->setProperties(std::move(properties));
        });
    }
    auto beforeConfirm = [&onConfirm, eraseType](DRSetupPanel& panel, const DRDevice& device) {
        if (panel.kind() == DRSetupPanel::Kind::Erase) {
            static_cast<DREraseSetupPanel&>(panel).eraseObject()->setEraseType(eraseType);
            return;
        }
        for (const auto& hook : onConfirm) {
            hook(static_cast<DRBurnSetupPanel&>(panel), device);
        }
    };
    if (audioCD->parsed()) {
        options.blockBytes = 2352;
    }
    Session session(options, beforeConfirm, nothingToBurn);
    if (info->parsed()) {
        return session.info();
    }
    if (ls->parsed() || checkCommand->parsed()) {
        const bool named = options.recorder.has_value();
        const std::optional<std::string> imageFile =
            !named && !reading.empty() ? std::optional(reading.front()) : std::nullopt;
        if (ls->parsed()) {
            const std::size_t pathAt = named ? 0 : 1;
            return session.list(imageFile, reading.size() > pathAt ? reading[pathAt] : "/");
        }
        return session.check(imageFile);
    }
    if (devices->parsed()) {
        return session.devices(watch);
    }
    if (eject->parsed()) {
        return session.eject();
    }
    if (erase->parsed()) {
        return session.erase();
    }
    // A session added without a new name keeps the disc's.
    if (media.append && ((data->parsed() && !name) || (mp3->parsed() && !title))) {
        (data->parsed() ? name : title) = session.namedRecorderVolume();
    }
    return session.burn(burn, [&](VXBurn& controller) {
        if (data->parsed()) {
            controller.burnDataToDisc(paths, name, kFileSystems.at(fileSystem));
        } else if (mp3->parsed()) {
            controller.burnToMp3CD(paths, title, verify);
        } else if (audioCD->parsed()) {
            controller.burnToAudioCD(paths, &records);
        } else if (video->parsed()) {
            controller.BurnToVideoDVD(paths, title);
        } else if (image->parsed()) {
            controller.burnLayout(imageLayout, "Burn Disc Image");
        } else if (videoTs->parsed()) {
            controller.BurnTsFolderToDVD(
                paths.empty() ? std::nullopt : std::optional(paths.front()), title);
        }
    });
}

}  // namespace
}  // namespace kilnware::cli

int main(int argc, char** argv) {
    return kilnware::cli::run(argc, argv);
}
