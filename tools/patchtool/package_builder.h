// Building the package that turns one installation tree into another.
//
// Every file of NEW that is missing from OLD or differs from it becomes one
// entry: an add entry with the whole file, or a modify entry with diff
// records, whichever is smaller once compressed with the package's codec.
// With a codec that allows delta entries (zstd), a delta entry that makes
// the new file from the old one is a third candidate, and a changed file
// carried by a modify or an add entry gets a check entry naming the old and
// the new file, so that the package refuses an installation that is not OLD;
// and what only OLD has (files, links, folders) gets remove entries.
// Entries follow the byte order of their names, except that the version file
// "config/version.cfg" always comes last: a run cut short while applying then
// still finds the old version on its next start and applies the whole
// package again, which is harmless because every entry sets whole bytes and a
// final length. Check entries come first (an updater that does not know them
// refuses the package before it changes anything), then the remove entries,
// deepest names first so that a folder is emptied before it is removed and a
// name is free before a file or folder of another kind takes it. Nothing in the output depends on
// time or on the order in which the file system lists a folder, so the same trees give the same
// bytes.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/publisher_core.h"

struct BuildRequest {
    std::filesystem::path oldRoot;
    std::filesystem::path newRoot;
    PackedVersion version = 0;
    PackageCodec codec = PackageCodec::kBzip2;
};

struct BuildResult {
    std::string package;                // the package's bytes
    std::vector<std::string> warnings;  // one line each, for the publisher
    std::size_t addEntries = 0;
    std::size_t modifyEntries = 0;
    std::size_t deltaEntries = 0;
    std::size_t checkEntries = 0;
    std::size_t removeEntries = 0;
    std::size_t unchangedFiles = 0;
};

// The entries a build made and the files it left alone, as the build's
// summary line tells them: "1 add, 2 modify and 0 delta entries, 5 files
// unchanged", with the check and remove entries before the files unchanged
// for a codec that allows them.
std::string EntryCounts(const BuildResult& result, PackageCodec codec);

// Called as the work goes on: a stage name, and how far it is.
using ProgressCallback =
    std::function<void(std::string_view stage, std::size_t done, std::size_t total)>;

// Compares the trees and builds the package. Returns false, with a message
// in `*error`, when a tree cannot be read, a name in NEW cannot be written by
// the updater (it would leave the installation, or holds a "\" that the
// updater takes for a folder separator), NEW's version file names another
// version than the request, or the result does not fit the format.
bool BuildPackageFromTrees(const BuildRequest& request, BuildResult* result, std::string* error,
                           const ProgressCallback& progress = {});

// The entry for one changed file: a modify entry when its compressed form is
// smaller than that of an add entry with the whole file, an add entry
// otherwise. An add entry also wins a tie, and whenever the records would
// carry as many bytes as the whole file: it does not depend on the old file
// being there and intact, so it is only given up for a real saving. With a
// codec that allows delta entries, a delta entry competes too, and wins when
// it is strictly the smallest, the modify and the add entry then counted with
// the check entry they need; the candidates are then compared packed at
// zstd's fast level 3, since packing each at the package's level 19 would
// cost more than the build's real compression, and ranks them the same in
// almost every case.
EntrySource ChooseEntry(const std::string& name, std::string_view oldBytes, std::string newBytes,
                        PackageCodec codec);

// The size of a package holding `entry` alone: what the entry costs once
// compressed with `codec` (SIZE_MAX when it does not fit the format). The
// entry is lent to the writer and handed back unchanged.
std::size_t EncodedEntrySize(EntrySource* entry, PackageCodec codec);

// True for a tree name that the updater writes to the same place: one that
// stays below the installation root and holds no "\".
bool IsPackableName(std::string_view name);

// The package order: byte order of the names, the version file last.
void SortForPackage(std::vector<std::string>* names);
