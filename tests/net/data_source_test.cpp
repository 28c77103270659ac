#include "net/data_source.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace {

class DataSourceTest : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarnhold-ds-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::string command = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    std::string Make(const std::string& content, const std::string& name = "f") const {
        std::ofstream(Path(name), std::ios::binary) << content;
        return Path(name);
    }
    std::string Contents(const std::string& path) const {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    std::string dir_;
};

using Lines = std::vector<std::pair<int, std::string>>;

// Every ReadLine result up to and including the first 0.
Lines ReadAll(CIP_FileDataSource& source, int size) {
    Lines lines;
    std::vector<char> buffer(static_cast<std::size_t>(size));
    for (int guard = 0; guard < 100000; ++guard) {
        int n = source.ReadLine(buffer.data(), size);
        lines.emplace_back(n, std::string(buffer.data()));
        if (n <= 0) break;
    }
    return lines;
}

TEST_F(DataSourceTest, ReadLineHandsOutLinesAndPieces) {
    struct Case {
        const char* name;
        std::string content;
        int readAhead;
        int size;
        Lines expected;
    } cases[] = {
        {"empty line counts", std::string("a\r\n\r\nb"), 4096, 1027,
         {{3, "a\r\n"}, {2, "\r\n"}, {1, "b"}, {0, ""}}},
        {"lone LF and CR are no line ends", "a\nb\rc\r\n", 4096, 1027, {{7, "a\nb\rc\r\n"}, {0, ""}}},
        {"size - 4 characters fit whole", std::string(12, 'x') + "\r\n", 4096, 16,
         {{14, std::string(12, 'x') + "\r\n"}, {0, ""}}},
        {"a longer line comes in pieces", std::string(20, 'x') + "\r\nz", 4096, 16,
         {{15, std::string(15, 'x')}, {7, "xxxxx\r\n"}, {1, "z"}, {0, ""}}},
        {"line longer than the read-ahead", "abcdefghij\r\nk", 8, 100,
         {{7, "abcdefg"}, {5, "hij\r\n"}, {1, "k"}, {0, ""}}},
        {"NUL at the front ends the data", std::string("\0abc\r\n", 6), 4096, 1027, {{0, ""}}},
        {"NUL after a piece", std::string("ab\0c\r\n", 6), 4096, 1027, {{2, "ab"}, {0, ""}}},
        {"empty file", "", 4096, 1027, {{0, ""}}},
    };
    for (const Case& c : cases) {
        CIP_FileDataSource source(Make(c.content).c_str(), c.readAhead);
        ASSERT_EQ(source.Open(OPEN_READ), 0) << c.name;
        EXPECT_EQ(ReadAll(source, c.size), c.expected) << c.name;
    }
}

TEST_F(DataSourceTest, LongLineWithoutLineEndComesInBoundedPieces) {
    CIP_FileDataSource source(Make(std::string(5000, 'y')).c_str(), 4096);
    ASSERT_EQ(source.Open(OPEN_READ), 0);
    Lines lines = ReadAll(source, 1027);
    std::size_t total = 0;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        EXPECT_GT(lines[i].first, 0);
        EXPECT_LE(lines[i].first, 1026);
        EXPECT_EQ(lines[i].second.find('\r'), std::string::npos);
        total += lines[i].second.size();
    }
    EXPECT_EQ(total, 5000u);
    EXPECT_EQ(lines.back().first, 0);
}

TEST_F(DataSourceTest, ReadLineRejectsNullBuffer) {
    CIP_FileDataSource source(Make("a\r\n").c_str(), 4096);
    ASSERT_EQ(source.Open(OPEN_READ), 0);
    EXPECT_EQ(source.ReadLine(nullptr, 10), -1);
}

TEST_F(DataSourceTest, WriteLineAddsCrLfUnlessPresent) {
    struct Case {
        const char* text;
        int result;
        std::string written;
    } cases[] = {
        {"x", 1, "x\r\n"}, {"x\r\n", 3, "x\r\n"}, {"x\n", 2, "x\n"}, {"", 0, "\r\n"},
        {nullptr, -1, ""},
    };
    for (const Case& c : cases) {
        CIP_FileDataSource source(Path("w").c_str(), 4096);
        ASSERT_EQ(source.Open(OPEN_CREATE), 0);
        EXPECT_EQ(source.WriteLine(c.text), c.result);
        source.Close();
        EXPECT_EQ(Contents(Path("w")), c.written);
    }
    CIP_FileDataSource closed(Path("w").c_str(), 4096);
    EXPECT_EQ(closed.WriteLine("x"), -1);
}

