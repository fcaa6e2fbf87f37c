#include <gtest/gtest.h>

#include "tests/support/FifoRescue.h"
#include "tests/support/TempDir.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "transfer/UpdateDisk.h"

namespace fs = std::filesystem;
using namespace qf580;

namespace {

using Bytes = std::vector<std::uint8_t>;

using qf580::test::FifoRescue;
using qf580::test::TempDir;
using Special = TempDir::Special;

Bytes Header(int romType, const std::string& diskNo) {
    std::string h(RomTypeTable[static_cast<std::size_t>(romType)]);
    h += std::string(16, 'x');
    h += diskNo;
    h += std::string(6, 'y');
    return Bytes(h.begin(), h.end());
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

DiskFile OpenRaw(const std::string& path) {
    DiskFile disk;
    EXPECT_TRUE(disk.Open(path));
    return disk;
}

// Answers the disk question from a script and remembers each question.
class ScriptedPrompt : public DiskPrompt {
  public:
    explicit ScriptedPrompt(std::vector<bool> answers, std::function<void(int)> onAsk = {})
        : answers_(std::move(answers)), onAsk_(std::move(onAsk)) {}
    bool AskInsertDisk(int diskNo) override {
        asked.push_back(diskNo);
        if (onAsk_) {
            onAsk_(diskNo);
        }
        if (answers_.empty()) {
            return false;
        }
        const bool answer = answers_.front();
        answers_.erase(answers_.begin());
        return answer;
    }
    std::vector<int> asked;

  private:
    std::vector<bool> answers_;
    std::function<void(int)> onAsk_;
};

}  // namespace

TEST(ReadRecord, WorkedRecordAndItsBadChecksumTwin) {
    TempDir tmp;
    RecordBuffer buffer{};
    DiskFile good = OpenRaw(tmp.Write("good", Bytes{0x02, 0x01, 0x02, 0x03, 0x04, 0x0A}));
    ASSERT_EQ(ReadRecord(good, buffer), 6);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 7), (Bytes{2, 1, 2, 3, 4, 0x0A, 0}));

    DiskFile bad = OpenRaw(tmp.Write("bad", Bytes{0x02, 0x01, 0x02, 0x03, 0x04, 0x0B}));
    EXPECT_EQ(ReadRecord(bad, buffer), kRecordBadChecksum);
}

TEST(ReadRecord, LargestRecordIsReadWholeWithZeroInPlace513) {
    TempDir tmp;
    Bytes record{0xFF};
    unsigned sum = 0;
    for (int i = 0; i < 510; ++i) {
        record.push_back(static_cast<std::uint8_t>(i * 7 + 3));
        sum += record.back();
    }
    record.push_back(static_cast<std::uint8_t>(sum & 0xFF));
    RecordBuffer buffer;
    buffer.fill(0xEE);
    DiskFile disk = OpenRaw(tmp.Write("big", record));
    ASSERT_EQ(ReadRecord(disk, buffer), 512);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 512), record);
    EXPECT_EQ(buffer[512], 0);
}

TEST(ReadRecord, ChecksumIsComparedModulo256) {
    TempDir tmp;
    RecordBuffer buffer{};
    // 0xFF + 0x01 = 0x100: the checksum byte is 0x00, never the full sum.
    DiskFile wraps = OpenRaw(tmp.Write("wrap", Bytes{0x01, 0xFF, 0x01, 0x00}));
    EXPECT_EQ(ReadRecord(wraps, buffer), 4);
    DiskFile highSum = OpenRaw(tmp.Write("high", Bytes{0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC}));
    EXPECT_EQ(ReadRecord(highSum, buffer), 6);
}

TEST(ReadRecord, EndOfFileAnywhereInARecordIsMinusOne) {
    TempDir tmp;
    const Bytes full{0x02, 0x01, 0x02, 0x03, 0x04, 0x0A};
    for (std::size_t cut = 0; cut < full.size(); ++cut) {
        SCOPED_TRACE(cut);
        DiskFile disk =
            OpenRaw(tmp.Write("cut" + std::to_string(cut),
                              Bytes(full.begin(), full.begin() + static_cast<long>(cut))));
        RecordBuffer buffer{};
        EXPECT_EQ(ReadRecord(disk, buffer), kRecordEof);
    }
}

