#include "DesktopBurn.h"

#include <kilnware/platform/discrecording/DRKeys.h>

#include "MediaPolicy.h"
#include "Medium.h"
#include "RecorderList.h"

namespace kilnware::desktop {

using namespace platform;

bool DesktopBurn::deviceContainsSuitableMedia(DRSetupPanel& panel,
                                              const std::shared_ptr<DRDevice>& device,
                                              std::optional<std::string>& promptString) {
    const bool erase = panel.kind() == DRSetupPanel::Kind::Erase;
    if (audio_ && !erase) {
        if (!VXBurn::deviceContainsSuitableMedia(panel, device, promptString)) {
            return false;
        }
    } else if (!hosts::widerPolicyTakes(device.get(), erase)) {
        promptString = (erase ? tr("That is no medium Kilnware can erase: insert a CD-RW, DVD-RW, "
                                   "DVD+RW, DVD-RAM or BD-RE.")
                              : tr("That is no medium Kilnware can write: insert a blank CD-R or "
                                   "CD-RW, DVD-R, DVD+R, DVD-RW, DVD+RW (single or double layer), "
                                   "DVD-RAM, BD-R or BD-RE."))
                           .toStdString();
        return false;
    }
    if (erase || !device) {
        return true;
    }
    if (const QString why = refusal(*device); !why.isEmpty()) {
        promptString = why.toStdString();
        return false;
    }
    return true;
}

QString DesktopBurn::refusal(const DRDevice& device) const {
    const Dictionary status = device.status();
    if (status[DRDeviceMediaStateKey].textValue() != DRDeviceMediaStateMediaPresent) {
        return {};  // the library's media question tells of that
    }
    if (const QString why = contentRefusal(device); !why.isEmpty()) {
        return why;
    }
    const LayoutMeasure measure = measureLayout(pendingLayout(), &device);
    return measure.problem && !content_.fitsWrittenOver(measure.sectors, device)
               ? QString::fromStdString(*measure.problem)
               : QString();
}

QString DesktopBurn::contentRefusal(const DRDevice& device) const {
    if (!content_.refusal(device)) {
        return {};
    }
    using hosts::ContentPolicy;
    const hosts::Medium medium = ContentPolicy::mediumIn(device);
    // As the recorder's card names the medium; a pseudo-drive's file by its own name.
    const QString name = QString::fromStdString(device.displayName());
    const QString holdings = QString::fromStdString(medium.holdings());
    const QString holds =
        ContentPolicy::pseudoDrive(device)
            ? tr("%1 holds %2.").arg(name, holdings)
            : tr("The %1 in %2 holds %3.")
                  .arg(RecorderList::mediumWords(QString::fromStdString(medium.type)), name,
                       holdings);
    if (content_.appending(device)) {
        return holds + QLatin1Char(' ') +
               (medium.sessionsUnreadable()
                    ? tr("Its sessions cannot be read back, so no session can be added after "
                         "them.")
                    : tr("A session can be added only to ISO 9660 sessions that are left open."));
    }
    const bool append = ContentPolicy::continuable(medium) && content_.request().sessions;
    if (ContentPolicy::rewritable(medium)) {
        return holds + QLatin1Char(' ') +
               (append ? tr("Write over it, add a session to it, or insert another disc.")
                       : tr("Write over it, or insert another disc."));
    }
    return holds + QLatin1Char(' ') +
           (append ? tr("It cannot be written over: add a session to it, or insert a blank disc.")
                   : tr("It cannot be written over: insert a blank disc."));
}

}  // namespace kilnware::desktop