TEST_F(DataSourceTest, FindLocatesText) {
    std::string boundary = std::string(4093, 'x') + "needle" + std::string(100, 'x');
    std::string far = std::string(10000, 'x') + "needle";
    struct Case {
        const char* name;
        std::string content;
        const char* text;
        std::int64_t start;
        int caseSensitive;
        std::int64_t maxSpan;
        std::int64_t expected;
    } cases[] = {
        {"the whole file", "abc", "abc", 0, 1, 0, 0},
        {"case-insensitive", "xxabc", "ABC", 0, 0, 0, 2},
        {"case-sensitive misses", "xxabc", "ABC", 0, 1, 0, -1},
        {"from a start offset", "abcabc", "abc", 1, 1, 0, 3},
        {"across the window boundary", boundary, "needle", 0, 1, 0, 4093},
        {"far away", far, "needle", 0, 1, 0, 10000},
        {"beyond maxSpan", far, "needle", 0, 1, 5000, -1},
        {"text longer than maxSpan", "abc", "abc", 0, 1, 2, -1},
        {"past a NUL", std::string("a\0bc", 4), "bc", 0, 1, 0, 2},
        {"missing", "abc", "abd", 0, 1, 0, -1},
        {"file shorter than text", "ab", "abc", 0, 1, 0, -1},
        {"empty text", "abc", "", 0, 1, 0, -1},
    };
    for (const Case& c : cases) {
        CIP_FileDataSource source(Make(c.content).c_str(), 4096);
        ASSERT_EQ(source.Open(OPEN_READ), 0);
        EXPECT_EQ(source.Find(c.text, c.start, c.caseSensitive, c.maxSpan), c.expected) << c.name;
    }
    CIP_FileDataSource source(Make("abc").c_str(), 4096);
    ASSERT_EQ(source.Open(OPEN_READ), 0);
    EXPECT_EQ(source.Find(std::string(4096, 'a').c_str(), 0, 1, 0), -1);
    EXPECT_EQ(source.Find(nullptr, 0, 1, 0), -1);
}

TEST_F(DataSourceTest, ReadAndSeekContinueWhereLineReadingStopped) {
    CIP_FileDataSource source(Make("one\r\ntwo\r\nthree").c_str(), 4096);
    ASSERT_EQ(source.Open(OPEN_READ), 0);
    char line[64];
    ASSERT_EQ(source.ReadLine(line, sizeof line), 5);
    char raw[64] = {};
    ASSERT_EQ(source.Read(raw, 5), 5);  // the read-ahead already holds these bytes
    EXPECT_EQ(std::string(raw, 5), "two\r\n");
    ASSERT_EQ(source.Seek(0, SEEK_FROM_START), 0);
    ASSERT_EQ(source.ReadLine(line, sizeof line), 5);
    EXPECT_EQ(source.Seek(1, SEEK_FROM_CURRENT), 6);
    EXPECT_EQ(source.ReadLine(line, sizeof line), 4);
    EXPECT_STREQ(line, "wo\r\n");
}

