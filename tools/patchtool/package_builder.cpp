#include "package_builder.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <optional>
#include <thread>
#include <utility>

#include "engine/publisher_core.h"
#include "file_diff.h"
#include "tree_scan.h"
#include "utf8_path.h"
#include "whole_file.h"

namespace fs = std::filesystem;

namespace {

// More threads than this only add memory: each holds two files at a time.
constexpr unsigned kMaxThreads = 4;

std::size_t RecordBytes(const std::vector<DiffRecordSource>& records) {
    std::size_t total = 0;
    for (const DiffRecordSource& record : records)
        total += kDiffRecordHeaderSize + record.bytes.size();
    return total;
}

bool Contains(const std::vector<std::string>& sorted, std::string_view name) {
    return std::binary_search(sorted.begin(), sorted.end(), name);
}

// After a package for version V the updater reads the installed version from
// the version file; unless the file then says V, every later run takes the
// package again. So NEW must give the package's version, and a package that
// OLD already has the version of would never be taken.
bool CheckVersionFiles(const BuildRequest& request, const TreeScan& oldTree,
                       const TreeScan& newTree, BuildResult* result, std::string* error) {
    const std::string wanted = FormatVersion(request.version);
    const std::string name(kVersionFileEntryName);
    if (VersionFileIsNotRegular(request.newRoot)) {
        *error = "NEW's " + name +
                 " is not a regular file (a link or a folder): the package would not carry "
                 "it, and installations would take the package again on every run";
        return false;
    }
    if (!Contains(newTree.files, name)) {
        result->warnings.push_back("NEW has no " + name +
                                   ": the installed version stays as it was, so installations "
                                   "would take this package again on every run");
    } else {
        std::string text;
        if (!ReadFileInto(request.newRoot / PathFromUtf8(name), &text, error))
            return false;
        const std::optional<PackedVersion> given = VersionInText(text);
        if (given != request.version) {
            *error = "NEW's " + name + " gives version " +
                     (given ? FormatVersion(*given) : "none") + ", not " + wanted +
                     ": installations would take this package again on every run";
            return false;
        }
    }
    if (Contains(oldTree.files, name)) {
        std::string text;
        if (!ReadFileInto(request.oldRoot / PathFromUtf8(name), &text, error))
            return false;
        const std::optional<PackedVersion> given = VersionInText(text);
        if (given && *given >= request.version) {
            result->warnings.push_back(
                "OLD's " + name + " already gives version " + FormatVersion(*given) +
                ": installations of OLD will not take a package for " + wanted);
        }
    }
    return true;
}

void WarnAboutOldOnlyFiles(const TreeScan& oldTree, const TreeScan& newTree, BuildResult* result) {
    std::vector<std::string> oldOnly;
    std::set_difference(oldTree.files.begin(), oldTree.files.end(), newTree.files.begin(),
                        newTree.files.end(), std::back_inserter(oldOnly));
    for (const std::string& name : oldOnly) {
        result->warnings.push_back(
            "only in OLD, stays on installations (a package cannot "
            "remove files): " +
            name);
    }
}

// Remove entries for what only OLD has: its files (each naming the file it
// expects, so that a file changed on an installation refuses the package
// instead of being lost), its links and its folders; deepest names first.
bool MakeRemoveEntries(const BuildRequest& request, const TreeScan& oldTree,
                       const TreeScan& newTree, std::vector<EntrySource>* removes,
                       BuildResult* result, std::string* error) {
    struct Gone {
        std::string name;
        bool file;
    };
    std::vector<Gone> gone;
    const auto collect = [&gone](const std::vector<std::string>& inOld,
                                 const std::vector<std::string>& inNew, bool file) {
        std::vector<std::string> only;
        std::set_difference(inOld.begin(), inOld.end(), inNew.begin(), inNew.end(),
                            std::back_inserter(only));
        for (std::string& name : only)
            gone.push_back({std::move(name), file});
    };
    collect(oldTree.files, newTree.files, true);
    collect(oldTree.links, newTree.links, false);
    collect(oldTree.folders, newTree.folders, false);
    // A name sorts after every folder it lies in.
    std::sort(gone.begin(), gone.end(),
              [](const Gone& a, const Gone& b) { return a.name > b.name; });
    for (const Gone& entry : gone) {
        if (!IsPackableName(entry.name)) {
            result->warnings.push_back(
                "only in OLD, stays on installations (the updater would "
                "remove another name): " +
                entry.name);
            continue;
        }
        std::optional<FileIdentity> expected;
        if (entry.file) {
            std::string bytes;
            if (!ReadFileInto(request.oldRoot / PathFromUtf8(entry.name), &bytes, error))
                return false;
            expected = IdentityOf(bytes);
        }
        removes->push_back(EntrySource::Remove(entry.name, expected));
    }
    return true;
}

bool ScanBoth(const BuildRequest& request, TreeScan* oldTree, TreeScan* newTree,
              BuildResult* result, std::string* error) {
    if (!ScanTree(request.oldRoot, oldTree, error) || !ScanTree(request.newRoot, newTree, error)) {
        return false;
    }
    for (const std::string& line : oldTree->warnings)
        result->warnings.push_back("OLD: " + line);
    for (const std::string& line : newTree->warnings)
        result->warnings.push_back("NEW: " + line);
    return true;
}

EntrySource ChooseAmongThree(const std::string& name, std::string_view oldBytes,
                             std::string newBytes, const CheckFields& fields);

// The entry that brings `name` from OLD to NEW; none when the file is the
// same in both. `*check` is the check entry that must guard it, when it
// needs one.
bool MakeEntry(const BuildRequest& request, const TreeScan& oldTree, const std::string& name,
               std::optional<EntrySource>* entry, std::optional<EntrySource>* check,
               std::string* error) {
    entry->reset();
    check->reset();
    std::string newBytes;
    if (!ReadFileInto(request.newRoot / PathFromUtf8(name), &newBytes, error))
        return false;
    const bool inOld = Contains(oldTree.files, name);
    std::string oldBytes;
    if (inOld && !ReadFileInto(request.oldRoot / PathFromUtf8(name), &oldBytes, error))
        return false;
    if (inOld && oldBytes == newBytes)
        return true;
    if (!IsPackableName(name)) {
        *error = "refusing NEW's file '" + name +
                 "': the updater would write it outside the installation or to another place "
                 "(names must stay below the root and hold no '\\' or ':')";
        return false;
    }
    if (!inOld) {
        *entry = EntrySource::Add(name, std::move(newBytes));
        return true;
    }
    if (CodecOf(request.codec).deltaEntries) {
        const CheckFields fields{IdentityOf(oldBytes), IdentityOf(newBytes)};
        *entry = ChooseAmongThree(name, oldBytes, std::move(newBytes), fields);
        if ((*entry)->kind != EntryKind::kDelta)
            *check = EntrySource::Check(name, fields);
        return true;
    }
    *entry = ChooseEntry(name, oldBytes, std::move(newBytes), request.codec);
    return true;
}

struct FileOutcome {
    bool ok = false;
    std::optional<EntrySource> entry;  // none for a file that did not change
    std::optional<EntrySource> check;  // the check entry that guards it, if any
    std::string error;
};

// Makes the entries of the files in `names`, in that order. Files are read,
// compared and compressed on several threads at once; each file's work
// depends on that file alone, so the result does not depend on the timing.
// After the first failure the files not yet started are left alone; the
// first failed outcome in order is then a real one.
std::vector<FileOutcome> CompareFiles(const BuildRequest& request, const TreeScan& oldTree,
                                      const std::vector<std::string>& names,
                                      const ProgressCallback& progress) {
    std::vector<FileOutcome> outcomes(names.size());
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    const auto work = [&](bool reportProgress) {
        // An index once taken is always worked on, so every file before a
        // failure has its outcome.
        while (!failed) {
            const std::size_t i = next++;
            if (i >= names.size())
                break;
            if (reportProgress && progress)
                progress("comparing", i, names.size());
            FileOutcome& outcome = outcomes[i];
            outcome.ok = MakeEntry(request, oldTree, names[i], &outcome.entry, &outcome.check,
                                   &outcome.error);
            if (!outcome.ok)
                failed = true;
        }
    };
    const unsigned threads = std::clamp(std::thread::hardware_concurrency(), 1u, kMaxThreads);
    std::vector<std::thread> helpers;
    for (unsigned i = 1; i < threads; ++i)
        helpers.emplace_back(work, false);
    work(true);  // only this thread talks to the progress line
    for (std::thread& helper : helpers)
        helper.join();
    return outcomes;
}

// The payload of `entries` packed fast: the measure the candidates are
// ranked by (SIZE_MAX when an entry does not fit the format).
std::size_t QuickPackedSize(const std::vector<EntrySource>& entries) {
    std::string payload;
    return EncodePayload(entries, &payload) ? ::QuickPackedSize(payload) : SIZE_MAX;
}

// Add, modify and delta entries for one file, the first two with the check
// entry they need; the smallest wins, ties going to the add entry first, then
// to the delta entry.
EntrySource ChooseAmongThree(const std::string& name, std::string_view oldBytes,
                             std::string newBytes, const CheckFields& fields) {
    std::optional<EntrySource> delta(std::in_place);
    if (!MakeDeltaEntry(name, oldBytes, newBytes, &*delta))
        delta.reset();
    std::optional<EntrySource> modify;
    std::vector<DiffRecordSource> records;
    if (DiffFile(oldBytes, newBytes, &records) && RecordBytes(records) < newBytes.size()) {
        modify = EntrySource::Modify(name, std::move(records),
                                     static_cast<std::int32_t>(newBytes.size()));
    }
    const EntrySource check = EntrySource::Check(name, fields);
    const auto measure = [&check](const EntrySource& candidate) {
        return candidate.kind == EntryKind::kDelta ? QuickPackedSize({candidate})
                                                   : QuickPackedSize({check, candidate});
    };
    EntrySource best = EntrySource::Add(name, std::move(newBytes));
    std::size_t bestSize = measure(best);
    for (std::optional<EntrySource>* candidate : {&delta, &modify}) {
        if (!*candidate)
            continue;
        const std::size_t size = measure(**candidate);
        if (size < bestSize) {
            bestSize = size;
            best = std::move(**candidate);
        }
    }
    return best;
}

}  // namespace

