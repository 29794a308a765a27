// A published update for whole-run tests: an installation of version 1.0.0,
// the trees of 1.0.1 and 1.1.0, the two packages between them built by
// patchtool (whose version-file entry comes last), and the patch list, all
// served by nginx on 127.0.0.1.
//
// The installation is set up inside an outer folder with canary files beside
// it, so a test can check that a run changed nothing outside its root.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include "patch/build_codecs.h"
#include "support/installation_files.h"
#include "support/nginx_server.h"
#include "support/temp_dir.h"

namespace reliability {

using testing_support::ReadTree;
using testing_support::Tree;

class PublishedUpdate {
  public:
    // Builds everything; check ready() before use. The binary files are
    // `scale` bytes per kilobyte of their full size (1024: the largest is
    // 1 MiB). `serveRate`, when given, limits nginx to that many bytes per
    // second per response ("2m"). `largeEntryBytes`, when given, adds to the
    // second package an add entry and a modify entry of about that size
    // (runs of bytes, quick to unpack), which stream through several windows
    // while they are applied. `firstCodec` packs the first package; with
    // "zstd" its changed program travels as a delta entry.
    explicit PublishedUpdate(std::size_t scale, const std::string& serveRate = "",
                             std::size_t largeEntryBytes = 0,
                             const std::string& firstCodec = testing_support::AnyCodecName());

    bool ready() const { return error_.empty(); }
    // What went wrong while building, empty when ready.
    const std::string& error() const { return error_; }

    // The installation of 1.0.0, as a tree.
    const Tree& oldVersion() const { return old_; }
    // The installation once the first package is applied.
    const Tree& middleVersion() const { return middle_; }
    // What the installation must be once the whole update is applied.
    const Tree& newVersion() const { return new_; }

  private:
    void WriteTrees();
    void BuildPackages();

    std::size_t scale_;
    std::size_t largeEntryBytes_;
    std::string firstCodec_;
    testing_support::TempDir dir_;
    std::filesystem::path www_;
    testing_support::NginxServer nginx_;
    Tree old_;
    Tree middle_;
    Tree new_;
    std::string error_;
};

// A fresh installation root inside an outer folder that also holds canary
// files, for one run.
class SandboxedRoot {
  public:
    explicit SandboxedRoot(const Tree& installation);

    const std::filesystem::path& root() const { return root_; }
    // True when nothing beside the root was added, removed or changed.
    bool OutsideUnchanged() const;

  private:
    Tree Outside() const;

    testing_support::TempDir outer_;
    std::filesystem::path root_;
    Tree outsideBefore_;
};

}  // namespace reliability
