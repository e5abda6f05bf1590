#include <gtest/gtest.h>

#include <kilnware/platform/foundation/Value.h>

namespace kilnware::platform {
namespace {

TEST(Dictionary, KeepsTheOrderInWhichKeysWereFirstSet) {
    Dictionary d;
    d.set("b", 1);
    d.set("a", 2);
    d.set("b", 3);
    std::vector<std::string> keys;
    for (const auto& [key, value] : d) {
        keys.push_back(key);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"b", "a"}));
    EXPECT_EQ(d["b"].int64Value(), 3);
    EXPECT_TRUE(d.erase("b"));
    EXPECT_FALSE(d.contains("b"));
    EXPECT_TRUE(d["missing"].isNone());
}

TEST(Value, ReadsLenientlyAndHoldsObjectsByIdentity) {
    EXPECT_FALSE(Value().boolValue());
    EXPECT_EQ(Value("text").uint64Value(), 0u);
    EXPECT_FALSE(Value(std::optional<std::string>()).textValue());
    EXPECT_EQ(Value(std::string()).textValue(), std::string());  // empty is not none
    EXPECT_TRUE(Value(std::uint64_t{7}).boolValue());
    EXPECT_EQ(Value(-1).uint64Value(), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(Value(-3.5).uint64Value(), 0u);
    Dictionary inner{{"k", "v"}};
    EXPECT_EQ(lookup(Value(inner), "k").textValue(), "v");
    EXPECT_TRUE(lookup(Value(5), "k").isNone());
    // Shared objects by identity.
    auto object = std::make_shared<Object>();
    Value a(object);
    EXPECT_EQ(a.object<Object>(), object);
    EXPECT_EQ(a, Value(object));
    EXPECT_FALSE(a == Value(std::make_shared<Object>()));
    EXPECT_TRUE(Value(std::shared_ptr<Object>()).isNone());
}

TEST(Value, DescribesNestedValues) {
    Dictionary d{{"a", 1}, {"b", List{Value("x"), Value(true)}}};
    EXPECT_EQ(Value(d).description(), "{a = 1; b = (x, 1)}");
}

}  // namespace
}  // namespace kilnware::platform