TEST(ReadRecord, StreamOfRecordsEndAndEof) {
    TempDir tmp;
    DiskFile disk =
        OpenRaw(tmp.Write("stream", Bytes{0x01, 0x12, 0x34, 0x46, 0x00, 0x01, 0x00, 0x00, 0x00}));
    RecordBuffer buffer{};
    EXPECT_EQ(ReadRecord(disk, buffer), 4);
    EXPECT_EQ(buffer[0], 0x01);
    buffer[0] = 0x77;
    EXPECT_EQ(ReadRecord(disk, buffer), kRecordEnd);
    EXPECT_EQ(buffer[0], 0x77) << "an END record leaves the buffer untouched";
    EXPECT_EQ(ReadRecord(disk, buffer), 4);
    EXPECT_EQ(ReadRecord(disk, buffer), kRecordEof);
}

TEST(MakeDiskName, Table) {
    struct Case {
        int disk;
        const char* chosen;
        const char* expected;
    };
    const Case cases[] = {
        {1, "FW0000.q58", "FW0001.q58"},
        {2, "FW0000.q58", "FW0002.q58"},
        {1, "UPDATE", "UPDAT1"},
        {1, "A.B1.q58", "A.B1.q58"},
        {2, "A.B1.q58", "A.B2.q58"},
        {1, ".q58", ".q58"},
        {2, ".hidden", ".hidden"},
        {1, "X.q58", "1.q58"},
        {2, "a", "2"},
        {1, "", ""},
        {1, "ファイル0.q58", "ファイル1.q58"},
        // A character of several bytes in UTF-8 gives way whole: 2, 3 and 4 bytes.
        {1, "ファームウェア一.q58", "ファームウェア1.q58"},
        {2, "ファームウェア一.q58", "ファームウェア2.q58"},
        {1, "caf\xC3\xA9.q58", "caf1.q58"},
        {2, "fw\xF0\x9F\x98\x80.q58", "fw2.q58"},
        {1, "\xE4\xB8\x80.q58", "1.q58"},
        {2, "A.\xE4\xB8\x80\xE4\xB8\x80.q58",
         "A.\xE4\xB8\x80"
         "2.q58"},
        // Without a dot, the last character, whole.
        {1, "データ", "デー1"},
        {2, "\xE4\xB8\x80", "2"},
        // Not UTF-8: byte by byte, as before.
        {1, "caf\xE9.q58", "caf1.q58"},
        {1, "\xFF\xE4\xB8\x80.q58",
         "\xFF\xE4\xB8"
         "1.q58"},
        {1, "ab\xE4\xB8.q58",
         "ab\xE4"
         "1.q58"},
        {1, "\xC0\xAF.q58",
         "\xC0"
         "1.q58"},  // overlong form of "/"
        {1, "\xED\xA0\x80.q58",
         "\xED\xA0"
         "1.q58"},  // a surrogate
        {1, "x\x80", "x1"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MakeDiskName(c.disk, c.chosen), c.expected) << c.chosen << " disk " << c.disk;
    }
}

// One split serves the window and the command line: the directory keeps its last separator,
// so that directory + disk name is the disk's path, and a bare name stays relative.
TEST(SplitChosenFile, Table) {
    struct Case {
        const char* path;
        const char* dir;
        const char* name;
    };
    const Case cases[] = {
        {"/media/fw/FW0000.q58", "/media/fw/", "FW0000.q58"},
        {"/a/b.c/c.q58", "/a/b.c/", "c.q58"},
        {"/FW0000.q58", "/", "FW0000.q58"},
        {"FW0000.q58", "", "FW0000.q58"},
        {"sets/FW0000.q58", "sets/", "FW0000.q58"},
        {"./FW0000.q58", "./", "FW0000.q58"},
        {"a//FW0000.q58", "a//", "FW0000.q58"},
        {"/upd/", "/upd/", ""},
        {"C:\\upd\\FW0000.q58", "", "C:\\upd\\FW0000.q58"},
        {"/ファイル/更新0.q58", "/ファイル/", "更新0.q58"},
    };
    for (const Case& c : cases) {
        const ChosenFile file = SplitChosenFile(c.path);
        EXPECT_EQ(file.dir, c.dir) << c.path;
        EXPECT_EQ(file.name, c.name) << c.path;
    }
}

