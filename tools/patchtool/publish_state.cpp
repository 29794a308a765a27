#include "publish_state.h"

#include <algorithm>
#include <sstream>
#include <system_error>
#include <vector>

#include "platform/platform.h"
#include "platform/replace_file.h"
#include "utf8_path.h"
#include "whole_file.h"

namespace fs = std::filesystem;

namespace {

// The state of a few hundred releases is a few tens of kilobytes.
constexpr std::size_t kStateFileCap = 16 * 1024 * 1024;
constexpr const char* kHeading =
    "# patchtool publish: what each package in the site was built from and to.\n"
    "# FROM-TREE-SHA256 TO-TREE-SHA256 PACKAGE-SHA256 PACKAGE-PATH\n";

std::string KeyOf(const fs::path& package) {
    return GenericUtf8Of(fs::absolute(package).lexically_normal());
}

// One line: three digests, then the path to the end of the line.
std::optional<std::pair<std::string, PackageOrigin>> ParseLine(const std::string& line) {
    std::istringstream words(line);
    std::string from, to, package;
    words >> from >> to >> package;
    const auto fromDigest = ParseSha256Hex(from);
    const auto toDigest = ParseSha256Hex(to);
    const auto packageDigest = ParseSha256Hex(package);
    std::string path;
    std::getline(words >> std::ws, path);
    if (!fromDigest || !toDigest || !packageDigest || path.empty())
        return std::nullopt;
    return std::pair{path, PackageOrigin{*fromDigest, *toDigest, *packageDigest}};
}

// Adds the line of one node to the tree's listing; false when the node
// cannot be read.
bool ListNode(const fs::directory_entry& node, const fs::path& root, std::string* listing,
              std::string* error) {
    const std::string name = GenericUtf8Of(node.path().lexically_relative(root));
    std::error_code failure;
    const fs::file_status status = node.symlink_status(failure);
    if (fs::is_symlink(status)) {
        *listing += "link " + Utf8Of(fs::read_symlink(node.path(), failure)) + " " + name + "\n";
    } else if (fs::is_directory(status)) {
        *listing += "folder " + name + "\n";
    } else if (fs::is_regular_file(status)) {
        // A file the updater's reader cannot open (a name it reads otherwise,
        // such as one holding "\") stops the build that follows; here it is
        // told apart by its size and time.
        const std::optional<Sha256Digest> digest = DigestOfFile(Utf8Of(node.path()));
        const std::string content =
            digest ? Sha256Hex(*digest)
                   : "unread-" +
                         std::to_string(node.last_write_time(failure).time_since_epoch().count());
        *listing +=
            "file " + std::to_string(node.file_size(failure)) + " " + content + " " + name + "\n";
    } else {
        *listing += "other " + name + "\n";
    }
    if (failure) {
        *error = "cannot read '" + Utf8Of(node.path()) + "'";
        return false;
    }
    return true;
}

}  // namespace

PublishState PublishState::Read(const fs::path& file, int* dropped) {
    PublishState state;
    *dropped = 0;
    const WholeFile text = ReadWholeFile(file, kStateFileCap);
    if (!text.content)
        return state;
    std::istringstream lines(*text.content);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line.front() == '#')
            continue;
        if (auto parsed = ParseLine(line))
            state.packages_[parsed->first] = parsed->second;
        else
            ++*dropped;
    }
    return state;
}

std::optional<PackageOrigin> PublishState::Find(const fs::path& package) const {
    const auto found = packages_.find(KeyOf(package));
    return found == packages_.end() ? std::nullopt : std::optional(found->second);
}

void PublishState::Record(const fs::path& package, const PackageOrigin& origin) {
    packages_[KeyOf(package)] = origin;
}

bool PublishState::Write(const fs::path& file) const {
    std::string text = kHeading;
    for (const auto& [path, origin] : packages_) {
        // A path with a line break could not be read back; its package is
        // then simply rebuilt on the next run.
        if (path.find_first_of("\r\n") != std::string::npos)
            continue;
        text += Sha256Hex(origin.fromTree) + " " + Sha256Hex(origin.toTree) + " " +
                Sha256Hex(origin.package) + " " + path + "\n";
    }
    return platform::ReplaceFile(Utf8Of(file), [&text](std::FILE* out) {
        return platform::WriteAllBytes(out, text.data(), text.size());
    });
}

std::optional<Sha256Digest> TreeDigest(const fs::path& root, std::string* error) {
    std::error_code failure;
    std::vector<fs::directory_entry> nodes;
    for (fs::recursive_directory_iterator it(root, failure), end; !failure && it != end;
         it.increment(failure)) {
        nodes.push_back(*it);
    }
    if (failure) {
        *error = "cannot read the release tree '" + Utf8Of(root) + "'";
        return std::nullopt;
    }
    std::sort(nodes.begin(), nodes.end(),
              [](const auto& a, const auto& b) { return a.path() < b.path(); });
    std::string listing;
    for (const fs::directory_entry& node : nodes) {
        if (!ListNode(node, root, &listing, error))
            return std::nullopt;
    }
    return Sha256Of(listing);
}
