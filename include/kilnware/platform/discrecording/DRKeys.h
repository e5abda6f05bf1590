#pragma once

// The engine's keys and notice names. Each value is the key's own name, so that a media type text,
// for instance, reads "DRDeviceMediaType" followed by the type's short name.

namespace kilnware::platform {

#define KILNWARE_DR_KEY(name) inline constexpr const char* name = #name

// Device notices.
KILNWARE_DR_KEY(DRDeviceAppearedNotification);
KILNWARE_DR_KEY(DRDeviceDisappearedNotification);
KILNWARE_DR_KEY(DRDeviceStatusChangedNotification);

// Device info.
KILNWARE_DR_KEY(DRDevicePhysicalInterconnectKey);
KILNWARE_DR_KEY(DRDeviceVendorNameKey);
KILNWARE_DR_KEY(DRDeviceProductNameKey);
KILNWARE_DR_KEY(DRDevicePhysicalInterconnectATAPI);
KILNWARE_DR_KEY(DRDevicePhysicalInterconnectSCSI);
KILNWARE_DR_KEY(DRDevicePhysicalInterconnectUSB);
KILNWARE_DR_KEY(DRDevicePhysicalInterconnectFireWire);

// Device status.
KILNWARE_DR_KEY(DRDeviceIsBusyKey);
KILNWARE_DR_KEY(DRDeviceIsTrayOpenKey);
KILNWARE_DR_KEY(DRDeviceMediaStateKey);
KILNWARE_DR_KEY(DRDeviceMediaStateMediaPresent);
KILNWARE_DR_KEY(DRDeviceMediaStateInTransition);
KILNWARE_DR_KEY(DRDeviceMediaStateNone);
KILNWARE_DR_KEY(DRDeviceMediaInfoKey);
// A list of the write speeds the recorder offers for its medium, fastest first, each an unsigned
// number of kilobytes (1000 bytes) a second, for DRBurnRequestedSpeedKey; empty when it names none.
KILNWARE_DR_KEY(DRDeviceBurnSpeedsKey);
// Text: why the recorder cannot be used, in words for a person ("no permission: add yourself to
// the cdrom group"); only on a recorder that cannot be, such as a drive the user may not open. It
// has no medium state; a setup panel shows it with this reason and cannot choose it.
KILNWARE_DR_KEY(DRDeviceUnavailableReasonKey);

// Media info, inside the status under DRDeviceMediaInfoKey. Block counts are unsigned 64-bit
// counts of 2048-byte blocks; spaces are signed 32-bit frame counts (75 frames a second).
KILNWARE_DR_KEY(DRDeviceMediaTypeKey);
KILNWARE_DR_KEY(DRDeviceMediaClassKey);
KILNWARE_DR_KEY(DRDeviceMediaBlocksFreeKey);
KILNWARE_DR_KEY(DRDeviceMediaBlocksUsedKey);
KILNWARE_DR_KEY(DRDeviceMediaBlocksOverwritableKey);
KILNWARE_DR_KEY(DRDeviceMediaFreeSpaceKey);
KILNWARE_DR_KEY(DRDeviceMediaUsedSpaceKey);
KILNWARE_DR_KEY(DRDeviceMediaOverwritableSpaceKey);
KILNWARE_DR_KEY(DRDeviceMediaIsBlankKey);
KILNWARE_DR_KEY(DRDeviceMediaIsAppendableKey);
KILNWARE_DR_KEY(DRDeviceMediaIsOverwritableKey);
KILNWARE_DR_KEY(DRDeviceMediaIsErasableKey);
KILNWARE_DR_KEY(DRDeviceMediaClassCD);
KILNWARE_DR_KEY(DRDeviceMediaClassDVD);
KILNWARE_DR_KEY(DRDeviceMediaClassBD);
KILNWARE_DR_KEY(DRDeviceMediaClassUnknown);

// Media types.
KILNWARE_DR_KEY(DRDeviceMediaTypeCDROM);
KILNWARE_DR_KEY(DRDeviceMediaTypeCDR);
KILNWARE_DR_KEY(DRDeviceMediaTypeCDRW);
KILNWARE_DR_KEY(DRDeviceMediaTypeDVDROM);
KILNWARE_DR_KEY(DRDeviceMediaTypeDVDRAM);
KILNWARE_DR_KEY(DRDeviceMediaTypeDVDR);
KILNWARE_DR_KEY(DRDeviceMediaTypeDVDRDualLayer);
KILNWARE_DR_KEY(DRDeviceMediaTypeDVDRW);
KILNWARE_DR_KEY(DRDeviceMediaTypeDVDPlusR);
KILNWARE_DR_KEY(DRDeviceMediaTypeDVDPlusRDoubleLayer);
KILNWARE_DR_KEY(DRDeviceMediaTypeDVDPlusRW);
KILNWARE_DR_KEY(DRDeviceMediaTypeBDR);
KILNWARE_DR_KEY(DRDeviceMediaTypeBDRE);
KILNWARE_DR_KEY(DRDeviceMediaTypeBDROM);
KILNWARE_DR_KEY(DRDeviceMediaTypeUnknown);

// Burn and erase status.
KILNWARE_DR_KEY(DRStatusStateKey);
KILNWARE_DR_KEY(DRStatusStateNone);
KILNWARE_DR_KEY(DRStatusStatePreparing);
KILNWARE_DR_KEY(DRStatusStateTrackOpen);
KILNWARE_DR_KEY(DRStatusStateTrackWrite);
KILNWARE_DR_KEY(DRStatusStateTrackClose);
KILNWARE_DR_KEY(DRStatusStateSessionClose);
KILNWARE_DR_KEY(DRStatusStateFinishing);
KILNWARE_DR_KEY(DRStatusStateVerifying);
KILNWARE_DR_KEY(DRStatusStateErasing);
KILNWARE_DR_KEY(DRStatusStateDone);
KILNWARE_DR_KEY(DRStatusStateFailed);
KILNWARE_DR_KEY(DRStatusPercentCompleteKey);  // double, 0 to 1; -1 while unknown
KILNWARE_DR_KEY(DRStatusCurrentTrackKey);     // 1-based
KILNWARE_DR_KEY(DRStatusTotalTracksKey);
KILNWARE_DR_KEY(DRStatusCurrentSpeedKey);  // bytes a second
// double: the speed as a multiple of the medium's 1x (CD: 176,400 bytes a second of audio)
KILNWARE_DR_KEY(DRStatusCurrentSpeedMultipleKey);
KILNWARE_DR_KEY(DRStatusBlocksWrittenKey);  // blocks written so far
KILNWARE_DR_KEY(DRStatusBlocksToWriteKey);  // blocks of the whole layout
KILNWARE_DR_KEY(DRErrorStatusKey);
KILNWARE_DR_KEY(DRErrorStatusErrorStringKey);
// boolean, in the error dictionary: the operation failed because it was asked to stop (a cancel,
// a signal), not because something went wrong.
KILNWARE_DR_KEY(DRErrorStatusCancelledKey);

// Burn properties.
KILNWARE_DR_KEY(DRBurnVerifyDiscKey);
KILNWARE_DR_KEY(DRBurnRequestedSpeedKey);  // number, kilobytes (1000 bytes) a second
// boolean: the burn only simulates writing (the laser stays off; the medium is left as it was).
// A medium that cannot simulate fails the burn before anything happens.
KILNWARE_DR_KEY(DRBurnTestingKey);
KILNWARE_DR_KEY(DRCDTextKey);

// Track properties.
// Frames (75 a second) of silence before an audio track. On the first track it is the disc's own
// pause before the music, which is at least 2 seconds (150 frames) whatever is asked.
KILNWARE_DR_KEY(DRPreGapLengthKey);
// boolean, on a disc-image track: the image is its maker's work file, which nobody writes while
// the burn runs and which its maker removes after it, so that an engine writing images may take
// the file as it lies (another name for it) instead of copying its bytes.
KILNWARE_DR_KEY(DRTrackImageIsWorkFileKey);

// Erase types.
KILNWARE_DR_KEY(DREraseTypeKey);
KILNWARE_DR_KEY(DREraseTypeQuick);
KILNWARE_DR_KEY(DREraseTypeComplete);

// Panel notices, posted on the process-wide notification center with the panel as object.
KILNWARE_DR_KEY(DRBurnProgressPanelWillBeginNotification);
KILNWARE_DR_KEY(DRBurnProgressPanelDidFinishNotification);
KILNWARE_DR_KEY(DREraseProgressPanelWillBeginNotification);
KILNWARE_DR_KEY(DREraseProgressPanelDidFinishNotification);

#undef KILNWARE_DR_KEY

}  // namespace kilnware::platform
