#include "Commands.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <functional>

#include <kilnware/Kilnware.h>

#include "AudioCD.h"
#include "HostBurn.h"
#include "LayoutReport.h"
#include "Session.h"
#include "Speeds.h"

namespace kilnware::cli {
namespace {

using namespace platform;
namespace fs = std::filesystem;

const std::map<std::string, std::int32_t> kFileSystems{
    {"iso9660", 0}, {"joliet", 1}, {"udf", 2}, {"hfsplus", 3}};

// A video DVD's size before its MPEG files are authored: their bytes, which authoring wraps in a
// few more. Only a dry run measures it; it is never burned.
class AuthoringEstimate : public DRTrack {
public:
    AuthoringEstimate(std::uint64_t bytes, std::string title)
        : blocks_((bytes + kDataBlockSize - 1) / kDataBlockSize), title_(std::move(title)) {}
    Kind kind() const override { return Kind::DiscImage; }
    std::uint64_t estimateLength() const override { return blocks_; }
    std::unique_ptr<DRTrackReader> newReader() const override { return nullptr; }
    std::optional<std::string> volumeName() const override { return title_; }

private:
    std::uint64_t blocks_;
    std::string title_;
};

// What a dry run of a video DVD lays out instead of authoring and imaging: an estimate from the
// MPEG files, or the prepared folder as the UDF file system it becomes.
Value videoLayoutWithoutTools(const Request& request, std::string& why) {
    const std::string title = request.title.value_or("Video DVD");
    if (request.command == Command::Video) {
        std::uint64_t bytes = 0;
        for (const auto& path : request.paths) {
            std::error_code ignored;
            bytes += fs::file_size(path, ignored);
        }
        return Value(std::make_shared<AuthoringEstimate>(bytes, title));
    }
    auto root = DRFolder::virtualFolderWithName(title);
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(request.paths.front(), error)) {
        std::shared_ptr<DRFSObject> node;
        if (entry.is_directory(error)) {
            node = DRFolder::folderWithPath(entry.path().string());
        } else {
            node = DRFile::fileWithPath(entry.path().string());
        }
        if (node) {
            root->addChild(std::move(node));
        }
    }
    root->setExplicitFilesystemMask(DRFilesystemInclusionMaskUDF);
    auto track = DRTrack::trackForRootFolder(root, why);
    return track ? Value(track) : Value();
}

// The layout of `kilnware image`: a disc image, or the tracks of a cue sheet with its CD-Text.
struct ImageLayout {
    Value layout;
    std::shared_ptr<DRCDTextBlock> cdText;
    std::optional<std::string> mediaCatalogNumber;
};

std::optional<ImageLayout> imageLayout(const std::string& path, std::string& why) {
    std::string extension = fs::path(path).extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (extension == ".cue") {
        auto cue = DRBurn::layoutForCueSheet(path, why);
        if (!cue) {
            return std::nullopt;
        }
        return ImageLayout{cue->layout, cue->cdText, cue->mediaCatalogNumber};
    }
    if (auto track = DRBurn::layoutForImageFile(path, why)) {
        return ImageLayout{Value(track), nullptr, std::nullopt};
    }
    return std::nullopt;
}

// The titles of an audio CD's tracks, with their files, for a dry run.
std::vector<std::string> trackLabels(const std::vector<std::string>& paths, const List& records) {
    std::vector<std::string> labels;
    for (std::size_t i = 0; i < paths.size() && i < records.size(); ++i) {
        auto record = records[i].object<TrackInfoClass>();
        const std::string file = fs::path(paths[i]).filename().string();
        const std::string title = record ? record->m_Title().value_or(file) : file;
        labels.push_back(title == fs::path(paths[i]).stem().string() ? file
                                                                     : title + " (" + file + ")");
    }
    return labels;
}

}  // namespace

