#include "tree_scan.h"

#include <algorithm>
#include <system_error>

#include "engine/publisher_core.h"
#include "utf8_path.h"

namespace fs = std::filesystem;

namespace {

std::string Quoted(const fs::path& path) {
    return "'" + Utf8Of(path) + "'";
}

}  // namespace

bool ScanTree(const fs::path& root, TreeScan* scan, std::string* error) {
    *scan = TreeScan{};
    std::error_code code;
    if (!fs::is_directory(root, code)) {
        *error = Quoted(root) + " is not a folder" + (code ? ": " + code.message() : "");
        return false;
    }
    // The last folder entered, to name it when reading the next one fails.
    fs::path current = root;
    fs::recursive_directory_iterator it(root, code);
    for (; !code && it != fs::recursive_directory_iterator(); it.increment(code)) {
        const fs::directory_entry& entry = *it;
        current = entry.path();
        // The entry name: UTF-8 with "/" between its parts on every system, so
        // that the same tree gives the same package wherever it is built.
        const std::string name = GenericUtf8Of(entry.path().lexically_relative(root));
        const fs::file_status status = entry.symlink_status(code);
        if (code)
            break;
        if (fs::is_symlink(status)) {
            scan->warnings.push_back("skipped symbolic link " + name +
                                     " (a package carries regular files only)");
            scan->links.push_back(name);
        } else if (fs::is_regular_file(status)) {
            scan->files.push_back(name);
        } else if (fs::is_directory(status)) {
            scan->folders.push_back(name);
        } else {
            scan->warnings.push_back("skipped " + name + ", which is not a regular file");
        }
    }
    if (code) {
        *error = "cannot read the tree " + Quoted(root) + " near " + Quoted(current) + ": " +
                 code.message();
        return false;
    }
    for (std::vector<std::string>* names : {&scan->files, &scan->folders, &scan->links})
        std::sort(names->begin(), names->end());
    return true;
}

bool VersionFileIsNotRegular(const std::filesystem::path& root) {
    std::error_code failure;
    const std::filesystem::file_status status =
        std::filesystem::symlink_status(root / PathFromUtf8(kVersionFileEntryName), failure);
    return std::filesystem::exists(status) && !std::filesystem::is_regular_file(status);
}