// A set whose chosen name ends in a character of several bytes is found on disk, not asked
// for as if disk 1 were missing.
TEST(OpenDisk, FindsTheDiskOfAUtf8NameWhoseDigitReplacesAWholeCharacter) {
    TempDir tmp;
    tmp.Write("ファームウェア1.q58", Header(kRomMain, "01"));
    DiskFile disk;
    ScriptedPrompt prompt({});
    EXPECT_EQ(OpenDisk(1, "ファームウェア一.q58", kRomTypeAny, tmp.dir(), disk, prompt), 0);
    EXPECT_TRUE(disk.IsOpen());
    EXPECT_EQ(prompt.asked, std::vector<int>{});
}

TEST(IdentifyRomType, ExactLinesOnly) {
    TempDir tmp;
    struct Case {
        std::string firstLine;
        std::optional<int> expected;
    };
    const Case cases[] = {
        {std::string(RomTypeTable[0]), kRomMain},
        {std::string(RomTypeTable[1]), kRomSub},
        {std::string(RomTypeTable[2]), kRomIrig},
        {"QUILLMAR QF580 MAIN ROM        \r\n", std::nullopt},  // one trailing blank too many
        {"QUILLMAR QF580 MAIN ROM       \n", std::nullopt},     // no carriage return
        {"QUILLMAR QF580 MAIN ROM       \r", std::nullopt},     // no line feed, end of file
        {"QUILLMAR QF580 SUB ROM       \r\n", std::nullopt},    // 7 blanks is MAIN's padding
        {"", std::nullopt},
        {std::string("QUILLMAR QF580 MAIN ROM\0      \r\n", 32), std::nullopt},
    };
    int n = 0;
    for (const Case& c : cases) {
        DiskFile disk = OpenRaw(tmp.Write("rom" + std::to_string(n++), c.firstLine + "more\r\n"));
        EXPECT_EQ(IdentifyRomType(disk), c.expected) << c.firstLine;
    }
}

TEST(DiskFile, ReadLineIsFgetsWith512Bytes) {
    TempDir tmp;
    std::string longLine(600, 'a');
    longLine += "\nsecond\r\nlast";
    DiskFile disk = OpenRaw(tmp.Write("lines", longLine));
    EXPECT_EQ(disk.ReadLine(), std::string(511, 'a'));
    EXPECT_EQ(disk.ReadLine(), std::string(89, 'a') + "\n");
    EXPECT_EQ(disk.ReadLine(), "second\r\n");
    EXPECT_EQ(disk.ReadLine(), "last");
    EXPECT_EQ(disk.ReadLine(), std::nullopt);
    EXPECT_EQ(CutAtZero(std::string("ab\0cd", 5)), "ab");
}

