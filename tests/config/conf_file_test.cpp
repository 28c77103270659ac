#include "config/conf_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

ConfFile FileOf(const std::string& text) {
    ConfFile file;
    file.SetText(text);
    return file;
}

// An owner's file: comments, blank lines, an unknown key, a duplicated
// key, both line endings, UTF-8 text, odd spacing, a stray CR inside a
// line and a last line without its line break.
const std::string kHandEdited =
    "# Tarnhold \xE2\x80\x94 network settings\r\n"
    "\r\n"
    "passive_ports=50000-50099\n"
    "   # indented comment = not a key\r\n"
    "future_key = some value \xC3\xA9t\xC3\xA9\r\n"
    "\t\n"
    "passive_ports   =   40000-40009   \r\n"
    "odd = a\rb\n"
    "port_mapping = yes";

TEST(ConfFileTest, TextComesBackByteForByte) {
    for (const std::string& text :
         {std::string(), std::string("\n"), std::string("\r\n\r\n"), std::string("no newline"),
          std::string("\xEF\xBB\xBFpassive_ports = 1\n"), std::string("a = 1\n\n\n"),
          std::string("\r"), kHandEdited}) {
        SCOPED_TRACE(testing::PrintToString(text));
        EXPECT_EQ(FileOf(text).Text(), text);
    }
}

TEST(ConfFileTest, SettingsAreReadWithLineNumbersAndTheLastLineCounts) {
    const ConfFile file = FileOf(kHandEdited + "\nnot a setting\n= value without key\n");
    struct Row {
        std::size_t line;
        std::string key, value;
        bool malformed;
    };
    std::vector<Row> rows;
    for (const ConfFile::Setting& s : file.Settings()) {
        rows.push_back({s.line, std::string(s.key), std::string(s.value), s.malformed});
    }
    const std::vector<Row> expected = {
        {3, "passive_ports", "50000-50099", false},
        {5, "future_key", "some value \xC3\xA9t\xC3\xA9", false},
        {7, "passive_ports", "40000-40009", false},
        {8, "odd", "a\rb", false},
        {9, "port_mapping", "yes", false},
        {10, "not a setting", "", true},
        {11, "= value without key", "", true},
    };
    ASSERT_EQ(rows.size(), expected.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(rows[i].line, expected[i].line);
        EXPECT_EQ(rows[i].key, expected[i].key);
        EXPECT_EQ(rows[i].value, expected[i].value);
        EXPECT_EQ(rows[i].malformed, expected[i].malformed);
    }
    EXPECT_EQ(file.Value("passive_ports"), "40000-40009");
    EXPECT_EQ(file.Value("indented comment"), std::nullopt);
    EXPECT_EQ(file.Value("Port_Mapping"), std::nullopt);  // keys compare exactly
    EXPECT_EQ(FileOf("\xEF\xBB\xBFport_mapping = yes\n").Value("port_mapping"), "yes");
}

TEST(ConfFileTest, SetChangesOnlyTheValueOfTheLastLineOrAppends) {
    struct Case {
        std::string before, key, value, after;
    };
    const Case cases[] = {
        // In place: key, spacing and line ending stay.
        {"# c\r\nb=2\r\nc = 3\r\n", "b", "20", "# c\r\nb=20\r\nc = 3\r\n"},
        {"p = 1\np = 2\n# p = 3\n", "p", "9", "p = 1\np = 9\n# p = 3\n"},
        {"p  =  1   \r\n", "p", "2", "p  =  2\r\n"},
        {"p = 1", "p", "2", "p = 2"},
        {"\xEF\xBB\xBFp = 1\n", "p", "2", "\xEF\xBB\xBFp = 2\n"},
        // An empty value is "key =".
        {"p = 1\r\n", "p", "", "p =\r\n"},
        {"p = 1\n", "q", "", "p = 1\nq =\n"},
        {"p =\n", "p", "5", "p = 5\n"},
        {"p=\n", "p", "5", "p=5\n"},
        // Appended with the file's own line ending.
        {"", "p", "1", "p = 1\n"},
        {"# only a comment\r\n", "p", "1", "# only a comment\r\np = 1\r\n"},
        {"# c\r\na = 1", "p", "1", "# c\r\na = 1\r\np = 1\r\n"},
        {"a = 1", "p", "1", "a = 1\np = 1\n"},
        {"# p = 1\n", "p", "2", "# p = 1\np = 2\n"},
        {"p\n", "p", "2", "p\np = 2\n"},  // a malformed line is not the key's
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.before) + " " + c.key + "=" + c.value);
        ConfFile file = FileOf(c.before);
        file.Set(c.key, c.value);
        EXPECT_EQ(file.Text(), c.after);
        EXPECT_EQ(file.Value(c.key), c.value);
    }
}

}  // namespace
