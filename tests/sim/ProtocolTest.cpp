// The simulator's own statement of the protocol, the frames of the stand-in's socket and the
// fault texts of its command line.
#include <gtest/gtest.h>

#include <stdexcept>

#include "sim/FaultText.h"
#include "sim/Protocol.h"
#include "sim/StandinFrames.h"
#include "tests/sim/SimTestSupport.h"

namespace qf580::sim {
namespace {

using namespace test;

TEST(Protocol, RomTypesAreKnownByTheirWholeLine) {
    struct Case {
        std::string header;
        int passes;  // 0: refused
    };
    const std::vector<Case> cases{
        {kMainLine + "rest of the header", 1},
        {kSubLine, 2},
        {kIrigLine, 2},
        {"QUILLMAR QF580 MAIN ROM        \r", 0},
        {"quillmar QF580 SUB ROM        \r\n", 0},
        {kMainLine.substr(0, 31), 0},  // too short to hold a line
        {"", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.header);
        const RomType* type = FindRomType(B(c.header));
        EXPECT_EQ(type == nullptr ? 0 : type->passes, c.passes);
    }
}

TEST(Protocol, RecordsChecksumsAndAcknowledgementPoints) {
    EXPECT_EQ(RecordLength(1), 4u);
    EXPECT_EQ(RecordLength(255), 512u);
    EXPECT_EQ(Checksum(Bytes{0x12, 0x34}), 0x46);
    EXPECT_EQ(Checksum(Bytes{0xFF, 0xFF, 0x03}), 0x01) << "modulo 256";
    EXPECT_EQ(Checksum(Bytes{}), 0x00);
    // The tests' builder and the simulator agree on what a record's last byte is.
    const Bytes record = Record(40, 9);
    EXPECT_EQ(Checksum(std::span(record).subspan(1, record.size() - 2)), record.back());

    std::vector<int> acks;
    for (int i = 0; i <= 200; ++i) {
        if (IsAckPoint(i)) {
            acks.push_back(i);
        }
    }
    EXPECT_EQ(acks, (std::vector<int>{0, 1, 65, 129, 193}));
}

TEST(Protocol, DiskNamesReplaceTheCharacterBeforeTheLastDot) {
    const std::vector<std::tuple<std::string, int, std::string>> cases{
        {"FW0000.q58", 1, "FW0001.q58"},
        {"FW0000.q58", 2, "FW0002.q58"},
        {"A.B0.q58", 2, "A.B2.q58"},
        {"UPDATE", 1, "UPDAT1"},
        {".q58", 2, ".q58"},
        {"", 1, ""},
    };
    for (const auto& [chosen, disk, expected] : cases) {
        EXPECT_EQ(DiskName(chosen, disk), expected) << chosen << " disk " << disk;
    }
}

TEST(StandinFrames, AFrameIsItsKindItsBigEndianLengthAndItsPayload) {
    EXPECT_EQ(MakeFrame(FrameKind::Write, Bytes{1, 2, 3}), (Bytes{'W', 0, 0, 0, 3, 1, 2, 3}));
    EXPECT_EQ(MakeFrame(FrameKind::Taken), (Bytes{'T', 0, 0, 0, 0}));
    const Bytes big = MakeFrame(FrameKind::Reply, Bytes(70000, 0xAB));
    EXPECT_EQ(Bytes(big.begin(), big.begin() + 5), (Bytes{'R', 0, 0x01, 0x11, 0x70}));
    EXPECT_EQ(big.size(), 70005u);
}

TEST(StandinFrames, TheReaderCutsFramesHoweverTheBytesArrive) {
    const Bytes stream = MakeFrame(FrameKind::Write, B(":UP:EXEC\r\n")) +
                         MakeFrame(FrameKind::Taken) + MakeFrame(FrameKind::Reply, Bytes{0xAA}) +
                         MakeFrame(FrameKind::Write, Record(255, 3));
    for (const std::size_t piece :
         {std::size_t{1}, std::size_t{3}, std::size_t{7}, stream.size()}) {
        SCOPED_TRACE(piece);
        FrameReader reader;
        std::vector<std::pair<FrameKind, Bytes>> frames;
        for (std::size_t at = 0; at < stream.size(); at += piece) {
            const std::size_t end = std::min(stream.size(), at + piece);
            reader.Add(std::span(stream).subspan(at, end - at));
            while (const auto frame = reader.Next()) {
                frames.emplace_back(frame->kind,
                                    Bytes(frame->payload.begin(), frame->payload.end()));
            }
        }
        EXPECT_FALSE(reader.Broken());
        ASSERT_EQ(frames.size(), 4u);
        EXPECT_EQ(frames[0], std::make_pair(FrameKind::Write, B(":UP:EXEC\r\n")));
        EXPECT_EQ(frames[1], std::make_pair(FrameKind::Taken, Bytes{}));
        EXPECT_EQ(frames[2], std::make_pair(FrameKind::Reply, Bytes{0xAA}));
        EXPECT_EQ(frames[3], std::make_pair(FrameKind::Write, Record(255, 3)));
    }
}

TEST(StandinFrames, AStreamOfAnythingElseBreaksTheReaderForGood) {
    const Bytes good = MakeFrame(FrameKind::Write, Bytes{1});
    for (const Bytes& bad :
         {Bytes{'X', 0, 0, 0, 0}, Bytes{'W', 0x00, 0x10, 0x00, 0x01},  // one byte too long
          B(":UP:EXEC\r\n")}) {
        FrameReader reader;
        reader.Add(bad);
        EXPECT_FALSE(reader.Next().has_value());
        EXPECT_TRUE(reader.Broken());
        reader.Add(good);
        EXPECT_FALSE(reader.Next().has_value()) << "nothing after it is trusted";
    }
    FrameReader largest;
    largest.Add(Bytes{'W', 0x00, 0x10, 0x00, 0x00});
    EXPECT_FALSE(largest.Next().has_value());
    EXPECT_FALSE(largest.Broken()) << "the largest frame is still a frame, not yet whole";
}

TEST(FaultText, ReadsEveryKindAndPoint) {
    struct Case {
        std::string text;
        FaultKind kind;
        ReplyPoint at;
        int pass;
        int index;
    };
    const std::vector<Case> cases{
        {"wrong:sync", FaultKind::WrongByte, ReplyPoint::Sync, 1, 0},
        {"silence:ident", FaultKind::Silence, ReplyPoint::Ident, 1, 0},
        {"close:header-size", FaultKind::Close, ReplyPoint::HeaderSize, 1, 0},
        {"silence:header", FaultKind::Silence, ReplyPoint::HeaderAck, 1, 0},
        {"close:ack", FaultKind::Close, ReplyPoint::RecordAck, 1, 0},
        {"close:ack:2:65", FaultKind::Close, ReplyPoint::RecordAck, 2, 65},
        {"wrong:ack:1:0", FaultKind::WrongByte, ReplyPoint::RecordAck, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const Fault fault = ParseFault(c.text, 0x55);
        EXPECT_EQ(fault.kind, c.kind);
        EXPECT_EQ(fault.at, c.at);
        EXPECT_EQ(fault.pass, c.pass);
        EXPECT_EQ(fault.recordIndex, c.index);
        EXPECT_EQ(fault.byte, 0x55);
    }
}

TEST(FaultText, RefusesAnythingElseNamingIt) {
    for (const std::string text :
         {"", "wrong", "loud:sync", "close:nowhere", "close:sync:1:2", "silence:ack:0:65",
          "close:ack:1:-1", "close:ack:1", "close:ack:1:2:3", "close:ack:x:1", "close:ack:1:2x",
          "close:ack:99999999999:1", "Close:sync", "close:ack: 1:2"}) {
        SCOPED_TRACE(text);
        try {
            ParseFault(text, 0x4E);
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find("--fault " + text + ":"), std::string::npos)
                << e.what();
        }
    }
}

TEST(FaultText, ReadsBytesInTheUsualBases) {
    EXPECT_EQ(ParseByte("0x4E"), 0x4E);
    EXPECT_EQ(ParseByte("78"), 78);
    EXPECT_EQ(ParseByte("0116"), 78);
    EXPECT_EQ(ParseByte("0xff"), 0xFF);
    EXPECT_EQ(ParseByte("0"), 0);
    for (const std::string text : {"0x100", "256", "-1", "", "x", "12abc", "0x", " 5", "+5"}) {
        EXPECT_THROW(ParseByte(text), std::invalid_argument) << text;
    }
}

}  // namespace
}  // namespace qf580::sim
