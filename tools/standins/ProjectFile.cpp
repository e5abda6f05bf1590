#include "ProjectFile.h"

#include <map>
#include <memory>

#include "platform/foundation/Utf8.h"

namespace kilnware::standins {

using platform::appendUtf8;
using platform::decodeUtf8;

namespace {

struct Element {
    std::string name;
    int line = 0;
    std::map<std::string, std::string> attributes;
    std::vector<std::unique_ptr<Element>> children;
};

struct ParseError {
    std::string message;
};

class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    std::unique_ptr<Element> document() {
        // A byte-order mark is allowed before the declaration, as XML parsers accept it.
        if (text_.substr(0, 3) == "\xEF\xBB\xBF") {
            pos_ = 3;
        }
        if (text_.substr(pos_, 5) == "<?xml") {
            declaration();
        }
        skipMisc();
        if (atEnd() || text_[pos_] != '<') {
            fail("the project has no <dvdauthor> element");
        }
        auto root = element(0);
        skipMisc();
        if (!atEnd()) {
            fail("unexpected content after </" + root->name + ">");
        }
        return root;
    }

private:
    [[noreturn]] void fail(const std::string& message) const {
        throw ParseError{"line " + std::to_string(line_) + ": " + message};
    }

    bool atEnd() const { return pos_ >= text_.size(); }
    bool startsWith(std::string_view prefix) const {
        return text_.substr(pos_, prefix.size()) == prefix;
    }

    void advance(std::size_t count) {
        for (std::size_t i = 0; i < count && pos_ < text_.size(); ++i) {
            if (text_[pos_++] == '\n') {
                ++line_;
            }
        }
    }

    static bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
    static bool isNameStart(char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':';
    }
    static bool isNameChar(char c) {
        return isNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
    }

    bool skipSpace() {
        std::size_t start = pos_;
        while (!atEnd() && isSpace(text_[pos_])) {
            advance(1);
        }
        return pos_ != start;
    }

    // Whitespace and comments, the only things allowed between elements.
    void skipMisc() {
        for (;;) {
            skipSpace();
            if (startsWith("<!--")) {
                comment();
            } else if (startsWith("<?")) {
                fail("processing instructions are not expected in a project");
            } else if (startsWith("<!")) {
                fail("DOCTYPE, CDATA and other declarations are not expected in a project");
            } else {
                return;
            }
        }
    }

    void comment() {
        advance(4);
        std::size_t end = text_.find("--", pos_);
        if (end == std::string_view::npos) {
            fail("unterminated comment");
        }
        advance(end - pos_);
        if (!startsWith("-->")) {
            fail("\"--\" inside a comment");
        }
        advance(3);
    }

    std::string name() {
        if (atEnd() || !isNameStart(text_[pos_])) {
            fail("a name was expected");
        }
        std::size_t start = pos_;
        while (!atEnd() && isNameChar(text_[pos_])) {
            advance(1);
        }
        return std::string(text_.substr(start, pos_ - start));
    }

