#include "Manual.h"

#include <algorithm>
#include <cctype>
#include <regex>
#include <sstream>
#include <vector>

namespace kilnware::cli {
namespace {

// One option or positional argument, as the page and the completions need it.
struct Argument {
    enum class Kind { Text, File, Directory, Path };

    std::vector<std::string> names;  // "-y", "--yes"; empty for a positional
    std::string positional;          // the positional's name
    std::string description;
    std::string metavar;  // what --help shows as its type: TEXT, UINT, FILE...
    std::vector<std::string> choices;
    Kind kind = Kind::Text;
    bool takesValue = false;
    bool repeats = false;

    std::string key() const {
        return (names.empty() ? positional : names.back()) + "\n" + description;
    }
};

struct Command {
    std::string name;
    std::string description;
    std::vector<Argument> options;
    std::vector<Argument> positionals;
};

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream stream(text);
    for (std::string part; std::getline(stream, part, separator);) {
        parts.push_back(part);
    }
    return parts;
}

Argument describe(const CLI::Option& option) {
    Argument argument;
    for (const auto& name : option.get_snames()) {
        argument.names.push_back("-" + name);
    }
    for (const auto& name : option.get_lnames()) {
        argument.names.push_back("--" + name);
    }
    if (argument.names.empty()) {
        argument.positional = option.get_name(true, false);
    }
    argument.description = option.get_description();
    // As --help tells them: a flag has no type size, a list has no upper bound.
    argument.takesValue = option.get_type_size() != 0 && !option.get_type_name().empty();
    argument.repeats = option.get_expected_max() == CLI::detail::expected_max_vector_size;
    // The type name is the value's type followed by each validator's description: "TEXT:FILE",
    // "TEXT:{cd-r,cd-rw}".
    auto parts = split(option.get_type_name(), ':');
    argument.metavar = parts.empty() ? "VALUE" : parts.front();
    for (std::size_t i = 1; i < parts.size(); ++i) {
        const std::string& part = parts[i];
        if (part.size() > 2 && part.front() == '{' && part.back() == '}') {
            argument.choices = split(part.substr(1, part.size() - 2), ',');
        } else if (part == "FILE") {
            argument.kind = Argument::Kind::File;
            argument.metavar = part;
        } else if (part == "DIR") {
            argument.kind = Argument::Kind::Directory;
            argument.metavar = part;
        } else if (part.rfind("PATH", 0) == 0) {
            argument.kind = Argument::Kind::Path;
            argument.metavar = "PATH";
        }
    }
    return argument;
}

// The visible options and positionals of one (sub)command; hidden ones have no group.
Command describe(const CLI::App& app) {
    Command command{app.get_name(), app.get_description(), {}, {}};
    for (const CLI::Option* option : app.get_options()) {
        if (option->get_group().empty()) {
            continue;
        }
        Argument argument = describe(*option);
        (argument.names.empty() ? command.positionals : command.options)
            .push_back(std::move(argument));
    }
    return command;
}

std::vector<Command> subcommands(const CLI::App& app) {
    std::vector<Command> commands;
    for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
        commands.push_back(describe(*sub));
    }
    return commands;
}

bool isCommon(const std::vector<Argument>& shared, const Argument& argument) {
    return std::any_of(shared.begin(), shared.end(),
                       [&](const Argument& a) { return a.key() == argument.key(); });
}

// Options that every command takes alike are told once; an option whose name every command has
// but whose text differs in one is told with that one.
std::vector<Argument> common(const std::vector<Command>& commands) {
    std::vector<Argument> shared;
    if (commands.empty()) {
        return shared;
    }
    std::vector<Argument> candidates;
    for (const auto& command : commands) {
        candidates.insert(candidates.end(), command.options.begin(), command.options.end());
    }
    for (const auto& candidate : candidates) {
        if (isCommon(shared, candidate)) {
            continue;
        }
        std::size_t alike = 0;
        bool everywhere = true;
        for (const auto& command : commands) {
            auto named =
                std::find_if(command.options.begin(), command.options.end(),
                             [&](const Argument& a) { return a.names == candidate.names; });
            everywhere = everywhere && named != command.options.end();
            alike += named != command.options.end() && named->key() == candidate.key() ? 1 : 0;
        }
        if (everywhere && alike >= 2) {
            shared.push_back(candidate);
        }
    }
    return shared;
}

