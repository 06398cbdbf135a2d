#include "cli/collection.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>
#include <utility>

#include "cli/messages.hpp"
#include "cli/streams.hpp"
#include "core/file_identity.hpp"
#include "core/file_names.hpp"
#include "formats/picture_formats.hpp"

namespace qm5::cli {

namespace fs = std::filesystem;

namespace {

std::string joined(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    const char last = folder.back();
    return last == '/' || last == '\\' ? folder + name : folder + "/" + name;
}

const char* kindName(FileKind kind) { return kind == FileKind::texture ? "texture" : "picture"; }

// One walk of the folder operands: the folders entered so far, by identity.
class Walk {
public:
    Walk(const Context& context, const CollectSettings& settings, std::vector<FoundFile>& out)
        : context_(context), settings_(settings), out_(out) {}

    // The files below folder, their relative names starting with prefix.
    // False when something could not be read.
    bool folder(const std::string& path, const std::string& prefix) {
        const FileIdentity identity = fileIdentity(path.c_str());
        if (identity.known && !entered_.insert({identity.device, identity.index}).second) {
            fileError(context_, path.c_str(), "is a folder walked already (through a link); not walked again");
            return true;
        }
        std::error_code ec;
        std::vector<std::string> names;
        for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
            names.push_back(it->path().filename().string());
        }
        if (ec) {
            fileError(context_, path.c_str(), "cannot be read%s", systemReason(ec).c_str());
            return false;
        }
        // Byte order: the same run on every machine.
        std::sort(names.begin(), names.end());
        bool ok = true;
        for (const std::string& name : names) ok = entry(joined(path, name), prefix + name) && ok;
        return ok;
    }

private:
    bool entry(const std::string& path, const std::string& relative) {
        std::error_code ec;
        const fs::file_status own = fs::symlink_status(path, ec);
        const bool link = fs::is_symlink(own);
        const fs::file_status target = link ? fs::status(path, ec) : own;
        if (fs::is_directory(target)) {
            if (!link || settings_.followLinks) return folder(path, relative + "/");
            fileError(context_, path.c_str(), "is a link to a folder; not followed (--follow-links follows it)");
            return true;
        }
        if (!fs::is_regular_file(target)) {
            // A pipe or device could block the run, a dangling link holds nothing.
            fileError(context_, path.c_str(), "%s; skipped",
                      link && !fs::exists(target) ? "is a link to nothing" : "is not a regular file");
            return true;
        }
        std::string reason;
        const FileKind kind = fileKindOf(path.c_str(), &reason);
        if (kind == FileKind::unreadable) {
            fileError(context_, path.c_str(), "%s", reason.c_str());
            return false;
        }
        if (kind == settings_.wanted) {
            out_.push_back({path, relative});
        } else if (kind == FileKind::other) {
            fileError(context_, path.c_str(), "is not a %s qm5 reads; skipped", kindName(settings_.wanted));
        }
        return true;
    }

    const Context& context_;
    const CollectSettings& settings_;
    std::vector<FoundFile>& out_;
    std::set<std::pair<std::uint64_t, std::uint64_t>> entered_;
};

}  // namespace

FileKind fileKindOf(const char* path, std::string* reason) {
    std::uint8_t head[kPictureHeadBytes] = {};
    errno = 0;
    std::FILE* file = std::fopen(path, "rb");
    const bool opened = file != nullptr;
    std::size_t got = 0;
    bool failed = !opened;
    if (opened) {
        got = std::fread(head, 1, sizeof head, file);
        failed = std::ferror(file) != 0;
        std::fclose(file);
    }
    if (failed) {
        const int why = errno != 0 ? errno : EIO;
        if (reason != nullptr) *reason = unreadable(opened, std::error_code(why, std::generic_category()));
        return FileKind::unreadable;
    }
    if (got >= 3 && head[0] == 'q' && head[1] == 'm' && head[2] == '5') return FileKind::texture;
    const FormatsPictureReader reader(nullptr);
    const PictureFormat format = reader.classify({head, got});
    return format == FormatUnknown || format == FormatGif ? FileKind::other : FileKind::picture;
}

CollectSettings collectSettings(const ParsedOptions& options, FileKind wanted, const char* command) {
    CollectSettings settings;
    settings.recursive = options.has(Opt::recursive);
    settings.followLinks = options.has(Opt::followLinks);
    settings.wanted = wanted;
    settings.command = command;
    return settings;
}

bool collectFiles(const Context& context, std::span<const char* const> operands, const CollectSettings& settings,
                  std::vector<FoundFile>& out) {
    bool ok = true;
    Walk walk(context, settings, out);
    for (const char* operand : operands) {
        std::error_code ec;
        if (isStandardStream(operand) || !fs::is_directory(fs::status(operand, ec))) {
            const std::string_view name(operand);
            out.push_back({operand, std::string(name.substr(lastComponentStart(name)))});
            continue;
        }
        if (!settings.recursive) {
            fileError(context, operand, "is a folder; give -r to %s the %ss below it", settings.command,
                      kindName(settings.wanted));
            ok = false;
            continue;
        }
        ok = walk.folder(operand, "") && ok;
    }
    return ok;
}

std::string outputPath(const FoundFile& file, const char* folder, const char* extension) {
    const std::string& name = folder == nullptr ? file.path : file.relative;
    const std::string stem = name.substr(0, stemLength(name)) + extension;
    return folder == nullptr ? stem : joined(folder, stem);
}

std::size_t markSameOutputs(std::vector<FoundFile>& files, const std::vector<std::string>& outputs) {
    std::map<std::string, std::size_t> first;
    std::size_t marked = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        std::error_code ec;
        const fs::path absolute = fs::absolute(outputs[i], ec);
        const std::string key = (ec ? fs::path(outputs[i]) : absolute).lexically_normal().string();
        const auto [at, fresh] = first.emplace(key, i);
        if (fresh) continue;
        files[i].sameOutputAs = at->second;
        ++marked;
    }
    return marked;
}

bool makeFolder(const Context& context, const std::string& folder) {
    std::error_code ec;
    if (folder.empty() || fs::is_directory(fs::status(folder, ec))) return true;
    fs::create_directories(folder, ec);
    if (!ec && fs::is_directory(fs::status(folder, ec))) return true;
    if (!ec) ec = std::make_error_code(std::errc::not_a_directory);
    fileError(context, folder.c_str(), "cannot be created%s", systemReason(ec).c_str());
    return false;
}

std::string folderOf(const std::string& name) {
    const std::size_t start = lastComponentStart(name);
    return start == 0 ? std::string() : name.substr(0, start - 1);
}

bool isUpToDateWith(const char* file, const char* other) {
    std::error_code ec;
    const auto mine = fs::last_write_time(file, ec);
    if (ec) return false;
    const auto theirs = fs::last_write_time(other, ec);
    return !ec && mine >= theirs;
}

}  // namespace qm5::cli
