#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <kilnware/Export.h>
#include <kilnware/platform/foundation/Object.h>
#include <kilnware/platform/foundation/Value.h>

namespace kilnware::platform {

// The engine's CD-Text keys. Engines write these and ignore any other key of a block.
inline constexpr const char* DRCDTextTitleKey = "DRCDTextTitleKey";
inline constexpr const char* DRCDTextPerformerKey = "DRCDTextPerformerKey";
inline constexpr const char* DRCDTextSongwriterKey = "DRCDTextSongwriterKey";
inline constexpr const char* DRCDTextComposerKey = "DRCDTextComposerKey";
inline constexpr const char* DRCDTextArrangerKey = "DRCDTextArrangerKey";
inline constexpr const char* DRCDTextSpecialMessageKey = "DRCDTextSpecialMessageKey";
inline constexpr const char* DRCDTextGenreKey = "DRCDTextGenreKey";
inline constexpr const char* DRCDTextMCNISRCKey = "DRCDTextMCNISRCKey";

// String encodings, by the platform's numbers.
inline constexpr std::uint32_t kStringEncodingUTF8 = 4;
inline constexpr std::uint32_t kStringEncodingISOLatin1 = 5;

// One language's CD-Text: values by key and track, track 0 standing for the disc as a whole. It
// keeps whatever it is given. Thread-safe.
class KILNWARE_EXPORT DRCDTextBlock : public Object {
public:
    static std::shared_ptr<DRCDTextBlock> cdTextBlockWithLanguage(std::string language,
                                                                  std::uint32_t encoding);

    void setObject(Value value, const std::string& key, std::uint32_t ofTrack);
    // None when nothing is stored.
    Value objectForKey(const std::string& key, std::uint32_t ofTrack) const;
    // Every track's values by track number (0: the disc), for the tracks that have any.
    std::map<std::uint32_t, Dictionary> tracks() const;

    const std::string& language() const { return language_; }
    std::uint32_t encoding() const { return encoding_; }

    DRCDTextBlock(std::string language, std::uint32_t encoding)
        : language_(std::move(language)), encoding_(encoding) {}

private:
    std::string language_;
    std::uint32_t encoding_;
    mutable std::mutex mutex_;
    std::map<std::uint32_t, Dictionary> tracks_;
};

}  // namespace kilnware::platform