// Disk number field at offset 48, read as atol would; every case is asked for as disk 1.
TEST(OpenDisk, DiskNumberField) {
    TempDir tmp;
    struct Case {
        const char* what;
        Bytes file;
        bool accepted;
    };
    const Bytes header = Header(kRomMain, "01");
    const Bytes prefix(header.begin(), header.begin() + 48);
    const Case cases[] = {
        {"0 and 1", prefix + Bytes{'0', '1'}, true},
        {"blank and 1", prefix + Bytes{' ', '1'}, true},
        {"1 and CR", prefix + Bytes{'1', '\r'}, true},
        {"+ and 1", prefix + Bytes{'+', '1'}, true},
        {"two letters", prefix + Bytes{'A', 'B'}, false},
        {"0 and 2", prefix + Bytes{'0', '2'}, false},
        {"1 then 1 (eleven)", prefix + Bytes{'1', '1'}, false},
        {"48 bytes", prefix, false},
        {"49 bytes with the digit", prefix + Bytes{'1'}, true},
        {"49 bytes with a blank", prefix + Bytes{' '}, false},
        {"empty file", Bytes{}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        tmp.Write("FW0001.q58", c.file);
        DiskFile disk;
        ScriptedPrompt prompt({false});
        const int result = OpenDisk(1, "FW0000.q58", kRomTypeAny, tmp.dir(), disk, prompt);
        EXPECT_EQ(result, c.accepted ? 0 : -1);
        EXPECT_EQ(disk.IsOpen(), c.accepted);
        EXPECT_EQ(prompt.asked, c.accepted ? std::vector<int>{} : std::vector<int>{1});
    }
}

TEST(OpenDisk, SecondDiskMustCarryTheFirstDisksRomType) {
    TempDir tmp;
    tmp.Write("FW0002.q58", Header(kRomSub, "02"));
    DiskFile disk;
    ScriptedPrompt wrongType({false});
    EXPECT_EQ(OpenDisk(2, "FW0000.q58", kRomIrig, tmp.dir(), disk, wrongType), -1);
    EXPECT_EQ(wrongType.asked, std::vector<int>{2});
    EXPECT_FALSE(disk.IsOpen());

    ScriptedPrompt rightType({});
    EXPECT_EQ(OpenDisk(2, "FW0000.q58", kRomSub, tmp.dir(), disk, rightType), 0);
    EXPECT_TRUE(rightType.asked.empty());
    EXPECT_TRUE(disk.IsOpen());
}

TEST(OpenDisk, MissingDiskFoundAfterOk) {
    TempDir tmp;
    DiskFile disk;
    // The operator inserts the disk while the question is open, then answers OK.
    ScriptedPrompt prompt({true, true}, [&](int) {
        if (prompt.asked.size() == 2) {
            tmp.Write("FW0001.q58", Header(kRomMain, "01"));
        }
    });
    EXPECT_EQ(OpenDisk(1, "FW0000.q58", kRomTypeAny, tmp.dir(), disk, prompt), 0);
    EXPECT_EQ(prompt.asked, (std::vector<int>{1, 1}));
    EXPECT_TRUE(disk.IsOpen());
}

TEST(OpenDisk, CancelGivesMinusOneWithNothingOpen) {
    TempDir tmp;
    DiskFile disk;
    ScriptedPrompt prompt({false});
    // X.q58 names disk 1 as 1.q58, which does not exist.
    tmp.Write("X.q58", Header(kRomMain, "01"));
    EXPECT_EQ(OpenDisk(1, "X.q58", kRomTypeAny, tmp.dir(), disk, prompt), -1);
    EXPECT_FALSE(disk.IsOpen());
    EXPECT_EQ(prompt.asked, std::vector<int>{1});
}

TEST(OpenDisk, RejectedFileIsClosedBeforeTheQuestion) {
    TempDir tmp;
    const std::string path = tmp.Write("FW0001.q58", Header(kRomMain, "02"));
    DiskFile disk;
    bool closedWhenAsked = false;
    ScriptedPrompt prompt({false}, [&](int) { closedWhenAsked = !disk.IsOpen(); });
    EXPECT_EQ(OpenDisk(1, "FW0000.q58", kRomTypeAny, tmp.dir(), disk, prompt), -1);
    EXPECT_TRUE(closedWhenAsked);
}

TEST(OpenDisk, LongAndJapanesePaths) {
    TempDir tmp;
    std::string sub = tmp.dir();
    for (int i = 0; i < 12; ++i) {
        sub += std::string(60, static_cast<char>('a' + i)) + "/";
    }
    sub += "更新データ/";
    fs::create_directories(sub);
    const std::string name = "ファームウェア" + std::string(150, 'n') + "0.q58";
    {
        const Bytes header = Header(kRomIrig, "01");
        std::ofstream(sub + MakeDiskName(1, name), std::ios::binary)
            .write(reinterpret_cast<const char*>(header.data()), 56);
    }
    DiskFile disk;
    ScriptedPrompt prompt({});
    ASSERT_EQ(OpenDisk(1, name, kRomTypeAny, sub, disk, prompt), 0);
    EXPECT_EQ(IdentifyRomType(disk), kRomIrig);
    EXPECT_GT(sub.size(), 700u);
}

// Records are read a whole record per call, so a set many times the size of the stream's
// buffer must come back record for record, whatever the buffer's edges cut: every size from
// 1 to 255 words, END records between them, EOF after the last.
TEST(ReadRecord, LongStreamComesBackRecordForRecord) {
    TempDir tmp;
    std::vector<Bytes> records;
    Bytes file;
    std::uint8_t next = 1;
    // Enough rounds (about 66 kB each) for more than four of the stream's buffers.
    const auto rounds = static_cast<int>(4 * DiskFile::kBufferSize / 65000 + 1);
    for (int round = 0; round < rounds; ++round) {
        for (int words = 1; words <= 255; ++words) {
            Bytes record{static_cast<std::uint8_t>(words)};
            unsigned sum = 0;
            for (int i = 0; i < 2 * words; ++i) {
                record.push_back(next);
                sum += next;
                next = static_cast<std::uint8_t>(next * 31 + 7);
            }
            record.push_back(static_cast<std::uint8_t>(sum & 0xFF));
            file.insert(file.end(), record.begin(), record.end());
            records.push_back(std::move(record));
            if (words % 100 == 0) {
                file.push_back(0x00);
                records.emplace_back();  // an END record
            }
        }
    }
    ASSERT_GT(file.size(), 4 * DiskFile::kBufferSize);
    DiskFile disk = OpenRaw(tmp.Write("long", file));
    RecordBuffer buffer{};
    for (std::size_t n = 0; n < records.size(); ++n) {
        const Bytes& expected = records[n];
        const int r = ReadRecord(disk, buffer);
        if (expected.empty()) {
            ASSERT_EQ(r, kRecordEnd) << "record " << n;
            continue;
        }
        ASSERT_EQ(r, static_cast<int>(expected.size())) << "record " << n;
        ASSERT_EQ(Bytes(buffer.begin(), buffer.begin() + r), expected) << "record " << n;
        ASSERT_EQ(buffer[static_cast<std::size_t>(r)], 0) << "record " << n;
    }
    EXPECT_EQ(ReadRecord(disk, buffer), kRecordEof);
    EXPECT_EQ(ReadRecord(disk, buffer), kRecordEof);
}

// A record whose checksum doesn't match is consumed whole, and its checksum byte is not kept
// in the buffer: reading would go on with the record after it.
TEST(ReadRecord, MismatchConsumesTheRecordWithoutStoringItsChecksum) {
    TempDir tmp;
    DiskFile disk = OpenRaw(
        tmp.Write("bad", Bytes{0x02, 0x01, 0x02, 0x03, 0x04, 0x0B, 0x01, 0x12, 0x34, 0x46}));
    RecordBuffer buffer;
    buffer.fill(0xEE);
    EXPECT_EQ(ReadRecord(disk, buffer), kRecordBadChecksum);
    EXPECT_EQ(buffer[5], 0xEE);
    EXPECT_EQ(ReadRecord(disk, buffer), 4);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 5), (Bytes{0x01, 0x12, 0x34, 0x46, 0}));
}

