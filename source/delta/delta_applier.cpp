#include "delta/delta_applier.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "delta/delta_format.h"

namespace {

struct Record {
    std::int64_t seek;
    std::uint32_t copy;
    std::uint32_t literal;
};

Record RecordAt(const std::uint8_t* bytes) {
    return {static_cast<std::int64_t>(GetLe(bytes, 8)),
            static_cast<std::uint32_t>(GetLe(bytes + 8, 4)),
            static_cast<std::uint32_t>(GetLe(bytes + 12, 4))};
}

// Moves `*position` by `seek` when that keeps it within [0, limit].
bool Seek(std::int64_t seek, std::uint64_t limit, std::uint64_t* position) {
    if (seek < 0) {
        // -(seek + 1) + 1 is the distance even for the most negative seek.
        const std::uint64_t back = static_cast<std::uint64_t>(-(seek + 1)) + 1;
        if (back > *position)
            return false;
        *position -= back;
    } else {
        if (static_cast<std::uint64_t>(seek) > limit - *position)
            return false;
        *position += static_cast<std::uint64_t>(seek);
    }
    return true;
}

}  // namespace

DeltaApplier::DeltaApplier(std::span<const std::uint8_t> oldBytes, std::uint64_t newSize, Sink sink)
    : old_(oldBytes), newSize_(newSize), sink_(std::move(sink)), wanted_(kDeltaHeaderSize) {}

bool DeltaApplier::Fail(DeltaFailure failure) {
    failure_ = failure;
    pending_ = {};
    output_ = {};
    return false;
}

bool DeltaApplier::Feed(const std::uint8_t* bytes, std::size_t size) {
    if (failure_ != DeltaFailure::kNone)
        return false;
    while (size > 0) {
        if (stage_ == Stage::kEnded)
            return Fail(DeltaFailure::kBytesAfterEnd);
        const std::size_t take = std::min(wanted_ - pending_.size(), size);
        pending_.insert(pending_.end(), bytes, bytes + take);
        bytes += take;
        size -= take;
        if (pending_.size() < wanted_)
            break;
        bool ok = false;
        switch (stage_) {
            case Stage::kHeader:
                ok = TakeHeader();
                break;
            case Stage::kBlockHeader:
                ok = TakeBlockHeader();
                break;
            case Stage::kBlockBody:
                ok = ApplyBlock();
                break;
            case Stage::kEnded:
                break;
        }
        if (!ok)
            return false;
    }
    return true;
}

bool DeltaApplier::Finish() {
    if (failure_ != DeltaFailure::kNone)
        return false;
    if (stage_ != Stage::kEnded)
        return Fail(DeltaFailure::kTruncated);
    return true;
}

bool DeltaApplier::TakeHeader() {
    const std::uint8_t* header = pending_.data();
    if (GetLe(header, 4) != kDeltaMagic)
        return Fail(DeltaFailure::kNotADelta);
    if (GetLe(header + 4, 8) != old_.size())
        return Fail(DeltaFailure::kWrongOldFile);
    if (GetLe(header + 12, 8) != newSize_)
        return Fail(DeltaFailure::kWrongNewSize);
    stage_ = Stage::kBlockHeader;
    wanted_ = kBlockHeaderSize;
    pending_.clear();
    return true;
}

bool DeltaApplier::TakeBlockHeader() {
    const std::uint8_t* header = pending_.data();
    recordCount_ = static_cast<std::uint32_t>(GetLe(header, 4));
    literalLength_ = static_cast<std::uint32_t>(GetLe(header + 4, 4));
    differenceLength_ = static_cast<std::uint32_t>(GetLe(header + 8, 4));
    pending_.clear();
    if (recordCount_ == 0 && differenceLength_ == 0 && literalLength_ == 0) {
        if (written_ != newSize_)
            return Fail(DeltaFailure::kOutputTooShort);
        stage_ = Stage::kEnded;
        return true;
    }
    // Each length is bounded before they are added, so the sum cannot wrap.
    if (recordCount_ == 0 || recordCount_ > kMaxBlockRecords ||
        differenceLength_ > kMaxBlockOutput || literalLength_ > kMaxBlockOutput)
        return Fail(DeltaFailure::kDamagedBlock);
    const std::uint64_t output = std::uint64_t{differenceLength_} + literalLength_;
    if (output == 0 || output > kMaxBlockOutput)
        return Fail(DeltaFailure::kDamagedBlock);
    if (output > newSize_ - written_)
        return Fail(DeltaFailure::kOutputTooLong);
    wanted_ = recordCount_ * kRecordSize + output;
    try {
        pending_.reserve(wanted_);
    } catch (const std::bad_alloc&) {
        return Fail(DeltaFailure::kOutOfMemory);
    }
    stage_ = Stage::kBlockBody;
    return true;
}

// Whether the block's records copy only from within the old file and use up
// exactly its difference and literal bytes.
bool DeltaApplier::RecordsFit() const {
    const std::uint8_t* records = pending_.data();
    std::uint64_t position = oldPosition_;
    std::uint64_t copied = 0;
    std::uint64_t literal = 0;
    for (std::uint32_t i = 0; i < recordCount_; ++i) {
        const Record record = RecordAt(records + i * kRecordSize);
        if (!Seek(record.seek, old_.size(), &position) || record.copy > old_.size() - position ||
            record.copy > differenceLength_ - copied || record.literal > literalLength_ - literal)
            return false;
        position += record.copy;
        copied += record.copy;
        literal += record.literal;
    }
    return copied == differenceLength_ && literal == literalLength_;
}

bool DeltaApplier::ApplyBlock() {
    // Every record is checked before any output is made, so a damaged block
    // writes nothing at all.
    if (!RecordsFit())
        return Fail(DeltaFailure::kDamagedBlock);
    const std::uint8_t* records = pending_.data();
    const std::uint8_t* literals = records + recordCount_ * kRecordSize;
    const std::uint8_t* differences = literals + literalLength_;
    const std::size_t outputLength = std::size_t{differenceLength_} + literalLength_;
    try {
        output_.resize(outputLength);
    } catch (const std::bad_alloc&) {
        return Fail(DeltaFailure::kOutOfMemory);
    }
    std::uint8_t* out = output_.data();
    std::uint64_t position = oldPosition_;
    for (std::uint32_t i = 0; i < recordCount_; ++i) {
        const Record record = RecordAt(records + i * kRecordSize);
        Seek(record.seek, old_.size(), &position);
        const std::uint8_t* from = old_.data() + position;
        for (std::uint32_t j = 0; j < record.copy; ++j)
            out[j] = static_cast<std::uint8_t>(differences[j] + from[j]);
        out += record.copy;
        differences += record.copy;
        position += record.copy;
        std::memcpy(out, literals, record.literal);
        out += record.literal;
        literals += record.literal;
    }
    oldPosition_ = position;

    if (!sink_(output_.data(), outputLength))
        return Fail(DeltaFailure::kSinkFailed);
    written_ += outputLength;
    stage_ = Stage::kBlockHeader;
    wanted_ = kBlockHeaderSize;
    pending_.clear();
    return true;
}
