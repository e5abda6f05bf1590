#pragma once

// Kilnware: burns audio CDs with CD-Text, MP3 CDs, data discs and video DVDs, erases rewritable
// media and keeps a snapshot of the recorder and its medium.
//
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

// Every public face of the library and of its platform layer, for hosts that include one header.
#include <kilnware/VXAdd.h>
#include <kilnware/VXBurn.h>
#include <kilnware/VXDevice.h>
#include <kilnware/platform/discrecording/DRBurn.h>
#include <kilnware/platform/discrecording/DRCDTextBlock.h>
#include <kilnware/platform/discrecording/DRDevice.h>
#include <kilnware/platform/discrecording/DRFolder.h>
#include <kilnware/platform/discrecording/DRKeys.h>
#include <kilnware/platform/discrecording/DRMSF.h>
#include <kilnware/platform/discrecording/DRMediaInfo.h>
#include <kilnware/platform/discrecording/DRNotificationCenter.h>
#include <kilnware/platform/discrecording/DROperation.h>
#include <kilnware/platform/discrecording/DRTrack.h>
#include <kilnware/platform/discrecording/Engine.h>
#include <kilnware/platform/engines/libburn/LibburnEngine.h>
#include <kilnware/platform/engines/virtual/ImageRecorder.h>
#include <kilnware/platform/engines/virtual/ScriptableRecorder.h>
#include <kilnware/platform/foundation/AtomicText.h>
#include <kilnware/platform/foundation/FileManager.h>
#include <kilnware/platform/foundation/Log.h>
#include <kilnware/platform/foundation/NotificationCenter.h>
#include <kilnware/platform/foundation/Object.h>
#include <kilnware/platform/foundation/RunLoop.h>
#include <kilnware/platform/foundation/Task.h>
#include <kilnware/platform/foundation/Value.h>
#include <kilnware/platform/panels/Panels.h>
#include <kilnware/platform/panels/ScriptedAnswerer.h>
