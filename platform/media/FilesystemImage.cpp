#include "platform/media/FilesystemImage.h"

#include <kilnware/platform/discrecording/DRFolder.h>

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

std::unique_ptr<DRTrackReader> failedReader(std::string error) {
    return std::make_unique<FailedReader>(std::move(error));
}

}  // namespace kilnware::platform::media
