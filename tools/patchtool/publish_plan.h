// What `patchtool publish` works out before it writes anything: the releases
// in version order, the site's URLs, the package names, and the nginx server
// block that serves the site. Nothing here writes a file.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "engine/publisher_core.h"

// One installation tree as released, in a folder named by its version.
struct Release {
    PackedVersion version = 0;
    std::filesystem::path tree;
};

struct ReleaseScan {
    std::vector<Release> releases;     // oldest first
    std::vector<std::string> ignored;  // one warning line per other name in the folder
};

// Lists the folders of `dir` named "X.Y.Z" (as --version takes it), sorted by
// version; every other name is ignored with a warning. Returns false, with a
// message in `*error`, when `dir` cannot be read, two folders name one version
// (1.0.1 and 1.00.1), or fewer than two releases are there.
bool ScanReleases(const std::filesystem::path& dir, ReleaseScan* scan, std::string* error);

// Checks that every release's config/version.cfg gives its folder's version:
// a package whose tree says otherwise would be taken again on every run, and
// a publisher is better told before a long build than after it. Returns
// false, with a message in `*error`, at the first release that does not.
bool CheckReleaseVersionFiles(const std::vector<Release>& releases, std::string* error);

// Where the site is served: the base URL without trailing "/", and its parts.
struct SiteAddress {
    std::string base;  // "https://host:port/path", no "/" at the end
    Url url;           // the parts of `base` + "/"
};

// Reads an "http://" or "https://" base URL; trailing "/" are dropped, so
// "https://h/u" and "https://h/u/" give the same site. Returns false, with a
// message in `*error`, for any other scheme, a URL ParseUrl refuses, white
// space, or a query or fragment (a file name appended to it would land in
// them, not in the path).
bool ParseSiteAddress(const std::string& text, SiteAddress* site, std::string* error);

// The URL of a file at the top of the site.
std::string SiteFileUrl(const SiteAddress& site, const std::string& fileName);

// The file name of the package that brings an installation to `version`:
// "update-X.Y.Z.pkg".
std::string PackageNameFor(PackedVersion version);

// An nginx server block that serves `root` (an absolute path) at the site's
// URL: it listens on the URL's port (on that address when the host is one,
// on every address with the host as server name otherwise); for https it
// holds ssl_certificate lines with placeholder paths to fill in.
std::string NginxServerBlock(const SiteAddress& site, const std::filesystem::path& root);
