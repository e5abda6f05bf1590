#include "platform/media/FilesystemImage.h"

#include <kilnware/platform/discrecording/DRFolder.h>
#include <kilnware/platform/foundation/Log.h>

namespace kilnware::platform::media {

namespace {

class FailedReader : public DRTrackReader {
public:
    explicit FailedReader(std::string error) : error_(std::move(error)) {}
    std::size_t read(std::span<std::byte>) override { return 0; }
    const std::string& error() const override { return error_; }

private:
    std::string error_;
};

class FolderTrack : public DRTrack {
public:
    explicit FolderTrack(std::unique_ptr<FilesystemImage> image) : image_(std::move(image)) {}
    Kind kind() const override { return Kind::Data; }
    std::optional<std::string> volumeName() const override { return image_->volumeName(); }
    std::uint64_t estimateLength() const override { return image_->blockCount(); }
    std::unique_ptr<DRTrackReader> newReader() const override { return image_->newReader(); }
    const FilesystemImage& image() const { return *image_; }

private:
    std::unique_ptr<FilesystemImage> image_;
};

}  // namespace

FilesystemImage::~FilesystemImage() = default;

std::unique_ptr<FilesystemImage> FilesystemImage::make(FolderLayout layout, std::string& error) {
    const bool udf = (layout.mask & DRFilesystemInclusionMaskUDF) != 0;
    if (udf && (layout.mask & DRFilesystemInclusionMaskHFSPlus) != 0) {
        error = "UDF and HFS+ cannot be laid out on one disc";
        return nullptr;
    }
    return udf ? makeUdfImage(std::move(layout), error) : makeIsoImage(std::move(layout), error);
}

std::unique_ptr<SessionTree> SessionTree::of(const DRTrack& track) {
    const auto* folders = dynamic_cast<const FolderTrack*>(&track);
    auto layout = folders ? folders->image().isoLayout() : nullptr;
    return layout ? std::make_unique<SessionTree>(std::move(layout)) : nullptr;
}

std::unique_ptr<DRTrackReader> failedReader(std::string error) {
    return std::make_unique<FailedReader>(std::move(error));
}

}  // namespace kilnware::platform::media

// The face declares the data track; it is made here, where its image is built.
namespace kilnware::platform {

std::shared_ptr<DRTrack> DRTrack::trackForRootFolder(std::shared_ptr<DRFolder> root) {
    std::string ignored;
    return trackForRootFolder(std::move(root), ignored);
}

std::shared_ptr<DRTrack> DRTrack::trackForRootFolder(std::shared_ptr<DRFolder> root,
                                                     std::string& why) {
    if (!root) {
        why = "there is no folder to lay out";
        return nullptr;
    }
    auto layout = media::layOutFolder(*root, why);
    std::unique_ptr<media::FilesystemImage> image;
    if (layout) {
        image = media::FilesystemImage::make(std::move(*layout), why);
    }
    if (!image) {
        Log::write("Data track of %@: %@", {root->name(), why});
        return nullptr;
    }
    return std::make_shared<media::FolderTrack>(std::move(image));
}

}  // namespace kilnware::platform
