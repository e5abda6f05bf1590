#include <kilnware/platform/foundation/Value.h>

#include <cstdio>

namespace kilnware::platform {

namespace {
const Value kNone;

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;
}  // namespace

Dictionary::Dictionary(std::initializer_list<Entry> entries) {
    for (const auto& [key, value] : entries) {
        set(key, value);
    }
}

const Value* Dictionary::find(std::string_view key) const {
    for (const auto& entry : entries_) {
        if (entry.first == key) {
            return &entry.second;
        }
    }
    return nullptr;
}

Value* Dictionary::find(std::string_view key) {
    return const_cast<Value*>(std::as_const(*this).find(key));
}

const Value& Dictionary::operator[](std::string_view key) const {
    const Value* value = find(key);
    return value ? *value : kNone;
}

void Dictionary::set(std::string_view key, Value value) {
    if (Value* existing = find(key)) {
        *existing = std::move(value);
    } else {
        entries_.emplace_back(std::string(key), std::move(value));
    }
}

bool Dictionary::erase(std::string_view key) {
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->first == key) {
            entries_.erase(it);
            return true;
        }
    }
    return false;
}

bool operator==(const Dictionary& a, const Dictionary& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (const auto& [key, value] : a) {
        const Value* other = b.find(key);
        if (!other || !(*other == value)) {
            return false;
        }
    }
    return true;
}

Value::Value(const char* text) {
    if (text) {
        storage_ = std::string(text);
    }
}

Value::Value(std::optional<std::string> text) {
    if (text) {
        storage_ = std::move(*text);
    }
}

bool Value::isNumber() const {
    return std::holds_alternative<bool>(storage_) ||
           std::holds_alternative<std::int64_t>(storage_) ||
           std::holds_alternative<std::uint64_t>(storage_) ||
           std::holds_alternative<double>(storage_);
}

bool Value::boolValue() const {
    return std::visit(
        Overloaded{[](bool b) { return b; }, [](std::int64_t i) { return i != 0; },
                   [](std::uint64_t u) { return u != 0; }, [](double d) { return d != 0.0; },
                   [](const auto&) { return false; }},
        storage_);
}

std::int64_t Value::int64Value() const {
    return std::visit(Overloaded{[](bool b) -> std::int64_t { return b ? 1 : 0; },
                                 [](std::int64_t i) { return i; },
                                 [](std::uint64_t u) { return static_cast<std::int64_t>(u); },
                                 [](double d) { return static_cast<std::int64_t>(d); },
                                 [](const auto&) -> std::int64_t { return 0; }},
                      storage_);
}

std::uint64_t Value::uint64Value() const {
    return std::visit(
        Overloaded{
            [](bool b) -> std::uint64_t { return b ? 1 : 0; },
            [](std::int64_t i) { return static_cast<std::uint64_t>(i); },
            [](std::uint64_t u) { return u; },
            [](double d) { return d <= 0.0 ? std::uint64_t{0} : static_cast<std::uint64_t>(d); },
            [](const auto&) -> std::uint64_t { return 0; }},
        storage_);
}

double Value::doubleValue() const {
    return std::visit(Overloaded{[](bool b) { return b ? 1.0 : 0.0; },
                                 [](std::int64_t i) { return static_cast<double>(i); },
                                 [](std::uint64_t u) { return static_cast<double>(u); },
                                 [](double d) { return d; }, [](const auto&) { return 0.0; }},
                      storage_);
}

std::optional<std::string> Value::textValue() const {
    if (const std::string* s = text()) {
        return *s;
    }
    return std::nullopt;
}

std::string Value::description() const {
    return std::visit(Overloaded{[](std::monostate) { return std::string("(null)"); },
                                 [](bool b) { return std::string(b ? "1" : "0"); },
                                 [](std::int64_t i) { return std::to_string(i); },
                                 [](std::uint64_t u) { return std::to_string(u); },
                                 [](double d) {
                                     char buffer[32];
                                     std::snprintf(buffer, sizeof buffer, "%g", d);
                                     return std::string(buffer);
                                 },
                                 [](const std::string& s) { return s; },
                                 [](const List& list) {
                                     std::string out = "(";
                                     for (std::size_t i = 0; i < list.size(); ++i) {
                                         out += (i ? ", " : "") + list[i].description();
                                     }
                                     return out + ")";
                                 },
                                 [](const Dictionary& dictionary) {
                                     std::string out = "{";
                                     bool first = true;
                                     for (const auto& [key, value] : dictionary) {
                                         out += (first ? "" : "; ") + key + " = " +
                                                value.description();
                                         first = false;
                                     }
                                     return out + "}";
                                 },
                                 [](const ObjectRef& object) { return object->description(); }},
                      storage_);
}

bool operator==(const Value& a, const Value& b) {
    return a.storage_ == b.storage_;
}

const Value& lookup(const Value& value, std::string_view key) {
    const Dictionary* dictionary = value.dictionary();
    return dictionary ? (*dictionary)[key] : kNone;
}

}  // namespace kilnware::platform
