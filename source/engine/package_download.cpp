#include "engine/package_download.h"

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/file_digest.h"
#include "platform/platform.h"
#include "platform/replace_file.h"
#include "transfer/http_get.h"
#include "trust/sha256.h"

namespace {

// An origin file holds a URL and a validator; anything longer is not one.
constexpr std::size_t kOriginCap = 16 * 1024;

// Large enough that a fast download costs few write calls, small enough to
// be nothing beside the rest of the process, whatever the package's size
// (two are in use: one filling, one being written).
constexpr std::size_t kFileBufferSize = std::size_t{1} << 20;

// Where a package's bytes came from: its URL and the server's validator for
// that version of it, one per line, kept beside the package. A file of
// another URL (two records may share a file name) or of another version of
// the server's file must never be continued as this one.
struct Origin {
    std::string url;
    std::string validator;
};

std::optional<Origin> ReadOrigin(const std::string& path) {
    std::FILE* file = platform::OpenFile(path, "rb");
    if (file == nullptr)
        return std::nullopt;
    std::string text(kOriginCap + 1, '\0');
    text.resize(platform::ReadFile(text.data(), 1, text.size(), file));
    platform::CloseFile(file);
    const std::size_t urlEnd = text.find('\n');
    const std::size_t validatorEnd =
        urlEnd == std::string::npos ? urlEnd : text.find('\n', urlEnd + 1);
    if (text.size() > kOriginCap || validatorEnd == std::string::npos)
        return Origin{};  // damaged: matches no URL, so the bytes are fetched again
    return Origin{text.substr(0, urlEnd), text.substr(urlEnd + 1, validatorEnd - urlEnd - 1)};
}

// Replaced whole and synced, like every file the updater keeps: after a
// power cut the origin is either the one before or this one.
bool WriteOrigin(const std::string& path, const Origin& origin) {
    const std::string text = origin.url + "\n" + origin.validator + "\n";
    return platform::ReplaceFile(path, [&text](std::FILE* file) {
        return platform::WriteAllBytes(file, text.data(), text.size());
    });
}

// Writes full buffers to the file, and hashes them, on threads of their own
// (one each, working on the same buffer side by side), so that the next
// buffer fills from the network meanwhile. On a fast connection hashing and
// writing would each take a good share of the time the body takes to arrive;
// overlapped with the receiving, they cost little. One buffer is handed over
// at a time, in order, so the file and the digest see the bytes exactly as
// they came.
class WriteBehind {
  public:
    // `hash` may be null: then there is no hashing thread.
    WriteBehind(std::FILE* file, Sha256* hash) : file_(file), hash_(hash) {
        writer_ = std::thread([this] { Work(&WriteBehind::WritePending); });
        if (hash_ != nullptr)
            hasher_ = std::thread([this] { Work(&WriteBehind::HashPending); });
    }
    ~WriteBehind() { Stop(); }
    WriteBehind(const WriteBehind&) = delete;
    WriteBehind& operator=(const WriteBehind&) = delete;

    // Takes the bytes of `full`, which comes back empty; waits while the
    // buffer before it is still being written or hashed. False once a write
    // failed.
    bool Hand(std::vector<char>& full) {
        std::unique_lock lock(mutex_);
        idle_.wait(lock, [this] { return outstanding_ == 0; });
        if (failed_)
            return false;
        full.swap(pending_);
        full.clear();
        ++generation_;
        outstanding_ = hash_ != nullptr ? 2 : 1;
        work_.notify_all();
        return true;
    }

    // Waits for the last buffer and ends the threads; true when every buffer
    // was written whole.
    bool Stop() {
        {
            std::unique_lock lock(mutex_);
            idle_.wait(lock, [this] { return outstanding_ == 0; });
            stopping_ = true;
            work_.notify_all();
        }
        for (std::thread* thread : {&writer_, &hasher_}) {
            if (thread->joinable())
                thread->join();
        }
        return !failed_;
    }

  private:
    bool WritePending() {
        return platform::WriteFile(pending_.data(), 1, pending_.size(), file_) == pending_.size();
    }
    bool HashPending() {
        hash_->Update(pending_.data(), pending_.size());
        return true;
    }

