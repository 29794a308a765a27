#include "inspect_output.h"

#include <cstdio>
#include <iomanip>

#include "arguments.h"

namespace {

const char* KindName(EntryKind kind) {
    switch (kind) {
        case EntryKind::kAdd:
            return "add";
        case EntryKind::kModify:
            return "modify";
        case EntryKind::kDelta:
            return "delta";
        case EntryKind::kCheck:
            return "check";
        case EntryKind::kRemove:
            return "remove";
    }
    return "?";
}

std::string HexDigest(const std::array<std::uint8_t, 32>& digest) {
    std::string text;
    for (const std::uint8_t byte : digest) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", byte);
        text += pair;
    }
    return text;
}

// The table's final-size and old-size cells: a remove entry leaves no file,
// and only delta, check and remove entries name an old one.
std::string FinalSizeCell(const EntrySummary& entry) {
    return entry.kind == EntryKind::kRemove ? "-" : std::to_string(entry.finalSize);
}

std::string OldSizeCell(const EntrySummary& entry) {
    const bool named = entry.kind == EntryKind::kDelta || entry.oldFile.has_value();
    return named ? std::to_string(entry.oldSize) : "-";
}

// The length of the UTF-8 sequence that starts at `i`, or 0 when the bytes
// there are no valid sequence.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    std::uint32_t smallest = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        smallest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        smallest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        smallest = 0x10000;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    std::uint32_t code = lead & (0x7Fu >> length);
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        code = code << 6 | (byte(i + k) & 0x3Fu);
    }
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return code < smallest || code > 0x10FFFF || surrogate ? 0 : length;
}

std::string EscapedByte(unsigned char byte) {
    char text[7];
    std::snprintf(text, sizeof text, "\\u%04X", byte);
    return text;
}

}  // namespace

std::string JsonString(std::string_view text) {
    std::string json = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '"' || byte == '\\') {
            json += '\\';
            json += static_cast<char>(byte);
            ++i;
        } else if (byte < 0x20 || byte == 0x7F) {
            json += EscapedByte(byte);
            ++i;
        } else if (byte < 0x80) {
            json += static_cast<char>(byte);
            ++i;
        } else if (const std::size_t length = Utf8SequenceLength(text, i); length != 0) {
            json.append(text.substr(i, length));
            i += length;
        } else {
            json += EscapedByte(byte);
            ++i;
        }
    }
    return json + "\"";
}

void PrintSummaryTable(const std::string& fileName, const PackageSummary& summary,
                       std::ostream& out) {
    const PackageHeader& header = summary.header;
    out << "package   " << fileName << "\n"
        << "size      " << summary.fileSize << " bytes\n"
        << "codec     " << CodecName(header.codec) << "\n"
        << "version   " << FormatVersion(header.version) << "\n"
        << "unpacked  " << header.unpackedSize << " bytes\n"
        << "entries   " << summary.entries.size() << "\n\n";
    out << std::left << std::setw(6) << "kind" << std::right << std::setw(12) << "final size"
        << std::setw(12) << "old size" << std::setw(13) << "data length" << std::setw(9)
        << "records"
        << "  name\n";
    for (const EntrySummary& entry : summary.entries) {
        out << std::left << std::setw(6) << KindName(entry.kind) << std::right << std::setw(12)
            << FinalSizeCell(entry) << std::setw(12) << OldSizeCell(entry) << std::setw(13)
            << entry.dataLength << std::setw(9)
            << (entry.kind == EntryKind::kModify ? std::to_string(entry.records) : "-") << "  "
            << entry.name << "\n";
    }
}

void PrintSummaryJson(const std::string& fileName, const PackageSummary& summary,
                      std::ostream& out) {
    const PackageHeader& header = summary.header;
    out << "{\n  \"file\": " << JsonString(fileName) << ",\n  \"file_size\": " << summary.fileSize
        << ",\n  \"codec\": \"" << CodecName(header.codec) << "\",\n  \"version\": \""
        << FormatVersion(header.version) << "\",\n  \"unpacked_size\": " << header.unpackedSize
        << ",\n  \"entries\": [";
    const char* separator = "\n";
    for (const EntrySummary& entry : summary.entries) {
        out << separator << "    {\"kind\": \"" << KindName(entry.kind)
            << "\", \"name\": " << JsonString(entry.name) << ", \"final_size\": " << entry.finalSize
            << ", \"data_length\": " << entry.dataLength << ", \"records\": " << entry.records;
        if (entry.kind == EntryKind::kDelta || entry.oldFile)
            out << ", \"old_size\": " << entry.oldSize;
        if (entry.oldFile)
            out << ", \"old_sha256\": \"" << HexDigest(entry.oldFile->digest) << "\"";
        if (entry.newFile)
            out << ", \"new_sha256\": \"" << HexDigest(entry.newFile->digest) << "\"";
        out << "}";
        separator = ",\n";
    }
    out << (summary.entries.empty() ? "]\n}\n" : "\n  ]\n}\n");
}
