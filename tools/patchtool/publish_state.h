// What `patchtool publish` remembers of the packages it made, so that it
// reuses a package in the site only when it can prove what the package is.
//
// The state lives beside the release trees (RELEASES/.publish-state), outside
// the served site: anyone who can write the site could otherwise write the
// proof too. For each package file it records the digest of the release tree
// the package was built from, the digest of the tree it builds, and the
// package's own SHA-256. A package whose three digests still hold is the one
// publish built from those exact trees; any other file in the site (one built
// against a release since pruned, one planted there, one changed) is rebuilt,
// never signed as it is.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "engine/publisher_core.h"

// The state file's name in the releases folder; ScanReleases passes over it.
inline constexpr const char* kPublishStateName = ".publish-state";

struct PackageOrigin {
    Sha256Digest fromTree{};
    Sha256Digest toTree{};
    Sha256Digest package{};

    bool operator==(const PackageOrigin&) const = default;
};

class PublishState {
  public:
    // The state in `file`; an empty state when there is no such file. Lines
    // that cannot be read are dropped (their packages are rebuilt); `*dropped`
    // counts them.
    static PublishState Read(const std::filesystem::path& file, int* dropped);

    // What publish recorded for the package file at `package`, if anything.
    std::optional<PackageOrigin> Find(const std::filesystem::path& package) const;
    void Record(const std::filesystem::path& package, const PackageOrigin& origin);

    // Replaces `file` with this state, synced before it takes the name.
    bool Write(const std::filesystem::path& file) const;

  private:
    // By the package file's absolute path, "/" as separator.
    std::map<std::string, PackageOrigin> packages_;
};

// A digest of everything below `root` that a package build reads or skips:
// each folder, each regular file's size and content, each symbolic link's
// target and each other node, by path. Two trees with the same digest give the
// same package. Nothing, with a message in `*error`, when the tree cannot be
// read whole.
std::optional<Sha256Digest> TreeDigest(const std::filesystem::path& root, std::string* error);
