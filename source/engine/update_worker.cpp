#include "engine/update_worker.h"

#include <algorithm>
#include <exception>
#include <new>
#include <utility>

#include "engine/version_file.h"
#include "patch/patch_package.h"
#include "platform/platform.h"
#include "platform/replace_file.h"
#include "transfer/http_get.h"
#include "vocabulary/error_codes.h"

namespace {

// One run's state; each step reports its own error and says whether to go on.
class UpdateRun {
  public:
    explicit UpdateRun(StatusCallback statusCallback) : report_(statusCallback) {}

    PatchSelection Run() {
        if (!platform::StartSockets()) {
            Report(ErrorWord(kSocketsUnavailable));  // the library never started: no clean-up
            return {};
        }
        const ErrorCode failure = RunCatchingExceptions();
        platform::StopSockets();
        if (failure != kOk)
            ReportLastWord(ErrorWord(failure));
        return std::move(selection_);
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
    ErrorCode RunCatchingExceptions() {
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

        selection_ = ParsePatchList(installed, response_);
        if (selection_.selectedPatches.empty()) {
            Report(ErrorWord(kNothingNewer));
            return;
        }
        Report(StageWord(kStagePatchListFetched));
        if (DownloadAll())
            ApplyAll();
    }

    bool FetchPatchList(const std::string& url) {
        const HttpRequest request{url, BodyKind::kPatchList, {kPatchListBudgetSeconds, 0}};
        ErrorCode code = kOk;
        for (int attempt = 0; attempt < kPatchListTries; ++attempt) {
            code = HttpGet(request, response_).code;
            if (code == kOk)
                return true;
        }
        Report(ErrorWord(code));
        return false;
    }

    // Downloads every selected package in list order; true once all of them
    // are on disk whole.
    bool DownloadAll() {
        std::string folder = folders_.downloadDir;
        NormalizePathSeparators(folder);
        platform::MakeDirectory(folder);  // an existing folder is fine
        for (const PatchEntry& entry : selection_.selectedPatches) {
            const std::string fileName = PackageFileName(entry.url);
            if (!IsUsablePackageFileName(fileName)) {
                Report(ErrorWord(kBadPackageName));
                return false;
            }
            if (const ErrorCode code = Download(entry.url, folder + "/" + fileName); code != kOk) {
                Report(ErrorWord(code));
                return false;
            }
        }
        return true;
    }

    ErrorCode Download(const std::string& url, const std::string& path) {
        Report(StageWord(kStageDownloadStarting));
        const HttpRequest request{url, BodyKind::kPackage, {kPackageBudgetSeconds, 0}, {}, report_};
        const HttpResult result = HttpGet(request, response_);
        if (result.code != kOk)
            return result.code;
        const bool written = WritePackageFile(path);
        // On disk now. Held on, the bytes would sit beside the next download,
        // or beside the file read back and unpacked while the packages are
        // applied: three times the package at the peak.
        std::string().swap(response_);
        if (!written)
            return kPackageFileFailed;
        // Anything but a body of exactly the announced length is an
        // incomplete package, which stays on disk for inspection but is never
        // applied.
        return result.wholeAsAnnounced ? kOk : kPackageIncomplete;
    }

    // The package is held whole in memory and written with one write, staged
    // and moved into place: a short write or a failed close (a full disk)
    // must not pass as a good package, nor cut short one that a previous run
    // downloaded whole. A link standing at the package's place, or a download
    // folder that is a link, must not carry the server's bytes out of the
    // installation.
    bool WritePackageFile(const std::string& path) const {
        if (!platform::ResolvesInside(folders_.installRoot, path))
            return false;
        return platform::ReplaceFile(path, [this](std::FILE* file) {
            return platform::WriteAllBytes(file, response_.data(), response_.size());
        });
    }

    void ApplyAll() const {
        Report(StageWord(kStageApplyStarting));
        for (const PatchEntry& entry : selection_.selectedPatches) {
            if (!ApplyPatchPackage(folders_, PackageFileName(entry.url), entry.version, report_)) {
                Report(ErrorWord(kApplyFailed));
                return;
            }
        }
        Report(StageWord(kStageAllApplied));
    }

    StatusCallback report_;
    // The run works in the working directory, which is the installation.
    const InstallationFolders folders_{};
    PatchSelection selection_;
    std::string response_;  // the patch list, then each package in turn
};

}  // namespace

PatchSelection UpdateWorker(StatusCallback statusCallback) {
    return UpdateRun(statusCallback).Run();
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
