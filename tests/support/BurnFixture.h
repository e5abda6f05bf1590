#pragma once

#include <gtest/gtest.h>

#include <memory>

#include <kilnware/Kilnware.h>
#include "tests/support/TestSupport.h"

namespace kilnware::test {

// A track record as a host fills it in.
inline std::shared_ptr<TrackInfoClass> trackRecord(std::optional<std::string> title,
                                                   std::optional<std::string> author,
                                                   std::uint32_t preGap = 0) {
    auto record = std::make_shared<TrackInfoClass>();
    record->setM_Title(std::move(title));
    record->setM_Author(std::move(author));
    record->setM_PreGap(preGap);
    return record;
}

// A burn controller with a scriptable CD-R recorder ("Scripted CD-R"), a scripted answerer, the
// log and the burn notices captured, and a folder of its own.
class BurnTest : public ::testing::Test {
protected:
    static constexpr const char* kRecorder = "Scripted CD-R";

    TempDir dir;
    ScopedAnswerer answerer;
    ScopedRecorder recorder{kRecorder};
    LogCapture log;
    NoticeLog notices{{BurnSucceed, BurnFailed}};
    std::shared_ptr<VXBurn> burn = std::make_shared<VXBurn>();

    // Runs the loop until `count` burns have ended: each notice posted, each panel closed.
    void waitForBurns(std::size_t count = 1) {
        ASSERT_TRUE(runUntil([&] {
            auto shown = answerer->progressShowings();
            return notices.entries().size() == count && shown.size() == count &&
                   shown.back().closed && !burn->burning;
        }));
    }
};

}  // namespace kilnware::test
