#include <kilnware/platform/panels/ScriptedAnswerer.h>

namespace kilnware::platform {

std::shared_ptr<ScriptedAnswerer> ScriptedAnswerer::install() {
    auto answerer = std::make_shared<ScriptedAnswerer>();
    Panels::setAnswerer(answerer);
    return answerer;
}

void ScriptedAnswerer::confirmWith(std::string displayName, Hook whileShown) {
    std::lock_guard lock(mutex_);
    answers_.push_back(Answer{std::move(displayName), std::move(whileShown)});
}

void ScriptedAnswerer::cancel(Hook whileShown) {
    std::lock_guard lock(mutex_);
    answers_.push_back(Answer{std::nullopt, std::move(whileShown)});
}

void ScriptedAnswerer::cancelProgressAfter(std::size_t updates) {
    std::lock_guard lock(mutex_);
    cancelAfter_ = updates;
}

std::vector<ScriptedAnswerer::SetupShowing> ScriptedAnswerer::setupShowings() const {
    std::lock_guard lock(mutex_);
    return setups_;
}

std::vector<ScriptedAnswerer::ProgressShowing> ScriptedAnswerer::progressShowings() const {
    std::lock_guard lock(mutex_);
    return progress_;
}

std::size_t ScriptedAnswerer::pendingAnswers() const {
    std::lock_guard lock(mutex_);
    return answers_.size();
}

std::shared_ptr<DRDevice> ScriptedAnswerer::runSetupPanel(DRSetupPanel& panel) {
    Answer answer;
    {
        std::lock_guard lock(mutex_);
        if (!answers_.empty()) {
            answer = std::move(answers_.front());
            answers_.pop_front();
        }
    }
    if (answer.whileShown) {
        answer.whileShown(panel);
    }
    SetupShowing showing{panel.kind(), panel.deviceChoices(), std::nullopt};
    std::shared_ptr<DRDevice> chosen;
    if (answer.deviceName) {
        for (const auto& choice : showing.choices) {
            // Like a person at the panel, the script cannot confirm a refused recorder.
            if (choice.device->displayName() == *answer.deviceName && choice.selectable()) {
                chosen = choice.device;
                showing.chosen = answer.deviceName;
                break;
            }
        }
    }
    std::lock_guard lock(mutex_);
    setups_.push_back(std::move(showing));
    return chosen;
}

ScriptedAnswerer::ProgressShowing* ScriptedAnswerer::showingOf(const DRProgressPanel& panel) {
    for (std::size_t i = progressPanels_.size(); i-- > 0;) {
        if (progressPanels_[i] == &panel) {
            return &progress_[i];
        }
    }
    return nullptr;
}

void ScriptedAnswerer::progressPanelBegan(DRProgressPanel& panel) {
    std::lock_guard lock(mutex_);
    progress_.push_back(
        ProgressShowing{panel.kind(), panel.description(), {}, std::nullopt, false});
    progressPanels_.push_back(&panel);
}

void ScriptedAnswerer::progressPanelUpdated(DRProgressPanel& panel, const Dictionary& status) {
    bool cancelNow = false;
    {
        std::lock_guard lock(mutex_);
        if (ProgressShowing* showing = showingOf(panel)) {
            showing->updates.push_back(status);
            cancelNow = cancelAfter_ && showing->updates.size() == *cancelAfter_;
        }
    }
    if (cancelNow) {
        panel.cancel();
    }
}

void ScriptedAnswerer::progressPanelPresentResult(DRProgressPanel& panel,
                                                  const Dictionary& status) {
    std::lock_guard lock(mutex_);
    if (ProgressShowing* showing = showingOf(panel)) {
        showing->presentedResult = status;
    }
}

void ScriptedAnswerer::progressPanelClosed(DRProgressPanel& panel) {
    std::lock_guard lock(mutex_);
    if (ProgressShowing* showing = showingOf(panel)) {
        showing->closed = true;
    }
}

}  // namespace kilnware::platform