TEST(DiskFile, ReadGivesWhatIsThereAtTheEndAndNothingWhenClosed) {
    TempDir tmp;
    DiskFile disk = OpenRaw(tmp.Write("five", Bytes{1, 2, 3, 4, 5}));
    std::array<std::uint8_t, 8> into{};
    EXPECT_EQ(disk.Read(into.data(), 3), 3u);
    EXPECT_EQ(disk.Read(into.data() + 3, 5), 2u);
    EXPECT_EQ(Bytes(into.begin(), into.begin() + 5), (Bytes{1, 2, 3, 4, 5}));
    EXPECT_EQ(disk.Read(into.data(), 1), 0u);
    EXPECT_EQ(disk.ReadByte(), EOF);
    disk.Close();
    EXPECT_EQ(disk.Read(into.data(), 1), 0u);
}

// Through a buffer of four bytes, every seek and read meets the buffer's edges: inside it,
// outside it, past the file's end, and a read too large for it. The end, once met, stays
// until the next seek, as a stream's does, even when the file grows meanwhile.
TEST(DiskFile, SeeksAndReadsAcrossTheBuffersEdges) {
    TempDir tmp;
    Bytes bytes(40);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i);
    }
    const std::string path = tmp.Write("forty", bytes);
    DiskFile disk(4);
    ASSERT_TRUE(disk.Open(path));
    const auto read = [&disk](std::size_t count) {
        Bytes got(count);
        got.resize(disk.Read(got.data(), count));
        return got;
    };
    const auto run = [&bytes](std::size_t from, std::size_t count) {
        return Bytes(bytes.begin() + static_cast<long>(from),
                     bytes.begin() + static_cast<long>(from + count));
    };
    EXPECT_EQ(disk.ReadByte(), 0);
    EXPECT_EQ(read(6), run(1, 6));
    EXPECT_EQ(disk.Tell(), 7);
    ASSERT_TRUE(disk.Seek(5));  // still in the buffer
    EXPECT_EQ(disk.ReadByte(), 5);
    ASSERT_TRUE(disk.Seek(2));  // before it
    EXPECT_EQ(read(3), run(2, 3));
    ASSERT_TRUE(disk.Seek(10));
    EXPECT_EQ(read(20), run(10, 20));  // past the buffer, straight into place
    EXPECT_EQ(disk.ReadByte(), 30);
    ASSERT_TRUE(disk.Seek(38));
    EXPECT_EQ(read(5), run(38, 2));
    EXPECT_EQ(disk.ReadByte(), EOF);
    EXPECT_EQ(disk.Tell(), 40);
    std::ofstream(path, std::ios::binary | std::ios::app) << '\x7f';
    EXPECT_EQ(disk.ReadByte(), EOF);
    ASSERT_TRUE(disk.Seek(disk.Tell()));
    EXPECT_EQ(disk.ReadByte(), 0x7f);
    ASSERT_TRUE(disk.Seek(100));
    EXPECT_EQ(disk.ReadByte(), EOF);
    EXPECT_FALSE(disk.Seek(-1));
}