std::size_t EncodedEntrySize(EntrySource* entry, PackageCodec codec) {
    std::vector<EntrySource> single;
    single.push_back(std::move(*entry));
    std::string package;
    const bool built = BuildPackage(codec, 0, single, &package);
    *entry = std::move(single.front());
    return built ? package.size() : SIZE_MAX;
}

std::string EntryCounts(const BuildResult& result, PackageCodec codec) {
    std::string text = std::to_string(result.addEntries) + " add, " +
                       std::to_string(result.modifyEntries) + " modify and " +
                       std::to_string(result.deltaEntries) + " delta entries, ";
    if (CodecOf(codec).deltaEntries) {
        text += std::to_string(result.checkEntries) + " check and " +
                std::to_string(result.removeEntries) + " remove entries, ";
    }
    return text + std::to_string(result.unchangedFiles) + " files unchanged";
}

bool IsPackableName(std::string_view name) {
    return IsSafeEntryName(name) && name.find('\\') == std::string_view::npos;
}

void SortForPackage(std::vector<std::string>* names) {
    std::sort(names->begin(), names->end());
    std::stable_partition(names->begin(), names->end(),
                          [](const std::string& name) { return name != kVersionFileEntryName; });
}

EntrySource ChooseEntry(const std::string& name, std::string_view oldBytes, std::string newBytes,
                        PackageCodec codec) {
    if (CodecOf(codec).deltaEntries) {
        const CheckFields fields{IdentityOf(oldBytes), IdentityOf(newBytes)};
        return ChooseAmongThree(name, oldBytes, std::move(newBytes), fields);
    }
    std::vector<DiffRecordSource> records;
    if (!DiffFile(oldBytes, newBytes, &records) || RecordBytes(records) >= newBytes.size())
        return EntrySource::Add(name, std::move(newBytes));
    EntrySource modify =
        EntrySource::Modify(name, std::move(records), static_cast<std::int32_t>(newBytes.size()));
    EntrySource add = EntrySource::Add(name, std::move(newBytes));
    return EncodedEntrySize(&modify, codec) < EncodedEntrySize(&add, codec) ? std::move(modify)
                                                                            : std::move(add);
}

