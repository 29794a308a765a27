#include "patch/package_writer.h"

#include <bzlib.h>
#include <lzo/lzo1x.h>

#include <climits>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>

#include "platform/platform.h"

namespace {

// bzip2's strongest block size and its default work factor (0 picks it).
constexpr int kBzip2BlockSize100k = 9;
constexpr int kBzip2WorkFactor = 0;

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
    if (entry.name.find('\0') != std::string::npos || !FitsU32(entry.name.size() + 1)) {
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

bool CompressLzo1x(const std::string& payload, std::string* out) {
    if (!LzoReady())
        return false;
    // liblzo2's documented worst case for incompressible input.
    const std::size_t bound = payload.size() + payload.size() / 16 + 64 + 3;
    const std::size_t start = out->size();
    out->resize(start + bound);
    std::unique_ptr<std::uint8_t[]> workMemory(new (std::nothrow)
                                                   std::uint8_t[LZO1X_1_MEM_COMPRESS]);
    if (!workMemory)
        return false;
    lzo_uint produced = bound;
    const int result = lzo1x_1_compress(
        reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size(),
        reinterpret_cast<std::uint8_t*>(out->data() + start), &produced, workMemory.get());
    if (result != LZO_E_OK)
        return false;
    out->resize(start + produced);
    return true;
}

bool CompressBzip2(const std::string& payload, std::string* out) {
    if (payload.size() > UINT_MAX)
        return false;
    // bzlib's documented worst case: 1% above the input plus 600 bytes.
    const std::size_t bound = payload.size() + payload.size() / 100 + 600;
    if (bound > UINT_MAX)
        return false;
    const std::size_t start = out->size();
    out->resize(start + bound);
    unsigned int produced = static_cast<unsigned int>(bound);
    // The library's interface is not const-correct; it only reads the source.
    const int result = BZ2_bzBuffToBuffCompress(
        out->data() + start, &produced, const_cast<char*>(payload.data()),
        static_cast<unsigned int>(payload.size()), kBzip2BlockSize100k, 0, kBzip2WorkFactor);
    if (result != BZ_OK)
        return false;
    out->resize(start + produced);
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
    AppendU32(*package, MagicOf(codec));
    AppendU32(*package, version);
    AppendU32(*package, static_cast<std::uint32_t>(payload.size()));
    return codec == PackageCodec::kLzo1x ? CompressLzo1x(payload, package)
                                         : CompressBzip2(payload, package);
}

bool BuildPackage(PackageCodec codec, PackedVersion version,
                  const std::vector<EntrySource>& entries, std::string* package) {
    std::string payload;
    return EncodePayload(entries, &payload) && PackPayload(codec, version, payload, package);
}

bool SavePackage(const std::string& path, const std::string& package) {
    std::FILE* file = platform::OpenFile(path, "wb");
    if (file == nullptr)
        return false;
    const bool written =
        package.empty() || platform::WriteFile(package.data(), package.size(), 1, file) == 1;
    const bool closed = platform::CloseFile(file) == 0;
    return written && closed;
}