// A disk file reads through a buffer of its own. It goes with the stream it serves: a file
// moved into an open one goes on where it stood (the other one closed first), and a file
// opened again reads the new file from its start, across the buffer's edges too.
TEST(DiskFile, BufferGoesWithItsStreamWhenMovedOrOpenedAgain) {
    TempDir tmp;
    const std::size_t size = 2 * DiskFile::kBufferSize + 100;
    Bytes first(size);
    Bytes second(size);
    for (std::size_t i = 0; i < size; ++i) {
        first[i] = static_cast<std::uint8_t>(i * 7);
        second[i] = static_cast<std::uint8_t>(i * 13 + 5);
    }
    const std::string firstPath = tmp.Write("first", first);
    const std::string secondPath = tmp.Write("second", second);
    auto readAll = [size](DiskFile& disk, std::size_t from) {
        Bytes got(size - from);
        EXPECT_EQ(disk.Read(got.data(), got.size()), got.size());
        EXPECT_EQ(disk.ReadByte(), EOF);
        return got;
    };

    DiskFile target = OpenRaw(firstPath);
    Bytes skip(DiskFile::kBufferSize + 10);
    ASSERT_EQ(target.Read(skip.data(), skip.size()), skip.size());
    DiskFile source = OpenRaw(secondPath);
    ASSERT_EQ(source.Read(skip.data(), 3), 3u);
    target = std::move(source);
    EXPECT_FALSE(source.IsOpen());  // moved from: left closed, its buffer gone with the file
    EXPECT_EQ(source.ReadByte(), EOF);
    ASSERT_TRUE(target.IsOpen());
    EXPECT_EQ(readAll(target, 3), Bytes(second.begin() + 3, second.end()));
    ASSERT_TRUE(target.Seek(0));
    EXPECT_EQ(readAll(target, 0), second);

    ASSERT_TRUE(target.Open(firstPath));
    EXPECT_EQ(readAll(target, 0), first);
}

