#include "engine/update_worker.h"

#include <algorithm>
#include <exception>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "engine/list_trust.h"
#include "engine/package_download.h"
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
    UpdateRun(StatusCallback statusCallback, const UpdateSettings& settings)
        : report_(statusCallback),
          trustedKeys_(settings.trustedKeys),
          folders_{settings.installRoot, PathBelowRoot(settings.installRoot, "download")} {
        result_.signatureRequired = !trustedKeys_.empty();
    }

    UpdateReport Run() {
        if (!platform::StartSockets()) {
            Report(ErrorWord(kSocketsUnavailable));  // the library never started: no clean-up
            return std::move(result_);
        }
        const ErrorCode failure = RunCatchingExceptions();
        platform::StopSockets();
        if (failure != kOk)
            ReportLastWord(ErrorWord(failure));
        return std::move(result_);
    }

  private:
    void Report(StatusWord word) const { report_(word); }

    // Keeps each route the run's exchanges took, once.
    RouteObserver NoteRoute() {
        return [this](const ConnectionRoute& route) {
            std::vector<ConnectionRoute>& routes = result_.routes;
            if (std::find(routes.begin(), routes.end(), route) == routes.end())
                routes.push_back(route);
        };
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
            // The patch list is the largest thing held; letting it go first
            // gives the last report a chance of the memory it needs.
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
        // A program a past run replaced while it was running (this updater,
        // say) was moved aside; it has ended by now.
        platform::RemoveMovedAside(folders_.installRoot);
        const PackedVersion installed = ReadInstalledVersion(folders_.installRoot);
        if (installed == 0) {
            Report(ErrorWord(kNothingNewer));
            return;
        }
        Report(StageWord(kStageVersionRead));
        const std::string listUrl =
            ReadVersionSetting(folders_.installRoot, "UpdateURL", kDefaultPatchListUrl);
        if (const ErrorCode code = FetchText(listUrl, HttpLimits{}.bodyCap, response_);
            code != kOk) {
            Report(ErrorWord(code));
            return;
        }
        if (result_.signatureRequired && !CheckListSignature(listUrl))
            return;

        result_.selection = ParsePatchList(installed, response_);
        if (result_.selection.selectedPatches.empty()) {
            Report(ErrorWord(kNothingNewer));
            return;
        }
        Report(StageWord(kStagePatchListFetched));
        if (const ErrorCode code =
                CheckRecordDigests(result_.selection.selectedPatches, result_.signatureRequired);
            code != kOk) {
            Report(ErrorWord(code));
            return;
        }
        if (DownloadAll())
            ApplyAll();
    }

    // A patch list or its signature: small texts that must arrive as
    // announced, tried up to four times; the code of the last try.
    ErrorCode FetchText(const std::string& url, std::size_t cap, std::string& text) {
        HttpRequest request{url, BodyKind::kPatchList, {kPatchListBudgetSeconds, 0}};
        request.limits.bodyCap = cap;
        request.observeRoute = NoteRoute();
        ErrorCode code = kOk;
        for (int attempt = 0; attempt < kPatchListTries; ++attempt) {
            code = HttpGet(request, text).code;
            if (code == kOk)
                break;
        }
        return code;
    }

    // Judged before the list is read at all: an untrusted list selects
    // nothing, not even "nothing newer".
    bool CheckListSignature(const std::string& listUrl) {
        std::string signatureText;
        if (const ErrorCode code =
                FetchText(SignatureUrl(listUrl), kSignatureFileCap, signatureText);
            code != kOk) {
            Report(ErrorWord(SignatureFetchFailure(code)));
            return false;
        }
        result_.listSigner = ListSigner(response_, signatureText, trustedKeys_);
        if (!result_.listSigner) {
            Report(ErrorWord(kListNotTrusted));
            return false;
        }
        return true;
    }

    // Downloads every selected package in list order; true once all of them
    // are on disk whole.
    bool DownloadAll() {
        std::string folder = folders_.downloadDir;
        NormalizePathSeparators(folder);
        // An existing folder is fine; a new one's name must reach the disk
        // before the packages inside it count as downloaded.
        if (platform::MakeDirectory(folder) == 0)
            platform::SyncFolderOf(folder);
        // Every name is judged before the first fetch, so that a selection
        // that cannot be downloaded whole downloads nothing.
        if (!HasOwnUsablePackageFiles(result_.selection.selectedPatches)) {
            Report(ErrorWord(kBadPackageName));
            return false;
        }
        for (const SelectedPatch& patch : result_.selection.selectedPatches) {
            const std::string fileName = PackageFileName(patch.url);
            Report(StageWord(kStageDownloadStarting));
            const PackageDownload download{patch, folders_.installRoot, folder + "/" + fileName,
                                           report_, NoteRoute()};
            if (const ErrorCode code = DownloadPackage(download); code != kOk) {
                Report(ErrorWord(code));
                return false;
            }
        }
        return true;
    }

    void ApplyAll() const {
        Report(StageWord(kStageApplyStarting));
        for (const SelectedPatch& patch : result_.selection.selectedPatches) {
            ErrorCode failure = kOk;
            if (!ApplyPatchPackage(folders_, PackageFileName(patch.url), patch.version, report_,
                                   &failure)) {
                Report(ErrorWord(failure));
                return;
            }
        }
        Report(StageWord(kStageAllApplied));
    }

    StatusCallback report_;
    const std::vector<Ed25519PublicKey>& trustedKeys_;
    // The installation and its download folder, as the settings name them.
    const InstallationFolders folders_;
    UpdateReport result_;
    std::string response_;  // the patch list
};

// A run that could not even set out for want of memory: its one word, if the
// receiver can take it, and a report of nothing done.
UpdateReport NotStarted(StatusCallback statusCallback, bool signatureRequired) {
    try {
        statusCallback(ErrorWord(kOutOfMemory));
    } catch (const std::exception&) {
    }
    UpdateReport report;
    report.signatureRequired = signatureRequired;
    return report;
}

}  // namespace

UpdateReport UpdateWorker(StatusCallback statusCallback, const std::string& installRoot) {
    try {
        return UpdateWorker(statusCallback, UpdateSettings{installRoot, BuildTrustedKeys()});
    } catch (const std::exception&) {
        // Not even the keys (or the root) fit in memory. Going on without
        // keys would take an unsigned list, so the run ends here, as any run
        // out of memory.
        return NotStarted(statusCallback, true);
    }
}

UpdateReport UpdateWorker(StatusCallback statusCallback, const UpdateSettings& settings) {
    std::optional<UpdateRun> run;
    try {
        run.emplace(statusCallback, settings);
    } catch (const std::bad_alloc&) {
        return NotStarted(statusCallback, !settings.trustedKeys.empty());
    }
    return run->Run();
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

bool HasOwnUsablePackageFiles(const std::vector<SelectedPatch>& patches) {
    std::vector<std::string> names;
    for (const SelectedPatch& patch : patches) {
        std::string name = PackageFileName(patch.url);
        if (!IsUsablePackageFileName(name))
            return false;
        if (std::any_of(names.begin(), names.end(), [&name](const std::string& earlier) {
                return platform::SameFileName(earlier, name);
            })) {
            return false;
        }
        names.push_back(std::move(name));
    }
    return true;
}
