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
// Whether a session can be added: the medium is blank, or holds sessions left open (on
// overwritable media and files: ISO 9660 sessions, or nothing).
KILNWARE_DR_KEY(DRDeviceMediaIsAppendableKey);
KILNWARE_DR_KEY(DRDeviceMediaIsOverwritableKey);
KILNWARE_DR_KEY(DRDeviceMediaIsErasableKey);
// What the medium holds, so that a host can say so before it is written over. Each is left out
// where the engine cannot tell (a medium it made itself is blank or holds its own burns).
// A list of the medium's sessions, oldest first; on overwritable media and files, the sessions
// that xorriso's layer (libisoburn) lays out on them. Each session is a dictionary of its number,
// first block and length in blocks and its tracks, each a dictionary of the same with its type.
KILNWARE_DR_KEY(DRDeviceMediaSessionsKey);
KILNWARE_DR_KEY(DRDeviceSessionNumberKey);  // unsigned, from 1
KILNWARE_DR_KEY(DRDeviceSessionStartKey);   // unsigned, its first block
KILNWARE_DR_KEY(DRDeviceSessionLengthKey);  // unsigned, blocks
KILNWARE_DR_KEY(DRDeviceSessionTracksKey);  // list
KILNWARE_DR_KEY(DRDeviceTrackNumberKey);    // unsigned, from 1, counted over the medium
KILNWARE_DR_KEY(DRDeviceTrackTypeKey);      // DRDeviceTrackTypeAudio or DRDeviceTrackTypeData
KILNWARE_DR_KEY(DRDeviceTrackStartKey);
KILNWARE_DR_KEY(DRDeviceTrackLengthKey);
KILNWARE_DR_KEY(DRDeviceTrackTypeAudio);
KILNWARE_DR_KEY(DRDeviceTrackTypeData);
// What a medium that is not blank holds, in a word: ISO 9660 sessions, audio tracks (perhaps with
// data), another file system (named by DRDeviceMediaFileSystemKey), or data of no kind the engine
// knows. A medium whose first blocks hold nothing is blank.
KILNWARE_DR_KEY(DRDeviceMediaContentKey);
KILNWARE_DR_KEY(DRDeviceMediaContentISO9660);
KILNWARE_DR_KEY(DRDeviceMediaContentAudio);
KILNWARE_DR_KEY(DRDeviceMediaContentFileSystem);
KILNWARE_DR_KEY(DRDeviceMediaContentData);
// Text: the file system of the content, as people call it ("ISO 9660", "UDF", "ext4", "FAT32").
KILNWARE_DR_KEY(DRDeviceMediaFileSystemKey);
// Text: the volume name of the newest session's file system.
KILNWARE_DR_KEY(DRDeviceMediaVolumeNameKey);
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
// text of 13 digits: the disc's Media Catalog Number (UPC/EAN), for the Q sub-channel of a CD.
KILNWARE_DR_KEY(DRMediaCatalogNumberKey);
// What a burn does with a medium that already holds something (DRDeviceMediaIsBlankKey false).
// Unless it appends or is told to write over it, such a burn fails before writing anything.
// boolean: write over what the medium holds: media written in place are written anew from their
// start, other rewritables are blanked first. A write-once medium that holds data cannot be
// written over: the burn fails.
KILNWARE_DR_KEY(DRBurnOverwriteDiscKey);
// boolean: add a session after the medium's last (on a blank medium, the first): the layout is one
// data track made from folders in ISO 9660 and/or Joliet (DRTrack::trackForRootFolder), whose
// tree then holds the files and folders of the last session as well as its own, so that a reader
// sees them all. A folder that is there already takes the new children in. On overwritable media
// and files the sessions are laid out as xorriso does (libisoburn).
KILNWARE_DR_KEY(DRBurnAppendKey);
// boolean, with DRBurnAppendKey: a file of the track whose path the last session holds already
// (or a folder where it holds a file) replaces it; without it, such a burn fails naming the path.
KILNWARE_DR_KEY(DRBurnReplaceFilesKey);
// boolean: leave the disc open for more sessions; without it the disc is closed. Media written in
// place take more sessions whatever it says.
KILNWARE_DR_KEY(DRBurnAppendableKey);

// Track properties.
// Frames (75 a second) of silence before an audio track. On the first track it is the disc's own
// pause before the music, which is at least 2 seconds (150 frames) whatever is asked.
KILNWARE_DR_KEY(DRPreGapLengthKey);
// Frames at the start of an audio track's own stream that are its pre-gap (index 0) rather than
// its music (index 1): audio that a disc held before the track began, such as hidden audio before
// track 1 or a gap that is not silence. They follow the silence of DRPreGapLengthKey.
KILNWARE_DR_KEY(DRPreGapFromStreamLengthKey);
// text of 12 characters (CCOOOYYSSSSS): the track's International Standard Recording Code.
KILNWARE_DR_KEY(DRTrackISRCKey);
// booleans, each a flag of the track's sub-channel control: audio recorded with pre-emphasis,
// four-channel audio, and a track that may be copied digitally.
KILNWARE_DR_KEY(DRAudioPreEmphasisKey);
KILNWARE_DR_KEY(DRAudioFourChannelKey);
KILNWARE_DR_KEY(DRTrackCopyPermittedKey);
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
