#include "tests/support/TestSupport.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace kilnware::testing {

LogCapture::LogCapture() {
    platform::Log::setSystemLogEnabled(false);
    sink_ = platform::Log::addSink([this](std::string_view line) {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(line);
    });
}

LogCapture::~LogCapture() {
    platform::Log::removeSink(sink_);
    platform::Log::setSystemLogEnabled(true);
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

void LogCapture::clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kilnware-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace kilnware::testing
