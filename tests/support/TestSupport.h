#pragma once

#include <mutex>
#include <string>
#include <vector>

#include <kilnware/platform/foundation/Log.h>

namespace kilnware::test {

// Collects every log line written while it lives, from any thread. Syslog is off meanwhile, so
// tests do not fill the system log.
class LogCapture {
  public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const;
    void clear();

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    bool systemLogWasEnabled_;
    platform::Log::SinkId sink_;
};

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it at the end.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

}  // namespace kilnware::test