    char32_t reference() {
        // At '&'.
        std::size_t semicolon = text_.find(';', pos_);
        if (semicolon == std::string_view::npos || semicolon - pos_ > 12) {
            fail("a '&' that starts no entity reference");
        }
        std::string_view body = text_.substr(pos_ + 1, semicolon - pos_ - 1);
        advance(semicolon + 1 - pos_);
        static const std::map<std::string_view, char32_t> named = {
            {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
        if (auto entry = named.find(body); entry != named.end()) {
            return entry->second;
        }
        if (body.size() < 2 || body[0] != '#') {
            fail("unknown entity &" + std::string(body) + ";");
        }
        bool hex = body[1] == 'x';
        std::string_view digits = body.substr(hex ? 2 : 1);
        if (digits.empty()) {
            fail("malformed character reference &" + std::string(body) + ";");
        }
        char32_t value = 0;
        for (char c : digits) {
            int digit;
            if (c >= '0' && c <= '9') {
                digit = c - '0';
            } else if (hex && c >= 'a' && c <= 'f') {
                digit = c - 'a' + 10;
            } else if (hex && c >= 'A' && c <= 'F') {
                digit = c - 'A' + 10;
            } else {
                fail("malformed character reference &" + std::string(body) + ";");
            }
            value = value * (hex ? 16 : 10) + static_cast<char32_t>(digit);
            if (value > 0x10FFFF) {
                fail("character reference &" + std::string(body) + "; is out of range");
            }
        }
        bool allowed = value == 0x9 || value == 0xA || value == 0xD ||
                       (value >= 0x20 && value <= 0xD7FF) || (value >= 0xE000 && value <= 0xFFFD) ||
                       value >= 0x10000;
        if (!allowed) {
            fail("character reference &" + std::string(body) + "; is not a character XML allows");
        }
        return value;
    }

    std::string attributeValue() {
        if (atEnd() || (text_[pos_] != '"' && text_[pos_] != '\'')) {
            fail("an attribute value in quotes was expected");
        }
        char quote = text_[pos_];
        advance(1);
        std::string value;
        for (;;) {
            if (atEnd()) {
                fail("unterminated attribute value");
            }
            char c = text_[pos_];
            if (c == quote) {
                advance(1);
                return value;
            }
            if (c == '<') {
                fail("'<' inside an attribute value");
            }
            if (c == '\n' || c == '\r' || c == '\t') {
                // dvdauthor's parser would read a space here, so the name would not be the one
                // written.
                fail("a line break or tab inside an attribute value");
            }
            if (c == '&') {
                appendUtf8(value, reference());
            } else {
                value.push_back(c);
                advance(1);
            }
        }
    }

    void declaration() {
        advance(5);
        if (atEnd() || !isSpace(text_[pos_])) {
            fail("malformed XML declaration");
        }
        for (;;) {
            skipSpace();
            if (startsWith("?>")) {
                advance(2);
                return;
            }
            std::string key = name();
            skipSpace();
            if (atEnd() || text_[pos_] != '=') {
                fail("malformed XML declaration");
            }
            advance(1);
            skipSpace();
            std::string value = attributeValue();
            if (key == "encoding") {
                std::string lower;
                for (char c : value) {
                    lower.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
                }
                if (lower != "utf-8") {
                    fail("the project must be UTF-8, not " + value);
                }
            } else if (key != "version" && key != "standalone") {
                fail("malformed XML declaration");
            }
        }
    }

    std::unique_ptr<Element> element(int depth) {
        // The project nests six deep; a bound keeps a hostile file from exhausting the stack.
        if (depth > 32) {
            fail("elements nest too deeply");
        }
        auto node = std::make_unique<Element>();
        node->line = line_;
        advance(1);  // '<'
        node->name = name();
        for (;;) {
            bool spaced = skipSpace();
            if (startsWith("/>")) {
                advance(2);
                return node;
            }
            if (startsWith(">")) {
                advance(1);
                break;
            }
            if (!spaced) {
                fail("malformed tag <" + node->name + ">");
            }
            std::string key = name();
            skipSpace();
            if (atEnd() || text_[pos_] != '=') {
                fail("attribute " + key + " of <" + node->name + "> has no value");
            }
            advance(1);
            skipSpace();
            std::string value = attributeValue();
            if (!node->attributes.emplace(key, std::move(value)).second) {
                fail("attribute " + key + " appears twice in <" + node->name + ">");
            }
        }
        for (;;) {
            skipMisc();
            if (atEnd()) {
                fail("<" + node->name + "> is not closed");
            }
            if (text_[pos_] != '<') {
                fail("unexpected text inside <" + node->name + ">");
            }
            if (startsWith("</")) {
                advance(2);
                std::string closing = name();
                skipSpace();
                if (closing != node->name || atEnd() || text_[pos_] != '>') {
                    fail("</" + closing + "> does not close <" + node->name + ">");
                }
                advance(1);
                return node;
            }
            node->children.push_back(element(depth + 1));
        }
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    int line_ = 1;
};

// Which element may appear inside which, and the one attribute each may carry.
struct Rule {
    std::string_view parent;
    std::string_view attribute;
};
const std::map<std::string_view, Rule>& rules() {
    static const std::map<std::string_view, Rule> table = {
        {"dvdauthor", {"", "dest"}},  {"vmgm", {"dvdauthor", ""}}, {"titleset", {"dvdauthor", ""}},
        {"titles", {"titleset", ""}}, {"pgc", {"titles", ""}},     {"vob", {"pgc", "file"}},
    };
    return table;
}

void check(const Element& node, std::string_view parent, Project& project) {
    auto where = [&node] { return "line " + std::to_string(node.line) + ": "; };
    auto rule = rules().find(node.name);
    if (rule == rules().end() || rule->second.parent != parent) {
        throw ParseError{
            where() + "<" + node.name + "> is not expected " +
            (parent.empty() ? std::string("as the root") : "inside <" + std::string(parent) + ">")};
    }
    for (const auto& [key, value] : node.attributes) {
        if (key != rule->second.attribute) {
            throw ParseError{where() + "attribute " + key + " of <" + node.name +
                             "> is not expected"};
        }
    }
    if (!rule->second.attribute.empty()) {
        auto value = node.attributes.find(std::string(rule->second.attribute));
        if (value == node.attributes.end() || value->second.empty()) {
            throw ParseError{where() + "<" + node.name + "> needs a " +
                             std::string(rule->second.attribute) + " attribute"};
        }
        if (!decodeUtf8(value->second)) {
            throw ParseError{where() + "the " + std::string(rule->second.attribute) +
                             " attribute is not valid UTF-8"};
        }
        if (node.name == "vob") {
            project.videoFiles.push_back(value->second);
        } else {
            project.dest = value->second;
        }
    }
    for (const auto& child : node.children) {
        check(*child, node.name, project);
    }
}

}  // namespace

std::optional<Project> readProject(std::string_view text, std::string& error) {
    try {
        if (!decodeUtf8(text)) {
            throw ParseError{"the project is not valid UTF-8"};
        }
        if (text.find('\0') != std::string_view::npos) {
            throw ParseError{"the project contains a NUL byte"};
        }
        Reader reader(text);
        auto root = reader.document();
        Project project;
        check(*root, "", project);
        if (project.videoFiles.empty()) {
            throw ParseError{"the project lists no video file"};
        }
        return project;
    } catch (const ParseError& failure) {
        error = failure.message;
        return std::nullopt;
    }
}

}  // namespace kilnware::standins
