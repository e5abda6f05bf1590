#include "platform/media/FFmpeg.h"

#include <dlfcn.h>

#include <string>

#include <kilnware/platform/foundation/Log.h>

namespace kilnware::platform::media {

namespace {

// The sonames of the libraries these headers belong to.
constexpr const char* kLibraries[] = {"libavutil.so." AV_STRINGIFY(LIBAVUTIL_VERSION_MAJOR),
                                      "libavcodec.so." AV_STRINGIFY(LIBAVCODEC_VERSION_MAJOR),
                                      "libavformat.so." AV_STRINGIFY(LIBAVFORMAT_VERSION_MAJOR)};

const FFmpeg* load() {
    static FFmpeg table;
    void* handles[std::size(kLibraries)] = {};
    std::string missing;
    for (std::size_t i = 0; i < std::size(kLibraries) && missing.empty(); ++i) {
        // Never closed: the decoders' code stays in use until the process ends.
        handles[i] = ::dlopen(kLibraries[i], RTLD_NOW | RTLD_LOCAL);
        if (!handles[i]) {
            const char* reason = ::dlerror();
            missing = reason ? reason : kLibraries[i];
        }
    }
    auto find = [&](auto& function, const char* name) {
        for (void* handle : handles) {
            if (void* symbol = handle ? ::dlsym(handle, name) : nullptr) {
                function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(symbol);
                return;
            }
        }
        if (missing.empty()) {
            missing = name;
        }
    };
#define KILNWARE_FFMPEG_FIND(name) find(table.name, #name);
    KILNWARE_FFMPEG_FUNCTIONS(KILNWARE_FFMPEG_FIND)
#undef KILNWARE_FFMPEG_FIND
    if (!missing.empty()) {
        Log::warning("Audio files cannot be decoded: FFmpeg's libraries are missing (%@).",
                     {missing});
        return nullptr;
    }
    // Every failure reaches the caller as a reason; nothing goes to standard error.
    table.av_log_set_level(AV_LOG_QUIET);
    return &table;
}

}  // namespace

const FFmpeg* ffmpeg() {
    static const FFmpeg* const loaded = load();
    return loaded;
}

}  // namespace kilnware::platform::media
