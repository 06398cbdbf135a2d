#include "cli/docs.hpp"

#include <cstring>
#include <set>
#include <string>

#include "cli/cli_app.hpp"
#include "cli/command_table.hpp"

namespace qm5::cli {

namespace {

// Text as roff reads it: a backslash is "\e", a minus sign "\-", and a line
// that starts with a dot or an apostrophe, which roff takes for a request,
// starts with "\&".
std::string roff(const char* text) {
    std::string out;
    bool lineStart = true;
    for (const char* p = text; *p != '\0'; ++p) {
        if (lineStart && (*p == '.' || *p == '\'')) out += "\\&";
        if (*p == '\\') {
            out += "\\e";
        } else if (*p == '-') {
            out += "\\-";
        } else {
            out += *p;
        }
        lineStart = *p == '\n';
    }
    return out;
}

void writeOptions(std::FILE* out, std::span<const CommandOption> options) {
    for (const CommandOption& option : options) {
        std::string head;
        if (option.shortName != '\0') head += std::string("\\fB\\-") + option.shortName + "\\fR, ";
        head += std::string("\\fB\\-\\-") + roff(option.longName) + "\\fR";
        if (option.valueName != nullptr) head += std::string(" \\fI") + roff(option.valueName) + "\\fR";
        std::fprintf(out, ".TP\n%s\n%s\n", head.c_str(), roff(option.help).c_str());
    }
}

// "--output --output-dir -o -h", the words bash completes for options.
std::string optionWords(std::span<const CommandOption> options) {
    std::string words;
    for (const CommandOption& option : options) {
        if (!words.empty()) words += ' ';
        words += std::string("--") + option.longName;
        if (option.shortName != '\0') words += std::string(" -") + option.shortName;
    }
    return words;
}

}  // namespace

void writeManPage(std::FILE* out) {
    std::fprintf(out, ".TH QM5 1 \"\" \"qm5 %s\" \"User Commands\"\n", kVersion);
    std::fputs(".SH NAME\nqm5 \\- make Qm5 textures from pictures, and decode and check them\n.SH SYNOPSIS\n", out);
    for (const Command& command : commands()) {
        std::fprintf(out, ".B qm5 %s\n[\\fIOPTIONS\\fR] \\fI%s\\fR\n.br\n", command.name, roff(command.operands).c_str());
    }
    std::fprintf(out, ".B qm5\n\\fB\\-\\-help\\fR | \\fB\\-\\-version\\fR\n.SH DESCRIPTION\n%s\n", roff(kPurpose).c_str());
    std::fputs(".SH OPTIONS\n", out);
    writeOptions(out, mainOptions());
    std::fputs(".SH COMMANDS\n", out);
    for (const Command& command : commands()) {
        std::fprintf(out, ".SS \"qm5 %s %s\"\n%s.PP\nOptions:\n", command.name, roff(command.operands).c_str(),
                     roff(command.description).c_str());
        writeOptions(out, command.options);
    }
    std::fprintf(out, ".SH LIST FILES\n%s.PP\n.nf\n3\nsky0.bmp 0\nsky1.png 0\nfar/sky 2.tga 0\n.fi\n", roff(kListFiles).c_str());
    std::fputs(".SH EXAMPLES\n", out);
    for (const auto& [comment, command] : kExamples) {
        if (*comment != '\0') std::fprintf(out, ".PP\n%s\n", roff(comment).c_str());
        std::fprintf(out, ".nf\n.RS\n\\fB%s\\fR\n.RE\n.fi\n", roff(command).c_str());
    }
    std::fprintf(out, ".SH EXIT STATUS\n%s\n", roff(kExitStatus).c_str());
}

namespace {

// The file names a command's operands complete to, besides folders: the
// extensions of pictures and list files, of textures, or both (verify).
const char* operandExtensions(const char* command) {
    const std::string name = command;
    if (name == "encode") return "bmp pcx png tga lst BMP PCX PNG TGA LST";
    if (name == "verify") return "bmp pcx png tga lst qm5 BMP PCX PNG TGA LST QM5";
    return "qm5 QM5";
}

// "-o|--output", the words of the options that take a value named name.
std::string valueOptions(const char* name) {
    std::set<std::string> words;
    const auto add = [&](std::span<const CommandOption> options) {
        for (const CommandOption& option : options) {
            if (option.valueName == nullptr || std::strcmp(option.valueName, name) != 0) continue;
            words.insert(std::string("--") + option.longName);
            if (option.shortName != '\0') words.insert(std::string("-") + option.shortName);
        }
    };
    for (const Command& command : commands()) add(command.options);
    std::string out;
    for (const std::string& word : words) out += (out.empty() ? "" : "|") + word;
    return out;
}

}  // namespace

void writeBashCompletion(std::FILE* out) {
    std::string names;
    for (const Command& command : commands()) names += std::string(names.empty() ? "" : " ") + command.name;
    std::fprintf(out,
                 "# bash completion for qm5\n"
                 "_qm5() {\n"
                 "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} words extensions e\n"
                 "    if ((COMP_CWORD == 1)); then\n"
                 "        COMPREPLY=($(compgen -W '%s %s' -- \"$cur\"))\n"
                 "        return\n"
                 "    fi\n"
                 "    case ${COMP_WORDS[1]} in\n",
                 names.c_str(), optionWords(mainOptions()).c_str());
    for (const Command& command : commands()) {
        std::fprintf(out, "        %s) words='%s' extensions='%s' ;;\n", command.name,
                     optionWords(command.options).c_str(), operandExtensions(command.name));
    }
    std::fputs("        *) return ;;\n"
               "    esac\n", out);
    // The value after an option: a file, a folder, a format; a number has none to offer.
    std::fprintf(out,
                 "    case $prev in\n"
                 "        %s) COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n"
                 "        %s) COMPREPLY=($(compgen -d -- \"$cur\")); return ;;\n"
                 "        %s) COMPREPLY=($(compgen -W 'bmp png' -- \"$cur\")); return ;;\n",
                 valueOptions("FILE").c_str(), valueOptions("DIR").c_str(), valueOptions("FORMAT").c_str());
    std::set<std::string> others;
    for (const Command& command : commands()) {
        for (const CommandOption& option : command.options) {
            const std::string value = option.valueName != nullptr ? option.valueName : "";
            if (!value.empty() && value != "FILE" && value != "DIR" && value != "FORMAT") others.insert(value);
        }
    }
    for (const std::string& value : others) std::fprintf(out, "        %s) return ;;\n", valueOptions(value.c_str()).c_str());
    std::fputs("    esac\n"
               "    if [[ $cur == -* ]]; then\n"
               "        COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
               "        return\n"
               "    fi\n"
               "    COMPREPLY=($(compgen -d -- \"$cur\"))\n"
               "    for e in $extensions; do\n"
               "        COMPREPLY+=($(compgen -f -X \"!*.$e\" -- \"$cur\"))\n"
               "    done\n"
               "}\n"
               "complete -o filenames -F _qm5 qm5\n", out);
}

}  // namespace qm5::cli
