// The README's table of error codes against the list in error_codes.h: the
// publisher reads the table, the console prints ErrorMeaning, and the two
// must not drift apart.
#include "vocabulary/error_codes.h"

#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

struct TableRow {
    std::string number;
    std::string name;
    std::string meaning;
};

std::string WithoutBackticks(std::string text) {
    std::erase(text, '`');
    return text;
}

std::string Trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// The rows "| code | name | meaning |" of the section "### Error codes",
// backticks dropped; the header and its rule are no rows, as their first cell
// holds no digit.
std::vector<TableRow> ErrorTableOf(const std::string& readmePath) {
    std::ifstream readme(readmePath);
    std::vector<TableRow> rows;
    bool inSection = false;
    for (std::string line; std::getline(readme, line);) {
        if (line.starts_with("#")) {
            inSection = line == "### Error codes";
            continue;
        }
        if (!inSection || !line.starts_with("| "))
            continue;
        std::vector<std::string> cells;
        for (std::size_t start = 1, bar; (bar = line.find('|', start)) != std::string::npos;
             start = bar + 1) {
            cells.push_back(Trimmed(WithoutBackticks(line.substr(start, bar - start))));
        }
        if (cells.size() == 3 && !cells[0].empty() && std::isdigit(cells[0][0]))
            rows.push_back({cells[0], cells[1], cells[2]});
    }
    return rows;
}

// The table's meaning is ErrorMeaning's text, or begins with it and goes on
// after a word's end (": ...", " (...)", "; ...").
bool MeaningAgrees(const std::string& tableMeaning, const std::string& meaning) {
    if (!tableMeaning.starts_with(meaning))
        return false;
    return tableMeaning.size() == meaning.size() ||
           !std::isalnum(static_cast<unsigned char>(tableMeaning[meaning.size()]));
}

TEST(ErrorCodes, ReadmeTableListsEveryCodeOnceWithItsNameAndMeaning) {
    const std::vector<TableRow> rows = ErrorTableOf(UPDATER_README_PATH);
    ASSERT_FALSE(rows.empty()) << "no error table in " << UPDATER_README_PATH;

    std::map<std::string, const ErrorCodeInfo*> codeByNumber;
    for (const ErrorCodeInfo& info : kErrorCodes) {
        EXPECT_TRUE(codeByNumber.emplace(std::to_string(info.code), &info).second)
            << info.name << " shares its number";
    }
    std::set<std::string> listed;
    for (const TableRow& row : rows) {
        EXPECT_TRUE(listed.insert(row.number).second) << "code " << row.number << " listed twice";
        const auto code = codeByNumber.find(row.number);
        if (code == codeByNumber.end()) {
            ADD_FAILURE() << "the table lists code " << row.number << ", which the enum lacks";
            continue;
        }
        EXPECT_EQ(row.name, code->second->name) << "code " << row.number;
        const std::string printed = ErrorMeaning(code->second->code);
        EXPECT_TRUE(MeaningAgrees(row.meaning, printed))
            << "code " << row.number << ": the table says \"" << row.meaning
            << "\", ErrorMeaning \"" << printed << "\"";
    }
    for (const auto& [number, info] : codeByNumber)
        EXPECT_TRUE(listed.contains(number))
            << info->name << " (" << number << ") is not in the table";
}

}  // namespace