// Disk files are regular files. Anything else is refused at once, with its reason: a named
// pipe's open would wait for a writer, and its reads for bytes, without end.
TEST(DiskFile, RefusesAnythingButARegularFileAtOnce) {
    TempDir tmp;
    struct Case {
        std::string what;
        std::string path;
        std::string why;
    };
    const std::string fifo = tmp.Make(Special::Fifo, "pipe.q58");
    ASSERT_EQ(::symlink(fifo.c_str(), (tmp.dir() + "link-to-pipe.q58").c_str()), 0);
    ASSERT_EQ(::symlink("loop.q58", (tmp.dir() + "loop.q58").c_str()), 0);
    const std::string file = tmp.Write("FW0001.q58", "data");
    const std::vector<Case> cases = {
        {"named pipe", fifo, "is a named pipe (FIFO), not a regular file"},
        {"link to a named pipe", tmp.dir() + "link-to-pipe.q58",
         "is a named pipe (FIFO), not a regular file"},
        {"folder", tmp.Make(Special::Folder, "folder.q58"), "is a directory, not a regular file"},
        {"socket", tmp.Make(Special::Socket, "socket.q58"), "is a socket, not a regular file"},
        {"device", "/dev/null", "is a character device, not a regular file"},
        {"missing", tmp.dir() + "missing.q58", "No such file or directory"},
        {"under a file", file + "/FW0001.q58", "Not a directory"},
        {"name too long", tmp.dir() + std::string(300, 'n') + ".q58", "File name too long"},
        {"link loop", tmp.dir() + "loop.q58", "Too many levels of symbolic links"},
        {"zero in the name", file + std::string(1, '\0') + "x", "Invalid argument"},
    };
    FifoRescue rescue({fifo}, std::chrono::milliseconds(1000));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DiskFile disk;
        std::string why;
        EXPECT_FALSE(disk.Open(c.path, &why));
        EXPECT_FALSE(disk.IsOpen());
        EXPECT_EQ(why, c.why);
        EXPECT_EQ(disk.ReadByte(), EOF);
    }
    EXPECT_FALSE(rescue.Rescued()) << "an open waited on the named pipe";
}

TEST(DiskFile, OpensRegularFilesAndLinksToThemForBlockingReads) {
    TempDir tmp;
    const std::string file = tmp.Write("FW0001.q58", "ab");
    ASSERT_EQ(::symlink(file.c_str(), (tmp.dir() + "link.q58").c_str()), 0);
    for (const std::string& path : {file, tmp.dir() + "link.q58"}) {
        SCOPED_TRACE(path);
        DiskFile disk;
        std::string why = "untouched";
        ASSERT_TRUE(disk.Open(path, &why));
        EXPECT_EQ(why, "untouched");
        EXPECT_EQ(disk.ReadByte(), 'a');
        EXPECT_EQ(disk.ReadByte(), 'b');
        EXPECT_EQ(disk.ReadByte(), EOF);
    }
}

// A disk that is no regular file is a disk that can't be opened: the operator is asked for it,
// and a Cancel ends the wait, with nothing open.
TEST(OpenDisk, DiskThatIsNoRegularFileIsAskedFor) {
    for (const Special kind : {Special::Fifo, Special::Folder, Special::Socket}) {
        for (const int diskNo : {1, 2}) {
            SCOPED_TRACE(std::string(TempDir::Name(kind)) + " as disk " + std::to_string(diskNo));
            TempDir tmp;
            const std::string path = tmp.Make(kind, "FW000" + std::to_string(diskNo) + ".q58");
            FifoRescue rescue({path}, std::chrono::milliseconds(1000));
            DiskFile disk;
            ScriptedPrompt prompt({true, false});
            const auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(OpenDisk(diskNo, "FW0000.q58", diskNo == 1 ? kRomTypeAny : kRomMain,
                               tmp.dir(), disk, prompt),
                      -1);
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
            EXPECT_EQ(prompt.asked, (std::vector<int>{diskNo, diskNo}));
            EXPECT_FALSE(disk.IsOpen());
            EXPECT_FALSE(rescue.Rescued());
        }
    }
}
