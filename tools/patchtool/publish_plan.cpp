#include "publish_plan.h"

#include <algorithm>
#include <map>
#include <optional>
#include <system_error>

#include "arguments.h"
#include "command_support.h"
#include "engine/publisher_core.h"
#include "package_builder.h"
#include "publish_state.h"
#include "transfer/host_address.h"
#include "tree_scan.h"
#include "utf8_path.h"
#include "whole_file.h"

namespace fs = std::filesystem;

namespace {

// A version file is a few lines; anything larger is not one.
constexpr std::size_t kVersionFileCap = 64 * 1024;

// The version a tree's version file gives, read as the updater reads it.
std::optional<PackedVersion> VersionGivenBy(const fs::path& tree) {
    const WholeFile text =
        ReadWholeFile(tree / PathFromUtf8(kVersionFileEntryName), kVersionFileCap);
    return text.content ? VersionInText(*text.content) : std::nullopt;
}

// nginx takes a quoted string with "\" escaping; a site folder or a URL path
// may hold blanks or ";" that would otherwise end the directive.
std::string NginxQuoted(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

std::string ListenLines(const SiteAddress& site) {
    const std::string ssl = site.url.secure ? " ssl" : "";
    // localhost is served on the loopback address only, as the name promises.
    if (site.url.host == "localhost")
        return "    listen 127.0.0.1:" + site.url.portText + ssl + ";\n";
    // An address, "[::1]" included, is what nginx listens on as written.
    if (ParseHost(site.url.host).kind == Host::Kind::kAddress)
        return "    listen " + site.url.host + ":" + site.url.portText + ssl + ";\n";
    return "    listen " + site.url.portText + ssl + ";\n    server_name " + site.url.host + ";\n";
}

}  // namespace

bool ScanReleases(const fs::path& dir, ReleaseScan* scan, std::string* error) {
    std::error_code failure;
    fs::directory_iterator items(dir, failure);
    if (failure) {
        *error = "cannot read the releases folder '" + Utf8Of(dir) + "'";
        return false;
    }
    std::map<PackedVersion, fs::path> byVersion;
    for (const fs::directory_entry& item : items) {
        const std::string name = Utf8Of(item.path().filename());
        if (name == kPublishStateName)
            continue;
        const std::optional<PackedVersion> version = ParseVersionText(name);
        if (!version || !item.is_directory(failure)) {
            scan->ignored.push_back("ignored in the releases folder: '" + name +
                                    "' (not a folder named X.Y.Z)");
            continue;
        }
        if (!byVersion.emplace(*version, item.path()).second) {
            *error = "two release folders name version " + FormatVersion(*version) + ": '" +
                     Utf8Of(byVersion[*version].filename()) + "' and '" + name + "'";
            return false;
        }
    }
    std::sort(scan->ignored.begin(), scan->ignored.end());
    for (const auto& [version, tree] : byVersion)
        scan->releases.push_back({version, tree});
    if (scan->releases.size() < 2) {
        *error = "the releases folder '" + Utf8Of(dir) +
                 "' holds fewer than two releases (folders named X.Y.Z)";
        return false;
    }
    return true;
}

bool CheckReleaseVersionFiles(const std::vector<Release>& releases, std::string* error) {
    for (const Release& release : releases) {
        if (VersionFileIsNotRegular(release.tree)) {
            *error = "release " + Utf8Of(release.tree) + ": its " +
                     std::string(kVersionFileEntryName) +
                     " is not a regular file (a link or a folder), which no package carries";
            return false;
        }
        const std::optional<PackedVersion> given = VersionGivenBy(release.tree);
        if (given == release.version)
            continue;
        *error = "release " + Utf8Of(release.tree) + ": its " + std::string(kVersionFileEntryName) +
                 " gives " +
                 (given ? "version " + FormatVersion(*given) : std::string("no version")) +
                 ", not the folder's " + FormatVersion(release.version);
        return false;
    }
    return true;
}

bool ParseSiteAddress(const std::string& text, SiteAddress* site, std::string* error) {
    if (text.rfind("http://", 0) != 0 && text.rfind("https://", 0) != 0) {
        *error = "the base URL '" + text + "' does not start with http:// or https://";
        return false;
    }
    if (text.find_first_of(" \t\r\n\v\f?#") != std::string::npos) {
        *error = "the base URL '" + text + "' holds white space, a query or a fragment";
        return false;
    }
    std::string base = text;
    while (base.back() == '/')
        base.pop_back();
    const std::optional<Url> url = ParseUrl(base + "/");
    if (!url) {
        *error = "the base URL '" + text + "' is not of the form http[s]://host[:port][/path]";
        return false;
    }
    site->base = base;
    site->url = *url;
    return true;
}

std::string SiteFileUrl(const SiteAddress& site, const std::string& fileName) {
    return site.base + "/" + fileName;
}

std::string PackageNameFor(PackedVersion version) {
    return "update-" + FormatVersion(version) + ".pkg";
}

std::string NginxServerBlock(const SiteAddress& site, const fs::path& root) {
    std::string block = "# Serves " + GenericUtf8Of(root) + " at " + site.base +
                        "/ (put it in nginx's http block).\n"
                        "server {\n" +
                        ListenLines(site);
    if (site.url.secure) {
        block +=
            "    # Fill in the server's certificate chain and its private key:\n"
            "    ssl_certificate /path/to/certificate-chain.pem;\n"
            "    ssl_certificate_key /path/to/private-key.pem;\n";
    }
    // The files are served as they are; the updater cares for no media type.
    std::string location = "    location " + NginxQuoted(site.url.path) + " {\n";
    if (site.url.path == "/") {
        location += "        root " + NginxQuoted(GenericUtf8Of(root)) + ";\n";
    } else {
        location += "        alias " + NginxQuoted(GenericUtf8Of(root / "")) + ";\n";
    }
    location +=
        "        types { }\n"
        "        default_type application/octet-stream;\n"
        "    }\n";
    return block + location + "}\n";
}
