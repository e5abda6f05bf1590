#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <kilnware/Export.h>
#include <kilnware/platform/foundation/Object.h>
#include <kilnware/platform/foundation/RunLoop.h>
#include <kilnware/platform/foundation/Value.h>

namespace kilnware::platform {

class DRDevice;

// What a burn and an erase share: the recorder, the status dictionary and its reporting. The engine
// reports from its own thread; whoever watches hears of each status on the run loop of the thread
// that started the operation.
class KILNWARE_EXPORT DROperation : public Object {
public:
    using StatusHandler = std::function<void(const Dictionary& status)>;

    std::shared_ptr<DRDevice> device() const;
    // For the setup panel, which binds the operation to the recorder the user chose.
    void setDevice(std::shared_ptr<DRDevice> device);

    // The latest status: DRStatusStateKey and, on failure, DRErrorStatusKey with
    // DRErrorStatusErrorStringKey. Thread-safe.
    Dictionary status() const;

    // Called on the starting thread's run loop with every status the engine reports; the last one
    // has the state Done or Failed.
    void setStatusHandler(StatusHandler handler);

    // Asks the engine to stop; the operation then fails as cancelled (reportCancelled).
    void abort() { abortRequested_ = true; }
    bool abortRequested() const { return abortRequested_; }

    // For engines, from any thread.
    void reportStatus(Dictionary status);
    void reportFailure(const std::string& errorText);
    // The failure of an operation that was asked to stop: the text "cancelled", and
    // DRErrorStatusCancelledKey, which is what tells a cancel from a failure.
    void reportCancelled();
    void reportDone();

    static constexpr const char* kCancelledText = "cancelled";

    // Readings of a status dictionary: whether it is the last one (Done or Failed), whether it
    // says Failed, the error text it carries, if any, and whether the failure was a cancel.
    static bool isFinal(const Dictionary& status);
    static bool hasFailed(const Dictionary& status);
    static std::optional<std::string> errorText(const Dictionary& status);
    static bool wasCancelled(const Dictionary& status);

protected:
    explicit DROperation(std::shared_ptr<DRDevice> device);
    // Binds reporting to the calling thread's run loop and marks the operation as started. False
    // when it was started before.
    bool beginReporting();

private:
    void reportFailure(const std::string& errorText, bool cancelled);

    mutable std::mutex mutex_;
    std::shared_ptr<DRDevice> device_;
    Dictionary status_;
    StatusHandler handler_;
    std::shared_ptr<RunLoop> loop_;
    bool started_ = false;
    std::atomic<unsigned> stopMark_{0};  // Task::terminateAll calls when it started
    bool finished_ = false;
    std::atomic<bool> abortRequested_{false};
};

}  // namespace kilnware::platform
