#include <kilnware/platform/discrecording/DROperation.h>

#include <kilnware/platform/discrecording/DRDevice.h>
#include <kilnware/platform/discrecording/DRKeys.h>

#include "platform/foundation/TaskStops.h"

namespace kilnware::platform {

bool DROperation::isFinal(const Dictionary& status) {
    const std::string* state = status[DRStatusStateKey].text();
    return state && (*state == DRStatusStateDone || *state == DRStatusStateFailed);
}

bool DROperation::hasFailed(const Dictionary& status) {
    const std::string* state = status[DRStatusStateKey].text();
    return state && *state == DRStatusStateFailed;
}

std::optional<std::string> DROperation::errorText(const Dictionary& status) {
    const Value& text = lookup(status[DRErrorStatusKey], DRErrorStatusErrorStringKey);
    if (text.isNone()) {
        return std::nullopt;
    }
    return text.description();
}

bool DROperation::wasCancelled(const Dictionary& status) {
    return hasFailed(status) &&
           lookup(status[DRErrorStatusKey], DRErrorStatusCancelledKey).boolValue();
}

DROperation::DROperation(std::shared_ptr<DRDevice> device) : device_(std::move(device)) {
    status_.set(DRStatusStateKey, DRStatusStateNone);
}

std::shared_ptr<DRDevice> DROperation::device() const {
    std::lock_guard lock(mutex_);
    return device_;
}

void DROperation::setDevice(std::shared_ptr<DRDevice> device) {
    std::lock_guard lock(mutex_);
    device_ = std::move(device);
}

Dictionary DROperation::status() const {
    std::lock_guard lock(mutex_);
    return status_;
}

void DROperation::setStatusHandler(StatusHandler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

bool DROperation::beginReporting() {
    std::lock_guard lock(mutex_);
    if (started_) {
        return false;
    }
    started_ = true;
    stopMark_ = terminateAllCalls();
    loop_ = RunLoop::current();
    return true;
}

void DROperation::reportStatus(Dictionary status) {
    std::shared_ptr<RunLoop> loop;
    bool final = isFinal(status);
    {
        std::lock_guard lock(mutex_);
        if (finished_) {
            return;  // nothing follows the end
        }
        finished_ = final;
        status_ = status;
        loop = loop_;
    }
    if (!loop) {
        return;
    }
    auto self = selfAs<DROperation>();
    loop->post([self, status = std::move(status), final] {
        StatusHandler handler;
        {
            std::lock_guard lock(self->mutex_);
            if (final) {
                // The last status releases the handler, and whatever the handler holds.
                handler = std::move(self->handler_);
                self->handler_ = nullptr;
            } else {
                handler = self->handler_;
            }
        }
        if (handler) {
            handler(status);
        }
    });
}

void DROperation::reportFailure(const std::string& errorText) {
    // Whatever an operation that was asked to stop fails of (a tool ended, a read cut short), the
    // stop is the reason; so too when the host ended every tool (Task::terminateAll, on Ctrl-C)
    // before it could ask.
    if (abortRequested() || terminateAllCalls() != stopMark_) {
        reportCancelled();
    } else {
        reportFailure(errorText, false);
    }
}

void DROperation::reportCancelled() {
    reportFailure(kCancelledText, true);
}

void DROperation::reportFailure(const std::string& errorText, bool cancelled) {
    Dictionary error;
    error.set(DRErrorStatusErrorStringKey, errorText);
    if (cancelled) {
        error.set(DRErrorStatusCancelledKey, true);
    }
    Dictionary status;
    status.set(DRStatusStateKey, DRStatusStateFailed);
    status.set(DRErrorStatusKey, std::move(error));
    reportStatus(std::move(status));
}

void DROperation::reportDone() {
    Dictionary status;
    status.set(DRStatusStateKey, DRStatusStateDone);
    status.set(DRStatusPercentCompleteKey, 1.0);
    reportStatus(std::move(status));
}

}  // namespace kilnware::platform
