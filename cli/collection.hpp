#pragma once
// The files a qm5 command works on: its operands, and with -r every file of
// the right kind below a folder operand, in name order, with the path below
// that folder so that outputs keep the folder tree. Symbolic links to
// folders are entered only when asked (--follow-links), and no folder is
// entered twice, so a loop of links cannot hang a run. Names that would
// give two inputs one output are found here, before anything is written.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "cli/context.hpp"
#include "cli/options.hpp"

namespace qm5::cli {

// What a file holds, told by its first bytes; unreadable, with reason
// ("cannot be opened (Permission denied)"), when it cannot be opened or read.
enum class FileKind { picture, texture, other, unreadable };
FileKind fileKindOf(const char* path, std::string* reason = nullptr);

struct FoundFile {
    std::string path;      // as opened: "art/a/x.png", or an operand as given
    std::string relative;  // below its folder operand ("a/x.png"); a file operand's last component
    // Another input has the same output (clash): the place of the first
    // one in the list, else kNone.
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::size_t sameOutputAs = kNone;
    bool clashes() const { return sameOutputAs != kNone; }
};

struct CollectSettings {
    bool recursive = false;     // -r: folders among the operands are walked
    bool followLinks = false;   // --follow-links: links to folders are walked too
    FileKind wanted = FileKind::picture;  // what is kept below a folder
    const char* command = "";   // for the note about a folder without -r
};

// The settings of a command's -r and --follow-links.
CollectSettings collectSettings(const ParsedOptions& options, FileKind wanted, const char* command);

// The operands' files: a file operand as it is (whatever it holds, "-"
// included), and with recursive the files of the wanted kind below each
// folder operand. Every other file below a folder gets a note, but for
// pictures among textures and textures among pictures, which are this
// tool's own outputs (decoded or encoded beside their inputs). False
// when an operand or folder could not be read or a folder was given
// without -r (after the message); the files found are kept all the same.
bool collectFiles(const Context& context, std::span<const char* const> operands, const CollectSettings& settings,
                  std::vector<FoundFile>& out);

// Name with the extension of its last component replaced: beside the file
// (folder null), or under folder with the file's relative path.
std::string outputPath(const FoundFile& file, const char* folder, const char* extension);

// Marks each file whose output (outputs[i], for files[i]) is that of an
// earlier one: the same name once made absolute and normal. The number marked.
std::size_t markSameOutputs(std::vector<FoundFile>& files, const std::vector<std::string>& outputs);

// Creates folder and its missing parents (as mkdir -p); false after the
// message "qm5: <folder>: cannot be created (<reason>)".
bool makeFolder(const Context& context, const std::string& folder);
// The folder part of name ("out/a" of "out/a/x.qm5"), empty for none.
std::string folderOf(const std::string& name);

// The file was modified no earlier than the other (both exist), as make
// judges a target: file systems and Windows keep times coarser than the
// time between writing a picture and converting it.
bool isUpToDateWith(const char* file, const char* other);

}  // namespace qm5::cli
