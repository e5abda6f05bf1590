#include <gtest/gtest.h>

#include <kilnware/platform/foundation/NotificationCenter.h>

namespace kilnware::platform {
namespace {

TEST(NotificationCenter, MatchesByNameAndBySender) {
    NotificationCenter center;
    auto a = std::make_shared<Object>();
    auto b = std::make_shared<Object>();
    std::vector<std::string> heard;
    int byName = 0, bySender = 0, everything = 0;
    center.addObserver(&byName, std::string("Ping"), nullptr,
                       [&](const Notification& n) { heard.push_back("name:" + n.name); });
    center.addObserver(&bySender, std::nullopt, a.get(),
                       [&](const Notification& n) { heard.push_back("sender:" + n.name); });
    center.addObserver(&everything, std::nullopt, nullptr,
                       [&](const Notification& n) { heard.push_back("all:" + n.name); });
    center.postNotificationName("Ping", b);
    center.postNotificationName("Pong", a);
    EXPECT_EQ(heard,
              (std::vector<std::string>{"name:Ping", "all:Ping", "sender:Pong", "all:Pong"}));

    Notification got;
    center.removeObserver(&everything);
    center.addObserver(&everything, std::nullopt, nullptr, [&](const Notification& n) { got = n; });
    center.postNotificationName("Info", a, Dictionary{{"k", 1}});
    EXPECT_EQ(got.objectAs<Object>(), a);
    ASSERT_TRUE(got.userInfo);
    EXPECT_EQ((*got.userInfo)["k"].int64Value(), 1);
    center.postNotificationName("Bare", nullptr);
    EXPECT_FALSE(got.userInfo);
}

TEST(NotificationCenter, ObserversMayChangeRegistrationsAndPostDuringADelivery) {
    NotificationCenter center;
    std::vector<std::string> calls;
    int first = 0, second = 0, late = 0;
    center.addObserver(&first, std::string("Go"), nullptr, [&](const Notification&) {
        calls.push_back("first");
        // Withdraws the next observer before its turn, adds one for later posts, and posts.
        center.removeObserver(&second);
        center.addObserver(&late, std::string("Go"), nullptr,
                           [&](const Notification&) { calls.push_back("late"); });
        center.postNotificationName("Nested", nullptr);
    });
    center.addObserver(&second, std::string("Go"), nullptr,
                       [&](const Notification&) { calls.push_back("second"); });
    center.addObserver(&first, std::string("Nested"), nullptr, [&](const Notification&) {
        calls.push_back("nested");
        center.removeObserver(&first, std::string("Nested"));
    });
    center.postNotificationName("Go", nullptr);
    EXPECT_EQ(calls, (std::vector<std::string>{"first", "nested"}));
    calls.clear();
    center.removeObserver(&first);
    center.postNotificationName("Go", nullptr);
    EXPECT_EQ(calls, std::vector<std::string>{"late"});
    EXPECT_EQ(center.observationCount(&late), 1u);
    EXPECT_EQ(center.observationCount(&first), 0u);
}

}  // namespace
}  // namespace kilnware::platform