    // One thread's loop: its part of each buffer handed over, until stopped.
    void Work(bool (WriteBehind::*part)()) {
        std::uint64_t done = 0;
        std::unique_lock lock(mutex_);
        for (;;) {
            work_.wait(lock, [&] { return generation_ != done || stopping_; });
            if (generation_ == done)
                return;
            done = generation_;
            // The receiving thread waits for outstanding_ to reach 0 before
            // it touches pending_ again; until then both threads only read it.
            lock.unlock();
            const bool succeeded = (this->*part)();
            lock.lock();
            failed_ = failed_ || !succeeded;
            if (--outstanding_ == 0)
                idle_.notify_one();
        }
    }

    std::FILE* file_;
    Sha256* hash_;
    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable idle_;
    std::vector<char> pending_;
    std::uint64_t generation_ = 0;  // buffers handed over so far
    int outstanding_ = 0;           // threads still working on the last one
    bool stopping_ = false;
    bool failed_ = false;
    std::thread writer_;
    std::thread hasher_;
};

// The partial file as the body's destination: started afresh for a whole
// body, appended to for a continued one, written through one fixed buffer.
// With `hashing`, the digest covers the whole file, the part that was on disk
// before the body included. A body started afresh records its origin.
class PartialFile final : public BodySink {
  public:
    PartialFile(std::string path, std::string originPath, std::string url, bool hashing)
        : path_(std::move(path)), originPath_(std::move(originPath)), url_(std::move(url)) {
        if (hashing)
            hash_.emplace();
    }
    ~PartialFile() override {
        writer_.reset();
        if (file_ != nullptr)
            platform::CloseFile(file_);
    }
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    bool Start(const BodyStart& start) override {
        startedAt_ = start.offset;
        if (start.offset > 0 && hash_ && !HashFilePrefix(path_, start.offset, buffer_, *hash_))
            return false;
        file_ = platform::OpenFile(path_, start.offset == 0 ? "wb" : "ab");
        if (file_ == nullptr)
            return false;
        buffer_.reserve(kFileBufferSize);
        writer_.emplace(file_, hash_ ? &*hash_ : nullptr);
        // Recorded once the old bytes are gone, also from the disk: a kill or
        // a power cut in between leaves an empty partial file, which is
        // fetched afresh whatever its origin, never old bytes under the new
        // origin.
        return start.offset > 0 || (platform::SyncFile(file_) == 0 &&
                                    WriteOrigin(originPath_, {url_, start.validator}));
    }

    bool Take(const char* data, std::size_t size) override {
        if (buffer_.size() + size > kFileBufferSize) {
            if (!writer_->Hand(buffer_))
                return false;
            buffer_.reserve(kFileBufferSize);
        }
        buffer_.insert(buffer_.end(), data, data + size);
        return true;
    }

    // Writes what is buffered, syncs and closes the file; true when every
    // byte reached the disk (a failed sync or close means some may not), and
    // when no body was started at all. Synced here, the file may be moved to
    // the package's name at once.
    bool Close() {
        if (file_ == nullptr)
            return true;
        const bool handed = buffer_.empty() || writer_->Hand(buffer_);
        const bool written = writer_->Stop() && handed && platform::SyncFile(file_) == 0;
        writer_.reset();
        const bool closed = platform::CloseFile(file_) == 0;
        file_ = nullptr;
        return written && closed;
    }

    // Where the body started in the package; -1 when none was started.
    std::int64_t startedAt() const { return startedAt_; }
    Sha256Digest Digest() { return hash_->Finish(); }

  private:
    std::string path_;
    std::string originPath_;
    std::string url_;
    std::optional<Sha256> hash_;
    std::FILE* file_ = nullptr;
    std::vector<char> buffer_;
    std::optional<WriteBehind> writer_;  // while the file is open
    std::int64_t startedAt_ = -1;
};

// One package's download, which may take a second request when the first
// shows the partial file cannot be continued.
class Download {
  public:
    explicit Download(const PackageDownload& download)
        : download_(download),
          partialPath_(download.path + kPartialSuffix),
          originPath_(download.path + kOriginSuffix) {}

    ErrorCode Run() {
        // A link standing at either name, or a download folder that is a
        // link, must not carry the server's bytes out of the installation.
        if (!platform::ResolvesInside(download_.installRoot, download_.path) ||
            !platform::ResolvesInside(download_.installRoot, partialPath_) ||
            !platform::ResolvesInside(download_.installRoot, originPath_)) {
            return kPackageFileFailed;
        }
        if (TakeWholePackage())
            return kOk;
        for (;;) {
            const Attempt attempt = Fetch();
            if (!attempt.startOver)
                return attempt.code;
            // Fetched again from the start: without the partial file the next
            // request asks for no range, so this happens at most once.
            if (!Discard())
                return kPackageFileFailed;
        }
    }

