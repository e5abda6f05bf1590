#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <kilnware/Export.h>
#include <kilnware/platform/foundation/Object.h>

namespace kilnware::platform {

class Value;
class Dictionary;

// Declared here so that the friends below are exported with the classes.
KILNWARE_EXPORT bool operator==(const Dictionary&, const Dictionary&);
KILNWARE_EXPORT bool operator==(const Value&, const Value&);

// An ordered list of property-list values.
using List = std::vector<Value>;

// A property-list dictionary: keys compare by text value, and iteration follows the order in which
// each key was first set. Dictionaries here hold a handful of keys, so a flat vector beats a map.
class KILNWARE_EXPORT Dictionary {
public:
    using Entry = std::pair<std::string, Value>;

    Dictionary() = default;
    Dictionary(std::initializer_list<Entry> entries);

    // The value under `key`, or nullptr when the key is absent.
    const Value* find(std::string_view key) const;
    Value* find(std::string_view key);
    // The value under `key`; an absent key reads as none.
    const Value& operator[](std::string_view key) const;
    bool contains(std::string_view key) const { return find(key) != nullptr; }

    // Sets `key`; a key that is already there keeps its place.
    void set(std::string_view key, Value value);
    bool erase(std::string_view key);

    // Defined below Value: clang instantiates the vector's members here, where Value is incomplete.
    std::size_t size() const;
    bool empty() const;
    auto begin() const;
    auto end() const;

    friend bool operator==(const Dictionary&, const Dictionary&);

private:
    std::vector<Entry> entries_;
};

// A property-list value: none, boolean, signed or unsigned 64-bit integer, double, text, list,
// dictionary, or a shared object. Lists and dictionaries are held by value.
class KILNWARE_EXPORT Value {
public:
    using ObjectRef = std::shared_ptr<Object>;
    using Storage = std::variant<std::monostate, bool, std::int64_t, std::uint64_t, double,
                                 std::string, List, Dictionary, ObjectRef>;

    Value() = default;
    Value(std::nullptr_t) {}
    Value(bool b) : storage_(b) {}
    Value(int i) : storage_(std::int64_t{i}) {}
    Value(long i) : storage_(std::int64_t{i}) {}
    Value(long long i) : storage_(std::int64_t{i}) {}
    Value(unsigned int u) : storage_(std::uint64_t{u}) {}
    Value(unsigned long u) : storage_(std::uint64_t{u}) {}
    Value(unsigned long long u) : storage_(std::uint64_t{u}) {}
    Value(double d) : storage_(d) {}
    Value(const char* text);
    Value(std::string text) : storage_(std::move(text)) {}
    Value(std::string_view text) : storage_(std::string(text)) {}
    Value(std::optional<std::string> text);
    Value(List list) : storage_(std::move(list)) {}
    Value(Dictionary dictionary) : storage_(std::move(dictionary)) {}
    template <class T>
    requires std::is_base_of_v<Object, T> Value(std::shared_ptr<T> object) {
        if (object) {
            storage_ = ObjectRef(std::move(object));
        }
    }

    bool isNone() const { return std::holds_alternative<std::monostate>(storage_); }
    bool isBool() const { return std::holds_alternative<bool>(storage_); }
    bool isNumber() const;
    bool isText() const { return std::holds_alternative<std::string>(storage_); }
    bool isList() const { return std::holds_alternative<List>(storage_); }
    bool isDictionary() const { return std::holds_alternative<Dictionary>(storage_); }
    bool isObject() const { return std::holds_alternative<ObjectRef>(storage_); }

    // Lenient readings, as the platform's number and string objects give them: a missing or
    // mismatched value reads as NO, 0 or no text.
    bool boolValue() const;
    std::int64_t int64Value() const;
    std::uint64_t uint64Value() const;
    double doubleValue() const;
    std::optional<std::string> textValue() const;

    // Typed access: nullptr when the value is of another kind.
    const std::string* text() const { return std::get_if<std::string>(&storage_); }
    const List* list() const { return std::get_if<List>(&storage_); }
    List* list() { return std::get_if<List>(&storage_); }
    const Dictionary* dictionary() const { return std::get_if<Dictionary>(&storage_); }
    Dictionary* dictionary() { return std::get_if<Dictionary>(&storage_); }
    const ObjectRef* objectRef() const { return std::get_if<ObjectRef>(&storage_); }
    template <class T>
    std::shared_ptr<T> object() const {
        const ObjectRef* ref = objectRef();
        return ref ? std::dynamic_pointer_cast<T>(*ref) : nullptr;
    }

    // What "%@" shows for this value.
    std::string description() const;

    const Storage& storage() const { return storage_; }

    friend bool operator==(const Value&, const Value&);

private:
    Storage storage_;
};

inline std::size_t Dictionary::size() const {
    return entries_.size();
}
inline bool Dictionary::empty() const {
    return entries_.empty();
}
inline auto Dictionary::begin() const {
    return entries_.begin();
}
inline auto Dictionary::end() const {
    return entries_.end();
}

// The value under `key` of the dictionary held in `value`; none when `value` holds no dictionary.
KILNWARE_EXPORT const Value& lookup(const Value& value, std::string_view key);

}  // namespace kilnware::platform
