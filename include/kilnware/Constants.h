#pragma once

// The 23 names that host and library share. Each is a constant text whose value is its own name,
// except VXTimeFormat; every comparison is by text value, so an equal literal works as well.
// They are constant-initialised: a host's own static initialisers may use them.

#include <kilnware/Export.h>

namespace kilnware {

// Disc property keys.
KILNWARE_EXPORT extern const char* const VXDiscCDTextEnabled;
KILNWARE_EXPORT extern const char* const VXDiscMCNEnabled;
KILNWARE_EXPORT extern const char* const VXDiscMCN;

// Track property keys.
KILNWARE_EXPORT extern const char* const VXTrackFilePath;
KILNWARE_EXPORT extern const char* const VXTrackLength;
KILNWARE_EXPORT extern const char* const VXTrackPreGap;
KILNWARE_EXPORT extern const char* const VXTrackPreEmphasisEnabled;
KILNWARE_EXPORT extern const char* const VXTrackIndexPointsEnabled;
KILNWARE_EXPORT extern const char* const VXTrackIndexPoints;
KILNWARE_EXPORT extern const char* const VXTrackISRCEnabled;
KILNWARE_EXPORT extern const char* const VXTrackISRC;
KILNWARE_EXPORT extern const char* const VXTrackISRCInCDText;
KILNWARE_EXPORT extern const char* const VXTrackAuthorKey;
KILNWARE_EXPORT extern const char* const VXTrackTitleKey;

// Notification names and user-info keys declared for the host's own track-list editor.
KILNWARE_EXPORT extern const char* const VXAudioCDTrackListChanged;
KILNWARE_EXPORT extern const char* const VXAudioCDDiscPropertyChanged;
KILNWARE_EXPORT extern const char* const VXAudioCDTrackPropertyChanged;
KILNWARE_EXPORT extern const char* const VXWhichPropertyKey;
KILNWARE_EXPORT extern const char* const VXWhichTrackKey;

// Notifications that the library posts.
KILNWARE_EXPORT extern const char* const BurnSucceed;
KILNWARE_EXPORT extern const char* const BurnFailed;
KILNWARE_EXPORT extern const char* const UpDateDeviceInfo;

// The minutes:seconds format of the device monitor's times.
KILNWARE_EXPORT extern const char* const VXTimeFormat;

}  // namespace kilnware
