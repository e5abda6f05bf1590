#pragma once

// Kilnware: burns audio CDs with CD-Text, MP3 CDs, data discs and video DVDs, erases rewritable
// media and keeps a snapshot of the recorder and its medium.

// Every public face of the library and of its platform layer, for hosts that include one header.
#include <kilnware/Constants.h>
#include <kilnware/VXAdd.h>
#include <kilnware/VXBurn.h>
#include <kilnware/VXDevice.h>
#include <kilnware/platform/discrecording/DRBurn.h>
#include <kilnware/platform/discrecording/DRCDTextBlock.h>
#include <kilnware/platform/discrecording/DRDevice.h>
#include <kilnware/platform/discrecording/DRDiscContents.h>
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
#include <kilnware/platform/foundation/FileIdentity.h>
#include <kilnware/platform/foundation/FileManager.h>
#include <kilnware/platform/foundation/Log.h>
#include <kilnware/platform/foundation/NotificationCenter.h>
#include <kilnware/platform/foundation/Object.h>
#include <kilnware/platform/foundation/RunLoop.h>
#include <kilnware/platform/foundation/Task.h>
#include <kilnware/platform/foundation/Value.h>
#include <kilnware/platform/panels/Panels.h>
#include <kilnware/platform/panels/ScriptedAnswerer.h>