TEST_F(DataSourceTest, OpenModes) {
    std::string path = Make("old content");
    {
        CIP_FileDataSource create(path.c_str(), 4096);
        ASSERT_EQ(create.Open(OPEN_CREATE), 0);
        EXPECT_EQ(create.Size(), 0);  // emptied
        EXPECT_EQ(create.Write("new", 3), 3);
    }
    {
        CIP_FileDataSource append(path.c_str(), 4096);
        ASSERT_EQ(append.Open(OPEN_APPEND), 0);
        ASSERT_EQ(append.Seek(0, SEEK_FROM_START), 0);
        EXPECT_EQ(append.Write("+", 1), 1);  // still at the end
    }
    EXPECT_EQ(Contents(path), "new+");

    CIP_FileDataSource missing(Path("missing").c_str(), 4096);
    EXPECT_EQ(missing.Open(OPEN_READ), -1);
    EXPECT_EQ(missing.Read(nullptr, 0), -1);
    char byte;
    EXPECT_EQ(missing.Read(&byte, 1), -1);
    EXPECT_EQ(missing.Open(7), -1);
    CIP_FileDataSource unnamed(nullptr, 4096);
    EXPECT_EQ(unnamed.Open(OPEN_CREATE), -1);

    // Created with 0644 less the umask.
    mode_t mask = umask(022);
    CIP_FileDataSource fresh(Path("fresh").c_str(), 4096);
    ASSERT_EQ(fresh.Open(OPEN_APPEND), 0);
    umask(mask);
    struct stat st;
    ASSERT_EQ(stat(Path("fresh").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(DataSourceTest, OpenTrimsSpacesAndRefusesWhatIsNoFile) {
    Make("data", "spaced");
    CIP_File file;
    EXPECT_EQ(file.Open(("  " + Path("spaced") + "  ").c_str(), FILE_ACCESS_READ,
                        FILE_OPEN_EXISTING, 0),
              0);
    char buffer[8] = {};
    EXPECT_EQ(file.Read(buffer, sizeof buffer), 4);
    EXPECT_EQ(file.Open("   ", FILE_ACCESS_READ, FILE_OPEN_EXISTING, 0), -1);
    EXPECT_EQ(file.handle, -1);
    EXPECT_EQ(file.Open(nullptr, FILE_ACCESS_READ, FILE_OPEN_EXISTING, 0), -1);
    // A folder opens on Linux unless refused.
    EXPECT_EQ(file.Open(dir_.c_str(), FILE_ACCESS_READ, FILE_OPEN_EXISTING, 0), -1);
    // A FIFO would block the open until a writer came.
    ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
    EXPECT_EQ(file.Open(Path("fifo").c_str(), FILE_ACCESS_READ, FILE_OPEN_EXISTING, 0), -1);
    EXPECT_EQ(file.Close(), -1);
}

TEST_F(DataSourceTest, SharingRuleReadersShareWritersExclude) {
    std::string path = Make("keep me");
    CIP_FileDataSource reader1(path.c_str(), 4096), reader2(path.c_str(), 4096);
    CIP_FileDataSource writer(path.c_str(), 4096);
    ASSERT_EQ(reader1.Open(OPEN_READ), 0);
    EXPECT_EQ(reader2.Open(OPEN_READ), 0);
    // A refused replace never empties the file being read.
    EXPECT_EQ(writer.Open(OPEN_CREATE), -1);
    EXPECT_EQ(writer.Open(OPEN_APPEND), -1);
    EXPECT_EQ(Contents(path), "keep me");
    reader1.Close();
    reader2.Close();

    ASSERT_EQ(writer.Open(OPEN_APPEND), 0);
    CIP_FileDataSource other(path.c_str(), 4096);
    EXPECT_EQ(other.Open(OPEN_READ), -1);
    EXPECT_EQ(other.Open(OPEN_CREATE), -1);
    EXPECT_EQ(Contents(path), "keep me");
    writer.Close();
    EXPECT_EQ(other.Open(OPEN_READ), 0);
}

TEST_F(DataSourceTest, StartOffsetsReadFromAndKeepTheBytesBefore) {
    const std::string path = Make("0123456789");
    struct Case {
        int mode;
        std::int64_t offset;
        int opened;
        std::string read;      // what OPEN_READ then reads
        std::string contents;  // the file after writing "ab" (OPEN_CREATE, OPEN_APPEND)
    };
    const Case cases[] = {
        {OPEN_READ, 0, 0, "0123456789", "0123456789"},
        {OPEN_READ, 4, 0, "456789", "0123456789"},
        {OPEN_READ, 10, 0, "", "0123456789"},
        {OPEN_READ, 11, -1, "", "0123456789"},
        {OPEN_CREATE, 0, 0, "", "ab"},
        {OPEN_CREATE, 4, 0, "", "0123ab"},
        {OPEN_CREATE, 10, 0, "", "0123456789ab"},
        {OPEN_CREATE, 11, -1, "", "0123456789"},
        {OPEN_APPEND, 4, 0, "", "0123456789ab"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << " offset " << c.offset);
        Make("0123456789");
        CIP_FileDataSource source(path.c_str(), 4096);
        source.StartAt(c.offset);
        ASSERT_EQ(source.Open(c.mode), c.opened);
        if (c.opened == 0 && c.mode == OPEN_READ) {
            char buffer[32] = {};
            const ssize_t n = source.Read(buffer, sizeof buffer);
            EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(n)), c.read);
        } else if (c.opened == 0) {
            EXPECT_EQ(source.Write("ab", 2), 2);
        }
        source.Close();
        EXPECT_EQ(Contents(path), c.contents);
    }
    // Neither a missing file nor one being read is touched.
    CIP_FileDataSource missing(Path("missing").c_str(), 4096);
    missing.StartAt(1);
    EXPECT_EQ(missing.Open(OPEN_CREATE), -1);
    EXPECT_EQ(access(Path("missing").c_str(), F_OK), -1);
    Make("0123456789");
    CIP_FileDataSource reader(path.c_str(), 4096);
    ASSERT_EQ(reader.Open(OPEN_READ), 0);
    CIP_FileDataSource writer(path.c_str(), 4096);
    writer.StartAt(2);
    EXPECT_EQ(writer.Open(OPEN_CREATE), -1);
    EXPECT_EQ(Contents(path), "0123456789");
}

TEST_F(DataSourceTest, OffsetsAndSizesPassFourGiB) {
    CIP_FileDataSource source(Path("big").c_str(), 4096);
    ASSERT_EQ(source.Open(OPEN_CREATE), 0);
    const std::int64_t far = (std::int64_t{5} << 30) + 7;  // sparse
    ASSERT_EQ(source.Seek(far, SEEK_FROM_START), far);
    ASSERT_EQ(source.Write("z", 1), 1);
    EXPECT_EQ(source.Size(), far + 1);
    EXPECT_EQ(source.Seek(-1, SEEK_FROM_END), far);
    EXPECT_EQ(source.Find("z", far - 10, 1, 0), far);
}

TEST_F(DataSourceTest, CloneIsAnUnopenedSourceOnTheSameFile) {
    CIP_FileDataSource source(Make("abc\r\n").c_str(), 4096);
    ASSERT_EQ(source.Open(OPEN_READ), 0);
    std::unique_ptr<CIP_DataSource> copy = source.Clone();
    char line[16];
    EXPECT_EQ(copy->ReadLine(line, sizeof line), 0);  // not open yet
    ASSERT_EQ(copy->Open(OPEN_READ), 0);
    EXPECT_EQ(copy->ReadLine(line, sizeof line), 5);
}

}  // namespace
