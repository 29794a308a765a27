#include "tree_verify.h"

#include <algorithm>
#include <random>
#include <system_error>

#include "engine/publisher_core.h"
#include "tree_scan.h"
#include "utf8_path.h"
#include "whole_file.h"

namespace fs = std::filesystem;

namespace {

// A fresh folder below the system's temporary folder, removed with its
// contents when the object goes.
class ScratchFolder {
  public:
    bool Create(std::string* error) {
        std::error_code code;
        const fs::path base = fs::temp_directory_path(code);
        std::random_device seed;
        std::mt19937_64 random(seed());
        for (int attempt = 0; !code && attempt < 100; ++attempt) {
            const fs::path candidate =
                base / PathFromUtf8("patchtool-verify-" + std::to_string(random()));
            if (fs::create_directory(candidate, code)) {
                path_ = candidate;
                return true;
            }
        }
        *error = "cannot create a temporary folder" + (code ? ": " + code.message() : "");
        return false;
    }
    ~ScratchFolder() {
        std::error_code ignored;
        if (!path_.empty())
            fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

bool CopyFiles(const fs::path& from, const TreeScan& tree, const fs::path& to, bool foldersAndLinks,
               std::string* error) {
    std::error_code code;
    if (foldersAndLinks) {
        for (const std::string& name : tree.folders) {
            fs::create_directories(to / PathFromUtf8(name), code);
            if (code) {
                *error = "cannot make the folder '" + name +
                         "' in the temporary installation: " + code.message();
                return false;
            }
        }
        // A link is copied as a link: what it leads to is never read.
        for (const std::string& name : tree.links) {
            fs::copy_symlink(from / PathFromUtf8(name), to / PathFromUtf8(name), code);
            if (code) {
                *error = "cannot copy the link '" + name +
                         "' into the temporary installation: " + code.message();
                return false;
            }
        }
    }
    for (const std::string& name : tree.files) {
        const fs::path target = to / PathFromUtf8(name);
        fs::create_directories(target.parent_path(), code);
        if (!code)
            fs::copy_file(from / PathFromUtf8(name), target, code);
        if (code) {
            *error =
                "cannot copy '" + name + "' into the temporary installation: " + code.message();
            return false;
        }
    }
    return true;
}

bool Contains(const std::vector<std::string>& sorted, const std::string& name) {
    return std::binary_search(sorted.begin(), sorted.end(), name);
}

// Compares the applied copy with NEW; lines for the files that differ.
bool CompareWithNew(const TreeVerifyRequest& request, const TreeScan& oldTree,
                    const fs::path& applied, const std::string& packageName,
                    TreeVerifyResult* result, std::string* error) {
    TreeScan newTree, appliedTree;
    if (!ScanTree(request.newRoot, &newTree, error) || !ScanTree(applied, &appliedTree, error)) {
        return false;
    }
    for (const std::string& line : newTree.warnings)
        result->warnings.push_back("NEW: " + line);
    const auto expectedGone = [&](const std::string& name) {
        return name == kPostUpdateScriptName || name == packageName;
    };
    for (const std::string& name : newTree.files) {
        if (expectedGone(name))
            continue;
        if (!Contains(appliedTree.files, name)) {
            result->differences.push_back("missing after applying: " + name);
            continue;
        }
        std::string wanted, got;
        if (!ReadFileInto(request.newRoot / PathFromUtf8(name), &wanted, error) ||
            !ReadFileInto(applied / PathFromUtf8(name), &got, error)) {
            return false;
        }
        if (wanted != got)
            result->differences.push_back("differs from NEW: " + name);
    }
    for (const std::string& name : appliedTree.files) {
        if (!expectedGone(name) && !Contains(newTree.files, name) &&
            (request.removesOldOnly || !Contains(oldTree.files, name))) {
            result->differences.push_back("not in NEW: " + name);
        }
    }
    if (!request.removesOldOnly)
        return true;
    for (const std::string& name : appliedTree.links) {
        if (!Contains(newTree.links, name))
            result->differences.push_back("not in NEW: " + name + " (a symbolic link)");
    }
    for (const std::string& name : appliedTree.folders) {
        if (name != "download" && !Contains(newTree.folders, name))
            result->differences.push_back("not in NEW: " + name + "/");
    }
    return true;
}

// A copy of OLD with the package in its download folder, as an update run
// leaves an installation before it applies.
bool PrepareInstallation(const TreeVerifyRequest& request, const TreeScan& oldTree,
                         const fs::path& installation, const std::string& packageName,
                         std::string* error) {
    std::error_code code;
    fs::create_directories(installation / "download", code);
    if (code) {
        *error = "cannot create the temporary installation: " + code.message();
        return false;
    }
    if (!CopyFiles(request.oldRoot, oldTree, installation, request.removesOldOnly, error))
        return false;
    fs::copy_file(request.packageFile, installation / "download" / PathFromUtf8(packageName),
                  fs::copy_options::overwrite_existing, code);
    if (code) {
        *error = "cannot copy the package: " + code.message();
        return false;
    }
    return true;
}

}  // namespace

bool VerifyAgainstTrees(const TreeVerifyRequest& request, TreeVerifyResult* result,
                        std::string* error) {
    *result = TreeVerifyResult{};
    TreeScan oldTree;
    if (!ScanTree(request.oldRoot, &oldTree, error))
        return false;
    for (const std::string& line : oldTree.warnings)
        result->warnings.push_back("OLD: " + line);
    const bool scriptWouldRun =
        request.packageDeliversScript || Contains(oldTree.files, kPostUpdateScriptName);
    if (scriptWouldRun && !request.allowScript) {
        *error = std::string("applying would run the post-update script ") + kPostUpdateScriptName +
                 "; it runs inside the temporary copy only when allowed (verify --run-script)";
        return false;
    }

    ScratchFolder scratch;
    if (!scratch.Create(error))
        return false;
    const fs::path installation = scratch.path() / "installation";
    const std::string packageName = Utf8Of(request.packageFile.filename());
    if (!PrepareInstallation(request, oldTree, installation, packageName, error))
        return false;

    // The folders are named, not entered: the working directory stays the
    // caller's, and a script the package runs still runs inside the copy.
    const InstallationFolders folders{Utf8Of(installation), Utf8Of(installation / "download")};
    if (!ApplyPatchPackage(folders, packageName, request.version, {})) {
        *error = "the updater's apply code refused the package or failed on it";
        return false;
    }
    return CompareWithNew(request, oldTree, installation, "download/" + packageName, result, error);
}