  private:
    struct Attempt {
        ErrorCode code = kOk;
        bool startOver = false;
    };

    bool HasDigest() const { return download_.patch.digest.kind == PackageDigest::Kind::kSha256; }

    // True when the package already stands whole under its name.
    bool TakeWholePackage() {
        if (platform::RegularFileSize(download_.path) < 0)
            return false;
        if (HasDigest()) {
            if (DigestOfFile(download_.path) == download_.patch.digest.sha256)
                return true;
            platform::RemoveFile(download_.path);
            return false;
        }
        // Whole by its size, which only the server knows: continuing it from
        // its end is answered by "416" with that size when it is whole.
        if (platform::MoveFileOver(download_.path, partialPath_) == 0)
            platform::SyncFolderOf(partialPath_);  // either name holds the whole file
        return false;
    }

    // The bytes on disk to continue from, and the validator to continue
    // them with; bytes of another URL are dropped first. Bytes without a
    // recorded origin (left by an updater that kept none) are continued
    // without a validator.
    std::int64_t BytesToContinue(std::string& validator) {
        const std::int64_t onDisk = platform::RegularFileSize(partialPath_);
        if (onDisk <= 0)
            return 0;
        const std::optional<Origin> origin = ReadOrigin(originPath_);
        if (origin && origin->url != download_.patch.url) {
            Discard();
            return 0;
        }
        if (origin)
            validator = origin->validator;
        return onDisk;
    }

    Attempt Fetch() {
        HttpRequest request{download_.patch.url, BodyKind::kPackage, {kPackageBudgetSeconds, 0}};
        request.progress = download_.progress;
        request.observeRoute = download_.observeRoute;
        const std::int64_t onDisk = BytesToContinue(request.ifRange);
        request.resumeFrom = onDisk;
        PartialFile file(partialPath_, originPath_, download_.patch.url, HasDigest());
        const HttpResult result = HttpGet(request, file);
        if (!file.Close())
            return {kPackageFileFailed};
        if (result.range == RangeAnswer::kUnsatisfiable) {
            if (result.total == onDisk)
                return Finish(HasDigest() ? DigestOfFile(partialPath_) : std::nullopt, false);
            return {kOk, true};  // longer than the package: not a part of it
        }
        if (result.range == RangeAnswer::kMismatch) {
            Discard();
            return {kStatusNotAccepted};
        }
        if (result.code != kOk)
            return {result.code};
        if (!result.wholeAsAnnounced) {
            // A body that ran past its announced length was kept only up to
            // it, and would pass as whole when continued: it is not the
            // package, so nothing of it is kept. One cut short is continued
            // by the next run.
            if (result.total >= 0 && platform::RegularFileSize(partialPath_) >= result.total)
                Discard();
            return {kPackageIncomplete};
        }
        return Finish(HasDigest() ? std::optional(file.Digest()) : std::nullopt,
                      file.startedAt() > 0);
    }

    // The partial file is whole: checked against the digest and moved to the
    // package's name. A continued file that does not match may have been
    // spliced from two versions of the server's file, so it is fetched again
    // from the start; a whole one that does not match is not the publisher's.
    Attempt Finish(const std::optional<Sha256Digest>& digest, bool continued) {
        if (HasDigest() && digest != download_.patch.digest.sha256) {
            if (continued)
                return {kOk, true};
            Discard();
            return {kDigestMismatch};
        }
        // The file was synced when it was closed; once its new name is on
        // the disk too, the package may be applied.
        if (platform::MoveFileOver(partialPath_, download_.path) != 0 ||
            platform::SyncFolderOf(download_.path) != 0) {
            return {kPackageFileFailed};
        }
        return {kOk};
    }

    // The origin goes with the bytes it describes, and after them: a kill or
    // a power cut in between leaves an origin without bytes, which is
    // harmless, never bytes without their origin, which would be continued
    // with no validator at all.
    bool Discard() const {
        const bool removed = platform::RemoveFile(partialPath_) == 0;
        platform::SyncFolderOf(partialPath_);
        platform::RemoveFile(originPath_);
        return removed;
    }

    const PackageDownload& download_;
    std::string partialPath_;
    std::string originPath_;
};

}  // namespace

ErrorCode DownloadPackage(const PackageDownload& download) {
    return Download(download).Run();
}
