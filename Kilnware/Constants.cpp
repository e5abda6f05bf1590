#include <kilnware/Constants.h>

namespace kilnware {

#define KILNWARE_NAME(name) constinit const char* const name = #name

KILNWARE_NAME(VXDiscCDTextEnabled);
KILNWARE_NAME(VXDiscMCNEnabled);
KILNWARE_NAME(VXDiscMCN);
KILNWARE_NAME(VXTrackFilePath);
KILNWARE_NAME(VXTrackLength);
KILNWARE_NAME(VXTrackPreGap);
KILNWARE_NAME(VXTrackPreEmphasisEnabled);
KILNWARE_NAME(VXTrackIndexPointsEnabled);
KILNWARE_NAME(VXTrackIndexPoints);
KILNWARE_NAME(VXTrackISRCEnabled);
KILNWARE_NAME(VXTrackISRC);
KILNWARE_NAME(VXTrackISRCInCDText);
KILNWARE_NAME(VXTrackAuthorKey);
KILNWARE_NAME(VXTrackTitleKey);
KILNWARE_NAME(VXAudioCDTrackListChanged);
KILNWARE_NAME(VXAudioCDDiscPropertyChanged);
KILNWARE_NAME(VXAudioCDTrackPropertyChanged);
KILNWARE_NAME(VXWhichPropertyKey);
KILNWARE_NAME(VXWhichTrackKey);
KILNWARE_NAME(BurnSucceed);
KILNWARE_NAME(BurnFailed);
KILNWARE_NAME(UpDateDeviceInfo);

#undef KILNWARE_NAME

constinit const char* const VXTimeFormat = "%m:%02s";

}  // namespace kilnware
