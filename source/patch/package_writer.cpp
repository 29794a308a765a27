#include "patch/package_writer.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "delta/delta_builder.h"
#include "platform/replace_file.h"
#include "trust/sha256.h"

namespace {

void AppendU32(std::string& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<char>((value >> shift) & 0xFFu));
    }
}

bool FitsU32(std::size_t length) {
    return length <= UINT32_MAX;
}

bool EncodeRecords(const std::vector<DiffRecordSource>& records, std::string* data) {
    for (const DiffRecordSource& record : records) {
        if (!FitsU32(record.bytes.size()))
            return false;
        std::uint8_t header[kDiffRecordHeaderSize];
        EncodeDiffRecordHeader({record.seek, static_cast<std::uint32_t>(record.bytes.size())},
                               header);
        data->append(reinterpret_cast<const char*>(header), sizeof header);
        data->append(record.bytes);
    }
    return true;
}

void AppendU64(std::string& out, std::uint64_t value) {
    AppendU32(out, static_cast<std::uint32_t>(value));
    AppendU32(out, static_cast<std::uint32_t>(value >> 32));
}

void AppendDigest(std::string& out, const std::array<std::uint8_t, 32>& digest) {
    out.append(reinterpret_cast<const char*>(digest.data()), digest.size());
}

std::string DeltaData(const EntrySource& entry) {
    std::string data;
    data.reserve(kDeltaPreambleSize + entry.content.size());
    AppendU64(data, entry.preamble.oldSize);
    AppendDigest(data, entry.preamble.oldDigest);
    AppendU64(data, entry.preamble.newSize);
    AppendDigest(data, entry.preamble.newDigest);
    return data + entry.content;
}

void AppendIdentity(std::string& out, const FileIdentity& file) {
    AppendU64(out, file.size);
    AppendDigest(out, file.digest);
}

bool EncodeEntry(const EntrySource& entry, std::string* payload) {
    if (entry.name.find('\0') != std::string::npos || entry.name.size() > kMaxEntryNameLength) {
        return false;
    }
    std::string encoded;
    if (entry.kind == EntryKind::kModify && !EncodeRecords(entry.records, &encoded))
        return false;
    if (entry.kind == EntryKind::kDelta)
        encoded = DeltaData(entry);
    if (entry.kind == EntryKind::kCheck) {
        AppendIdentity(encoded, {entry.preamble.oldSize, entry.preamble.oldDigest});
        AppendIdentity(encoded, {entry.preamble.newSize, entry.preamble.newDigest});
    }
    if (entry.kind == EntryKind::kRemove && entry.expected)
        AppendIdentity(encoded, *entry.expected);
    const std::string& data = entry.kind == EntryKind::kAdd ? entry.content : encoded;
    if (!FitsU32(data.size()))
        return false;

    AppendU32(*payload, TagOfEntryKind(entry.kind));
    AppendU32(*payload, static_cast<std::uint32_t>(entry.finalSize));
    AppendU32(*payload, static_cast<std::uint32_t>(entry.name.size() + 1));
    payload->append(entry.name);
    payload->push_back('\0');
    AppendU32(*payload, static_cast<std::uint32_t>(data.size()));
    payload->append(data);
    return true;
}

}  // namespace

EntrySource EntrySource::Add(std::string name, std::string content) {
    EntrySource entry;
    entry.kind = EntryKind::kAdd;
    entry.name = std::move(name);
    entry.content = std::move(content);
    return entry;
}

EntrySource EntrySource::Modify(std::string name, std::vector<DiffRecordSource> records,
                                std::int32_t finalSize) {
    EntrySource entry;
    entry.kind = EntryKind::kModify;
    entry.name = std::move(name);
    entry.records = std::move(records);
    entry.finalSize = finalSize;
    return entry;
}

EntrySource EntrySource::Delta(std::string name, const DeltaPreamble& preamble, std::string delta) {
    EntrySource entry;
    entry.kind = EntryKind::kDelta;
    entry.name = std::move(name);
    entry.preamble = preamble;
    // The final-size field carries the new size where it fits; readers go
    // by the preamble's 64-bit one.
    entry.finalSize =
        preamble.newSize <= INT32_MAX ? static_cast<std::int32_t>(preamble.newSize) : 0;
    entry.content = std::move(delta);
    return entry;
}

EntrySource EntrySource::Check(std::string name, const CheckFields& fields) {
    EntrySource entry;
    entry.kind = EntryKind::kCheck;
    entry.name = std::move(name);
    entry.preamble.oldSize = fields.oldFile.size;
    entry.preamble.oldDigest = fields.oldFile.digest;
    entry.preamble.newSize = fields.newFile.size;
    entry.preamble.newDigest = fields.newFile.digest;
    return entry;
}

EntrySource EntrySource::Remove(std::string name, std::optional<FileIdentity> expected) {
    EntrySource entry;
    entry.kind = EntryKind::kRemove;
    entry.name = std::move(name);
    entry.expected = expected;
    return entry;
}

FileIdentity IdentityOf(std::string_view bytes) {
    return {bytes.size(), Sha256Of(bytes)};
}

bool MakeDeltaEntry(std::string name, std::string_view oldBytes, std::string_view newBytes,
                    EntrySource* entry) {
    const auto bytesOf = [](std::string_view text) {
        return std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()),
                                             text.size());
    };
    std::string delta;
    if (!BuildDelta(bytesOf(oldBytes), bytesOf(newBytes), &delta))
        return false;
    DeltaPreamble preamble;
    preamble.oldSize = oldBytes.size();
    preamble.oldDigest = Sha256Of(oldBytes);
    preamble.newSize = newBytes.size();
    preamble.newDigest = Sha256Of(newBytes);
    *entry = EntrySource::Delta(std::move(name), preamble, std::move(delta));
    return true;
}

bool EncodePayload(const std::vector<EntrySource>& entries, std::string* payload) {
    payload->clear();
    for (const EntrySource& entry : entries) {
        if (!EncodeEntry(entry, payload))
            return false;
    }
    AppendU32(*payload, kEndTag);
    return FitsU32(payload->size());
}

bool PackPayload(PackageCodec codec, PackedVersion version, const std::string& payload,
                 std::string* package) {
    if (!FitsU32(payload.size()))
        return false;
    package->clear();
    AppendU32(*package, CodecOf(codec).magic);
    AppendU32(*package, version);
    AppendU32(*package, static_cast<std::uint32_t>(payload.size()));
    return CompressPayload(codec, payload, package);
}

bool BuildPackage(PackageCodec codec, PackedVersion version,
                  const std::vector<EntrySource>& entries, std::string* package) {
    const bool deltaAllowed = CodecOf(codec).deltaEntries;
    if (!deltaAllowed && std::any_of(entries.begin(), entries.end(), [](const EntrySource& entry) {
            return NeedsDeltaCodec(entry.kind);
        })) {
        return false;
    }
    std::string payload;
    return EncodePayload(entries, &payload) && PackPayload(codec, version, payload, package);
}

bool SavePackage(const std::string& path, const std::string& package) {
    return platform::ReplaceFile(path, [&package](std::FILE* file) {
        return platform::WriteAllBytes(file, package.data(), package.size());
    });
}
