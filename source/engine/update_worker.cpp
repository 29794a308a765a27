#include "engine/update_worker.h"

#include <algorithm>
#include <exception>
#include <new>
#include <vector>

#include "engine/error_codes.h"
#include "engine/patch_list.h"
#include "engine/version_file.h"
#include "patch/patch_package.h"
#include "platform/platform.h"
#include "transfer/http_get.h"

namespace {

// One run's state; each step reports its own error and says whether to go on.
class UpdateRun {
  public:
    explicit UpdateRun(StatusCallback statusCallback) : report_(statusCallback) {}

    void Run() {
        InstallRoot = "./";
        DownloadDir = "./download";
        if (!platform::StartSockets()) {
            Report(ErrorWord(kSocketsUnavailable));  // the library never started: no clean-up
            return;
        }
        const int failure = RunCatchingExceptions();
        platform::StopSockets();
        if (failure != kOk)
            ReportLastWord(ErrorWord(failure));
    }

  private:
    void Report(StatusWord word) const {
        if (report_ != nullptr)
            report_(word);
    }

    // A run on the worker thread must never throw: an exception leaving the
    // thread ends the whole program, window and all, without a word to the
    // user. The run's own errors are reported as it goes; this gives kOk for
    // those, or the code of the exception that ended it.
    int RunCatchingExceptions() {
        try {
            RunWithSockets();
            return kOk;
        } catch (const std::bad_alloc&) {
            // A package's bytes are the largest thing held; letting them go
            // first gives the last report a chance of the memory it needs.
            std::string().swap(response_);
            return kOutOfMemory;
        } catch (const std::exception&) {
            std::string().swap(response_);
            return kUnexpectedFailure;
        }
    }

    // The word that ends a failed run. If the receiver cannot take it either
    // (it may itself be out of memory), nothing is left to tell anyone.
    void ReportLastWord(StatusWord word) const noexcept {
        try {
            Report(word);
        } catch (const std::exception&) {
        }
    }

    void RunWithSockets() {
        Report(StageWord(kStageSocketsStarted));
        const PackedVersion installed = ReadInstalledVersion();
        if (installed == 0) {
            Report(ErrorWord(kNothingNewer));
            return;
        }
        Report(StageWord(kStageVersionRead));
        if (!FetchPatchList(ReadVersionSetting("UpdateURL", kDefaultPatchListUrl)))
            return;

        std::vector<PatchEntry> selected;
        ParsePatchList(installed, selected, response_);
        if (selected.empty()) {
            Report(ErrorWord(kNothingNewer));
            return;
        }
        Report(StageWord(kStagePatchListFetched));
        PendingPackageCount = static_cast<std::uint32_t>(selected.size());
        SelectedPatches = selected;
        DownloadAndApply(selected);
    }

    bool FetchPatchList(const std::string& url) {
        int code = 0;
        for (int attempt = 0; attempt < kPatchListTries; ++attempt) {
            code = HttpGet(url, response_, false, nullptr, kPatchListBudgetSeconds, 0);
            if (code == kOk)
                return true;
        }
        Report(ErrorWord(code));
        return false;
    }

    void DownloadAndApply(const std::vector<PatchEntry>& selected) {
        std::uint32_t pendingBefore = PendingPackageCount;
        for (const PatchEntry& entry : selected) {
            std::string path = DownloadDir;
            NormalizePathSeparators(path);
            platform::MakeDirectory(path);  // an existing folder is fine
            path += "/";
            const std::string fileName = PackageFileName(entry.url);
            if (!IsUsablePackageFileName(fileName)) {
                Report(ErrorWord(kBadPackageName));
                return;
            }
            path += fileName;
            Report(StageWord(kStageDownloadStarting));
            const int code = HttpGet(entry.url, response_, true, report_, kPackageBudgetSeconds, 0);
            if (code != kOk) {
                Report(ErrorWord(code));
                return;
            }
            if (!WritePackageFile(path)) {
                Report(ErrorWord(kPackageFileFailed));
                return;
            }
            // On disk now. Held on, the bytes would sit beside the next
            // download, or beside the file read back and unpacked while the
            // packages are applied: three times the package at the peak.
            std::string().swap(response_);
            // The transfer lowers the count only for a body of exactly the
            // announced length; anything else is an incomplete package, which
            // stays on disk for inspection but is never applied.
            if (PendingPackageCount != pendingBefore - 1) {
                Report(ErrorWord(kPackageIncomplete));
                return;
            }
            if (PendingPackageCount == 0) {
                ApplyAll();
                return;
            }
            pendingBefore = PendingPackageCount;
        }
    }

    // The package is held whole in memory and written with one write. A short
    // write or a failed close (a full disk) must not pass as a good package.
    // A link standing at the package's place, or a download folder that is a
    // link, must not carry the server's bytes out of the installation.
    bool WritePackageFile(const std::string& path) const {
        if (!platform::ResolvesInside(InstallRoot, path))
            return false;
        std::FILE* file = platform::OpenFile(path, "wb+");
        if (file == nullptr)
            return false;
        const bool written = response_.empty() ||
                             platform::WriteFile(response_.data(), response_.size(), 1, file) == 1;
        const bool closed = platform::CloseFile(file) == 0;
        return written && closed;
    }

    void ApplyAll() const {
        Report(StageWord(kStageApplyStarting));
        for (const PatchEntry& entry : SelectedPatches) {
            if (!ApplyPatchPackage(PackageFileName(entry.url), entry.version, report_)) {
                Report(ErrorWord(kApplyFailed));
                return;
            }
        }
        Report(StageWord(kStageAllApplied));
    }

    StatusCallback report_;
    std::string response_;  // the patch list, then each package in turn
};

}  // namespace

std::uint32_t UpdateWorker(StatusCallback statusCallback) {
    UpdateRun(statusCallback).Run();
    return 0;
}

std::string PackageFileName(const std::string& url) {
    const std::size_t slash = url.rfind('/');
    if (slash == std::string::npos)
        return {};
    return url.substr(slash + 1);
}

bool IsUsablePackageFileName(const std::string& name) {
    if (name.empty() || name == "." || name == "..")
        return false;
    return std::none_of(name.begin(), name.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F || c == '/' || c == '\\' || c == ':';
    });
}
