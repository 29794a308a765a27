#include "patch/package_writer.h"

#include <cstdint>
#include <utility>

#include "platform/replace_file.h"

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
        AppendU32(*data, static_cast<std::uint32_t>(record.seek));
        AppendU32(*data, static_cast<std::uint32_t>(record.bytes.size()));
        data->append(record.bytes);
    }
    return true;
}

bool EncodeEntry(const EntrySource& entry, std::string* payload) {
    if (entry.name.find('\0') != std::string::npos || entry.name.size() > kMaxEntryNameLength) {
        return false;
    }
    std::string records;
    if (entry.kind == EntryKind::kModify && !EncodeRecords(entry.records, &records))
        return false;
    const std::string& data = entry.kind == EntryKind::kAdd ? entry.content : records;
    if (!FitsU32(data.size()))
        return false;

    AppendU32(*payload, entry.kind == EntryKind::kAdd ? kAddTag : kModifyTag);
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
    std::string payload;
    return EncodePayload(entries, &payload) && PackPayload(codec, version, payload, package);
}

bool SavePackage(const std::string& path, const std::string& package) {
    return platform::ReplaceFile(path, [&package](std::FILE* file) {
        return platform::WriteAllBytes(file, package.data(), package.size());
    });
}