int runCommand(const Request& request) {
    const Command command = request.command;
    // What is set on the burn (or erase) the setup panel is about to start, once a recorder is
    // chosen.
    std::vector<std::function<void(DRBurnSetupPanel&, const DRDevice&)>> onConfirm;
    // The command's own controller: DVDs and BDs for everything but an audio CD.
    // What the person asked for a medium that holds something goes on the burn.
    auto burn = std::make_shared<HostBurn>(
        BurnWishes{command == Command::Audio, request.speed, request.simulate, request.media});
    onConfirm.push_back([burn](DRBurnSetupPanel& panel, const DRDevice& device) {
        burn->applyRequest(*panel.burnObject(), device);
    });
    List records;
    std::vector<std::string> labels;
    if (command == Command::Audio) {
        std::vector<Dictionary> tags;
        for (const auto& path : request.paths) {
            tags.push_back(DRTrack::tagsForAudioFile(path));
        }
        records = trackRecords(request.paths, tags, request.audio);
        labels = trackLabels(request.paths, records);
        if (request.audio.cdText) {
            onConfirm.push_back([burn, cdText = cdTextList(records, tags, request.audio)](
                                    DRBurnSetupPanel& panel, const DRDevice&) {
                List list = cdText;
                burn->setBurnProperties(panel.burnObject(), &list);
            });
        }
    }
    if (command == Command::Image || command == Command::Data) {
        onConfirm.push_back([verify = request.verify](DRBurnSetupPanel& panel, const DRDevice&) {
            panel.burnObject()->setVerifyDisc(verify);
        });
    }
    if (request.speed || request.simulate) {
        onConfirm.push_back([&request](DRBurnSetupPanel& panel, const DRDevice& device) {
            auto burnObject = panel.burnObject();
            Dictionary properties = burnObject->properties();
            if (request.speed) {
                properties.set(DRBurnRequestedSpeedKey,
                               *request.speed * kilobytesPer1x(device.status()));
            }
            properties.set(DRBurnTestingKey, request.simulate);
            burnObject->setProperties(std::move(properties));
        });
    }
    const bool estimate = command == Command::Video;
    SetupChoice hooks;
    hooks.beforeConfirm = [&onConfirm, &request](DRSetupPanel& panel, const DRDevice& device) {
        if (panel.kind() == DRSetupPanel::Kind::Erase) {
            static_cast<DREraseSetupPanel&>(panel).eraseObject()->setEraseType(
                request.fullErase ? DREraseTypeComplete : DREraseTypeQuick);
            return;
        }
        for (const auto& hook : onConfirm) {
            hook(static_cast<DRBurnSetupPanel&>(panel), device);
        }
    };
    // A file that gives no track leaves the audio CD or MP3 CD short: the library says why while
    // the setup panel runs, and the console refuses there instead of burning what is left.
    hooks.nothingToBurn = [burn] { return burn->layoutProblem(); };
    hooks.overwriteQuestion = [burn](const DRDevice& device) {
        return burn->overwriteQuestion(device);
    };
    hooks.allowOverwrite = [burn](const DRDevice& device) { burn->allowOverwrite(device); };
    if (request.dryRun) {
        hooks.dryRun = [burn, labels, estimate](const Output& output, const DRDevice* device) {
            showLayout(output, burn->pendingLayout(), device, labels, estimate);
        };
    }
    Session session(request.options, std::move(hooks));
    for (const auto& note : request.notes) {
        session.output().problem(note);
    }
    if (request.options.imageOptionsGiven && request.options.recorder &&
        *request.options.recorder != ImageRecorder::kDisplayName) {
        session.output().problem(
            "--image-dir and --image-medium are for the image recorder; --recorder names "
            "another, which does not heed them.");
    }
    switch (command) {
        case Command::Info:
            return session.info();
        case Command::Devices:
            return session.devices(request.watch);
        case Command::Eject:
            return session.eject();
        case Command::Erase:
            return session.erase();
        case Command::Ls:
            return session.list(request.discImage, request.discPath);
        case Command::Check:
            return session.check(request.discImage);
        default:
            break;
    }
    // A session added without a new name keeps the disc's.
    std::optional<std::string> name = command == Command::Mp3 ? request.title : request.name;
    if (request.media.append && !name) {
        name = session.namedRecorderVolume();
    }
    const auto& paths = request.paths;
    std::optional<ImageLayout> image;
    Value videoLayout;
    std::string why;
    if (command == Command::Image && !(image = imageLayout(paths.front(), why))) {
        return session.refuse(why);
    }
    if (image && (image->cdText || image->mediaCatalogNumber)) {
        onConfirm.push_back([block = image->cdText, catalog = image->mediaCatalogNumber](
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
    }
    if (request.dryRun && (command == Command::Video || command == Command::VideoTs) &&
        (videoLayout = videoLayoutWithoutTools(request, why)).isNone()) {
        return session.refuse(why);
    }
    return session.burn(burn, [&](VXBurn& controller) {
        switch (command) {
            case Command::Data:
                controller.burnDataToDisc(paths, name, kFileSystems.at(request.fileSystem));
                break;
            case Command::Mp3:
                controller.burnToMp3CD(paths, name, request.verify);
                break;
            case Command::Audio:
                controller.burnToAudioCD(paths, &records);
                break;
            case Command::Video:
            case Command::VideoTs:
                if (request.dryRun) {
                    controller.burnLayout(videoLayout, "Burn Video DVD");
                } else if (command == Command::Video) {
                    controller.BurnToVideoDVD(paths, request.title);
                } else {
                    controller.BurnTsFolderToDVD(paths.front(), request.title);
                }
                break;
            case Command::Image:
                controller.burnLayout(image->layout, "Burn Disc Image");
                break;
            default:
                break;
        }
    });
}

}  // namespace kilnware::cli