// An updater that reads zstd packages but predates check and remove entries
// applies the entries before the first one it does not know. So a package
// that holds any starts with one: with its removes (they come first anyway),
// or else with the first checked file, its check entry and its entry moved
// to the front. The version file's pair stays last.
void LeadWithANewKind(std::vector<EntrySource>* entries) {
    const auto isNew = [](const EntrySource& entry) {
        return entry.kind == EntryKind::kCheck || entry.kind == EntryKind::kRemove;
    };
    const auto first = std::find_if(entries->begin(), entries->end(), isNew);
    if (first == entries->begin() || first == entries->end() || first + 1 == entries->end() ||
        (first + 1)->name == kVersionFileEntryName) {
        return;
    }
    std::rotate(entries->begin(), first, first + 2);
}

bool BuildPackageFromTrees(const BuildRequest& request, BuildResult* result, std::string* error,
                           const ProgressCallback& progress) {
    *result = BuildResult{};
    TreeScan oldTree, newTree;
    if (!ScanBoth(request, &oldTree, &newTree, result, error))
        return false;
    if (!CheckVersionFiles(request, oldTree, newTree, result, error))
        return false;

    std::vector<std::string> order = newTree.files;
    SortForPackage(&order);
    std::vector<FileOutcome> outcomes = CompareFiles(request, oldTree, order, progress);
    std::vector<EntrySource> entries;
    for (FileOutcome& outcome : outcomes) {
        if (!outcome.ok) {
            *error = outcome.error;
            return false;
        }
        // Right before the entry it guards, a check entry shares its name
        // within the compressor's reach.
        if (outcome.check) {
            entries.push_back(std::move(*outcome.check));
            ++result->checkEntries;
        }
        if (!outcome.entry) {
            ++result->unchangedFiles;
            continue;
        }
        switch (outcome.entry->kind) {
            case EntryKind::kAdd:
                ++result->addEntries;
                break;
            case EntryKind::kModify:
                ++result->modifyEntries;
                break;
            case EntryKind::kDelta:
                ++result->deltaEntries;
                break;
            case EntryKind::kCheck:
            case EntryKind::kRemove:
                break;
        }
        entries.push_back(std::move(*outcome.entry));
    }
    if (CodecOf(request.codec).deltaEntries) {
        std::vector<EntrySource> removes;
        if (!MakeRemoveEntries(request, oldTree, newTree, &removes, result, error))
            return false;
        result->removeEntries = removes.size();
        entries.insert(entries.begin(), std::make_move_iterator(removes.begin()),
                       std::make_move_iterator(removes.end()));
        LeadWithANewKind(&entries);
    } else {
        WarnAboutOldOnlyFiles(oldTree, newTree, result);
    }

    if (progress)
        progress("compressing", 0, 1);
    if (!BuildPackage(request.codec, request.version, entries, &result->package)) {
        *error = "the changes do not fit a package (a file or the whole payload of 4 GiB or more)";
        return false;
    }
    return true;
}