// roff: a backslash is printed with \e; a dash in a name must be \- to stay a dash.
std::string roff(const std::string& text, bool name = false) {
    std::string escaped =
        !text.empty() && (text.front() == '.' || text.front() == '\'') ? "\\&" : "";
    for (char c : text) {
        if (c == '\\') {
            escaped += "\\e";
        } else if (c == '-' && name) {
            escaped += "\\-";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::string uppercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

// A help text as a sentence of the page: capitalised, with a full stop.
std::string sentence(std::string text) {
    if (!text.empty()) {
        text.front() = static_cast<char>(std::toupper(static_cast<unsigned char>(text.front())));
    }
    return text.empty() || std::string(".!?").find(text.back()) != std::string::npos
               ? roff(text)
               : roff(text) + ".";
}

std::string value(const Argument& argument) {
    if (!argument.choices.empty()) {
        std::string alternatives;
        for (const auto& choice : argument.choices) {
            alternatives += (alternatives.empty() ? "\\fB" : "|\\fB") + roff(choice, true) + "\\fR";
        }
        return alternatives;
    }
    return "\\fI" + argument.metavar + "\\fR";
}

void optionEntry(std::ostream& out, const Argument& argument) {
    out << ".TP\n";
    for (std::size_t i = 0; i < argument.names.size(); ++i) {
        out << (i ? ", " : "") << "\\fB" << roff(argument.names[i], true) << "\\fR";
    }
    if (argument.takesValue) {
        out << " " << value(argument);
    }
    out << "\n" << sentence(argument.description);
    if (argument.repeats) {
        out << " May be given more than once.";
    }
    out << "\n";
}

void exitStatus(std::ostream& out, const std::string& footer) {
    static const std::string kLead = "Exit status:";
    auto start = footer.find(kLead);
    if (start == std::string::npos) {
        return;
    }
    out << ".SH EXIT STATUS\n";
    // One status a line: its number, then what it means.
    std::istringstream list(footer.substr(start + kLead.size()));
    static const std::regex kItem(R"(\s*(\d+)\s+(.+?)\s*)");
    for (std::string line; std::getline(list, line);) {
        std::smatch item;
        if (std::regex_match(line, item, kItem)) {
            out << ".TP\n.B " << item[1] << "\n" << sentence(item[2]) << "\n";
        }
    }
}

}  // namespace

std::string manualPage(const CLI::App& app, const std::string& version) {
    std::ostringstream out;
    const std::string name = app.get_name();
    auto commands = subcommands(app);
    auto shared = common(commands);
    const std::string description = app.get_description();
    std::string summary = description.substr(0, description.find(". "));
    if (!summary.empty()) {
        summary.front() =
            static_cast<char>(std::tolower(static_cast<unsigned char>(summary.front())));
    }

    out << ".TH " << uppercase(name) << " 1 \"\" \"" << roff(name) << " " << roff(version)
        << "\" \"User Commands\"\n";
    out << ".SH NAME\n" << roff(name, true) << " \\- " << roff(summary) << "\n";
    out << ".SH SYNOPSIS\n.nf\n";
    for (const auto& command : commands) {
        out << "\\fB" << roff(name, true) << " " << roff(command.name, true)
            << "\\fR [\\fIOPTION\\fR]...";
        for (const auto& positional : command.positionals) {
            out << " \\fI" << roff(uppercase(positional.positional), true) << "\\fR"
                << (positional.repeats ? "..." : "");
        }
        out << "\n";
    }
    out << "\\fB" << roff(name, true) << "\\fR \\fB\\-\\-help\\fR|\\fB\\-\\-version\\fR\n.fi\n";
    out << ".SH DESCRIPTION\n" << sentence(description) << "\n";

    out << ".SH COMMANDS\n";
    for (const auto& command : commands) {
        out << ".SS " << roff(command.name, true) << "\n" << sentence(command.description) << "\n";
        for (const auto& positional : command.positionals) {
            out << ".TP\n\\fI" << roff(positional.positional, true) << "\\fR ("
                << positional.metavar << (positional.repeats ? ", one or more" : "") << ")\n"
                << sentence(positional.description) << "\n";
        }
        for (const auto& option : command.options) {
            if (!isCommon(shared, option)) {
                optionEntry(out, option);
            }
        }
    }

    out << ".SH OPTIONS\nEvery command takes these options:\n";
    for (const auto& option : shared) {
        optionEntry(out, option);
    }
    auto top = describe(app);
    if (!top.options.empty()) {
        out << ".PP\nWithout a command:\n";
        for (const auto& option : top.options) {
            optionEntry(out, option);
        }
    }
    exitStatus(out, app.get_footer());
    out << ".SH SEE ALSO\n.BR dvdauthor (1),\n.BR genisoimage (1)\n";
    return out.str();
}

namespace {

std::string shellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

std::string joined(const std::vector<std::string>& words, const char* separator = " ") {
    std::string text;
    for (const auto& word : words) {
        text += (text.empty() ? "" : separator) + word;
    }
    return text;
}

// A case pattern: a|b|c.
std::string alternatives(const std::vector<std::string>& words) {
    return joined(words, "|");
}

std::vector<std::string> optionNames(const std::vector<Argument>& options) {
    std::vector<std::string> names;
    for (const auto& option : options) {
        names.insert(names.end(), option.names.begin(), option.names.end());
    }
    return names;
}

std::string bash(const CLI::App& app) {
    const std::string name = app.get_name();
    auto commands = subcommands(app);
    std::vector<std::string> commandNames;
    for (const auto& command : commands) {
        commandNames.push_back(command.name);
    }
    std::ostringstream out;
    out << "# bash completion for " << name << "(1), made from the command's own options.\n"
        << "_" << name << "() {\n"
        << "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
        << "    local command='' options='' files=none i\n"
        << "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
        << "        case ${COMP_WORDS[i]} in\n"
        << "        " << alternatives(commandNames) << ") command=${COMP_WORDS[i]}; break ;;\n"
        << "        esac\n"
        << "    done\n"
        << "    case $command in\n"
        << "    '') options="
        << shellQuoted(joined(optionNames(describe(app).options)) + " " + joined(commandNames))
        << " ;;\n";
    for (const auto& command : commands) {
        out << "    " << command.name << ")\n        case $prev in\n";
        std::vector<std::string> valueless;
        for (const auto& option : command.options) {
            if (!option.takesValue) {
                continue;
            }
            std::string patterns = alternatives(option.names);
            if (!option.choices.empty()) {
                out << "        " << patterns << ") mapfile -t COMPREPLY < <(compgen -W "
                    << shellQuoted(joined(option.choices)) << " -- \"$cur\"); return ;;\n";
            } else {
                valueless.push_back(patterns);
            }
        }
        if (!valueless.empty()) {
            // A value of its own: the shell's default (file names) completes it.
            out << "        " << alternatives(valueless) << ") return ;;\n";
        }
        out << "        esac\n        options="
            << shellQuoted(joined(optionNames(command.options)));
        std::string files = "none";
        for (const auto& positional : command.positionals) {
            files = positional.kind == Argument::Kind::Directory ? "dirs" : "all";
        }
        out << " files=" << files << " ;;\n";
    }
    out << "    esac\n"
        << "    if [[ $cur == -* || $files == none ]]; then\n"
        << "        mapfile -t COMPREPLY < <(compgen -W \"$options\" -- \"$cur\")\n"
        << "    elif [[ $files == dirs ]]; then\n"
        << "        mapfile -t COMPREPLY < <(compgen -d -- \"$cur\")\n"
        << "    fi\n"
        << "}\n"
        << "complete -o default -F _" << name << " " << name << "\n";
    return out.str();
}

// An _arguments description: brackets and backslashes are special inside it.
std::string zshText(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        if (c == '[' || c == ']' || c == '\\') {
            escaped += '\\';
        }
        escaped += c;
    }
    return escaped;
}

std::string zshAction(const Argument& argument) {
    if (!argument.choices.empty()) {
        return "(" + joined(argument.choices) + ")";
    }
    switch (argument.kind) {
        case Argument::Kind::Directory:
            return "_files -/";
        case Argument::Kind::File:
        case Argument::Kind::Path:
            return "_files";
        case Argument::Kind::Text:
            break;
    }
    return " ";
}

std::vector<std::string> zshOptions(const std::vector<Argument>& options, bool endsParsing) {
    std::vector<std::string> entries;
    for (const auto& option : options) {
        std::string exclusive = endsParsing ? "(- *)" : "";
        if (!endsParsing && option.names.size() > 1 && !option.repeats) {
            exclusive = "(" + joined(option.names) + ")";
        }
        for (const auto& n : option.names) {
            std::string entry = (option.repeats ? "*" : exclusive) + n;
            if (option.takesValue && n.rfind("--", 0) == 0) {
                entry += "=";
            }
            entry += "[" + zshText(option.description) + "]";
            if (option.takesValue) {
                entry += ":" + option.metavar + ":" + zshAction(option);
            }
            entries.push_back(shellQuoted(entry));
        }
    }
    return entries;
}

std::string zsh(const CLI::App& app) {
    const std::string name = app.get_name();
    auto commands = subcommands(app);
    std::ostringstream out;
    out << "#compdef " << name << "\n"
        << "# zsh completion for " << name << "(1), made from the command's own options.\n"
        << "_" << name << "() {\n"
        << "    local curcontext=$curcontext state line ret=1\n"
        << "    typeset -A opt_args\n"
        << "    _arguments -C \\\n";
    for (const auto& entry : zshOptions(describe(app).options, true)) {
        out << "        " << entry << " \\\n";
    }
    out << "        '1: :->command' '*:: :->argument' && ret=0\n"
        << "    case $state in\n"
        << "    command)\n"
        << "        local -a commands\n"
        << "        commands=(\n";
    for (const auto& command : commands) {
        out << "            " << shellQuoted(command.name + ":" + command.description) << "\n";
    }
    out << "        )\n"
        << "        _describe -t commands command commands && ret=0 ;;\n"
        << "    argument)\n"
        << "        curcontext=${curcontext%:*:*}:" << name << "-$line[1]:\n"
        << "        case $line[1] in\n";
    for (const auto& command : commands) {
        out << "        " << command.name << ")\n            _arguments";
        for (const auto& entry : zshOptions(command.options, false)) {
            out << " \\\n                " << entry;
        }
        for (const auto& positional : command.positionals) {
            std::string entry = (positional.repeats ? "*:" : ":") + positional.positional + ":" +
                                zshAction(positional);
            out << " \\\n                " << shellQuoted(entry);
        }
        out << " && ret=0 ;;\n";
    }
    out << "        esac ;;\n"
        << "    esac\n"
        << "    return ret\n"
        << "}\n"
        << "_" << name << " \"$@\"\n";
    return out.str();
}

}  // namespace

std::string completionScript(const CLI::App& app, const std::string& shell) {
    if (shell == "bash") {
        return bash(app);
    }
    if (shell == "zsh") {
        return zsh(app);
    }
    return {};
}

}  // namespace kilnware::cli
