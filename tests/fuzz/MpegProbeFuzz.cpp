// The MPEG probe of kilnware-dvdauthor: the first sequence header of any bytes, and the standard
// it decides.

#include "FuzzSupport.h"
#include "VideoFormat.h"

using namespace kilnware;
using standins::VideoStandard;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto header = standins::findSequenceHeader(data, size);
    if (!header) {
        return 0;
    }
    fuzz::require(
        header->width > 0 && header->width < 4096 && header->height > 0 && header->height < 4096,
        "sizes are 12-bit and not zero");
    fuzz::require(header->frameRateCode > 0 && header->frameRateCode < 16 &&
                      header->aspectCode >= 0 && header->aspectCode < 16,
                  "codes are 4-bit, the frame rate not zero");
    auto standard = standins::standardOf(*header);
    if (standard == VideoStandard::PAL) {
        fuzz::require(
            header->frameRateCode == 3 && (header->height == 576 || header->height == 288),
            "PAL is 25 frames of 576 or 288 lines");
    } else if (standard == VideoStandard::NTSC) {
        fuzz::require((header->frameRateCode == 4 || header->frameRateCode == 1) &&
                          (header->height == 480 || header->height == 240),
                      "NTSC is 29.97 or 23.976 frames of 480 or 240 lines");
    }
    return 0;
}
