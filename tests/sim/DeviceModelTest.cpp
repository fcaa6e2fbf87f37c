// The device model on its own: the replies it owes, where it stops, and its fault plan.
#include <gtest/gtest.h>

#include <cctype>
#include <random>

#include "sim/DeviceModel.h"
#include "tests/sim/SimTestSupport.h"

namespace qf580::sim {
namespace {

using namespace test;

// Feeds every step as one write and checks each reply.
void ExpectReplies(DeviceModel& model, const std::vector<Step>& steps) {
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const auto out = model.Feed(steps[i].write);
        EXPECT_EQ(out.reply, steps[i].reply) << "step " << i << ", state: " << model.State();
        EXPECT_FALSE(out.close) << "step " << i;
    }
}

TEST(DeviceModel, WorkedExampleCompletesWithExactReplies) {
    const Bytes start{0x01, 0x12, 0x34, 0x46};
    const Bytes record{0x02, 0x01, 0x02, 0x03, 0x04, 0x0A};
    const Bytes header = Header(kMainLine);
    DeviceModel model;
    const std::vector<Step> steps{
        {B(":UP:EXEC\r\n"), {}}, {B("U"), {0xAA}}, {B("QUILLMAR\r\n"), B("QUILLMAR\r\n")},
        {{0x38}, {0x38}},        {header, {0x59}}, {start, {0x59}},
        {record, {0x59}},        {{0x00}, {}},
    };
    EXPECT_EQ(model.State(), "waiting for the update command :UP:EXEC");
    ExpectReplies(model, steps);
    EXPECT_TRUE(model.Complete());
    EXPECT_EQ(model.State(), "complete");
    EXPECT_EQ(model.PassCount(), 1);
    EXPECT_EQ(model.PassesCompleted(), 1);
    EXPECT_EQ(model.RecordCount(), 2u);
    const ReceivedData& got = model.Received();
    EXPECT_EQ(got.header, header);
    ASSERT_EQ(got.passes.size(), 1u);
    EXPECT_EQ(got.passes[0], (std::vector<Bytes>{start, record}));
    EXPECT_EQ(got.writeSizes, (std::vector<std::size_t>{10, 1, 10, 1, 56, 4, 6, 1}));
    EXPECT_EQ(got.bytes, Concat(steps));
}

TEST(DeviceModel, BytesAfterCompletionAreRecordedNotAnswered) {
    DeviceModel model;
    ExpectReplies(model, Exchange(Header(kMainLine), {Records(1)}));
    ASSERT_TRUE(model.Complete());
    const std::size_t before = model.Received().bytes.size();
    const auto out = model.Feed(B(":UP:EXEC\r\nU"));
    EXPECT_TRUE(out.reply.empty());
    EXPECT_FALSE(out.close);
    EXPECT_EQ(model.Received().bytes.size(), before + 11);
    EXPECT_TRUE(model.Complete());
}

TEST(DeviceModel, TwoPassSubSetCompletesOnlyAfterTheSecondEnd) {
    DeviceModel model;
    auto steps = Exchange(Header(kSubLine), {Records(3, 5), Records(2, 9)});
    const Step lastEnd = steps.back();
    steps.pop_back();
    ExpectReplies(model, steps);
    EXPECT_EQ(model.PassCount(), 2);
    EXPECT_EQ(model.PassesCompleted(), 1);
    EXPECT_FALSE(model.Complete());
    EXPECT_EQ(model.State(), "waiting for record 2 of pass 2");
    EXPECT_TRUE(model.Feed(lastEnd.write).reply.empty());
    EXPECT_TRUE(model.Complete());
    ASSERT_EQ(model.Received().passes.size(), 2u);
    EXPECT_EQ(model.Received().passes[0], Records(3, 5));
    EXPECT_EQ(model.Received().passes[1], Records(2, 9));
}

// The pass count comes from the ROM type line; any other line is refused with a byte that
// isn't "Y".
TEST(DeviceModel, RomTypeLineDecidesPassesOrRefusal) {
    struct Case {
        std::string line;
        int passes;  // 0: refused
    };
    const std::vector<Case> cases{
        {kMainLine, 1},
        {kSubLine, 2},
        {kIrigLine, 2},
        {"QUILLMAR QF580 MAIN ROM        \r", 0},   // 8 blanks
        {"QUILLMAR QF580 SUB ROM       \r\n ", 0},  // 7 blanks
        {"QUILLMAR QF580 IRIG ROM       \n\r", 0},
        {std::string(32, 'x'), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        ASSERT_EQ(c.line.size(), 32u);
        DeviceModel model;
        auto steps = Exchange(Header(c.line), {});
        const Step header = steps.back();
        steps.pop_back();
        ExpectReplies(model, steps);
        const auto out = model.Feed(header.write);
        if (c.passes > 0) {
            EXPECT_EQ(out.reply, Bytes{'Y'});
            EXPECT_EQ(model.PassCount(), c.passes);
            EXPECT_EQ(model.State(), "waiting for record 0 of pass 1");
        } else {
            EXPECT_EQ(out.reply, Bytes{'N'});
            EXPECT_TRUE(model.Stopped());
            EXPECT_EQ(model.State(), "refused the header: unknown ROM type line");
            EXPECT_TRUE(model.Feed(Record(2)).reply.empty());
        }
    }
}

TEST(DeviceModel, AcknowledgesStartAndEverySixtyFourthRecordFromIndexOne) {
    // 130 records after START: indexes 0 to 130, acknowledged at 0, 1, 65 and 129.
    DeviceModel model;
    for (const auto& step : Exchange(Header(kMainLine), {})) {
        model.Feed(step.write);
    }
    std::vector<int> acked;
    const auto records = Records(131, 1);
    for (int i = 0; i < static_cast<int>(records.size()); ++i) {
        const auto out = model.Feed(records[i]);
        if (!out.reply.empty()) {
            EXPECT_EQ(out.reply, Bytes{'Y'}) << "record " << i;
            acked.push_back(i);
        }
        if (i == 64) {
            EXPECT_EQ(model.State(), "waiting for record 65 of pass 1");
        }
    }
    EXPECT_EQ(acked, (std::vector<int>{0, 1, 65, 129}));
    EXPECT_TRUE(model.Feed(Bytes{0x00}).reply.empty());
    EXPECT_TRUE(model.Complete());
    EXPECT_EQ(model.RecordCount(), 131u);
}

TEST(DeviceModel, SixtyFiveRecordsAfterStartAreAcknowledgedAtZeroOneAndSixtyFive) {
    // As the host writes them with fast transfer on: START, record 1, records 2 to 65 in one
    // write, then END.
    const auto records = Records(66, 2);
    DeviceModel model;
    const auto steps = FastExchange(Header(kMainLine), records);
    // START alone, record 1 alone, records 2 to 65 in one write, END.
    ASSERT_EQ(steps.size(), 9u);
    ExpectReplies(model, steps);
    EXPECT_TRUE(model.Complete());
    EXPECT_EQ(model.Received().passes[0], records);
}

// The device parses a byte stream: however the host's bytes are cut into writes, the
// replies, in order, are the same.
TEST(DeviceModel, ChunkingDoesNotChangeReplies) {
    const auto steps = Exchange(Header(kIrigLine), {Records(70, 4), Records(3, 200)});
    const Bytes all = Concat(steps);
    const Bytes expected = ConcatReplies(steps);
    std::mt19937 random(7);
    const std::vector<std::string> names{"one write", "byte by byte", "random 1", "random 2",
                                         "random 3"};
    for (std::size_t variant = 0; variant < names.size(); ++variant) {
        SCOPED_TRACE(names[variant]);
        DeviceModel model;
        Bytes replies;
        std::size_t at = 0;
        while (at < all.size()) {
            std::size_t size = all.size();
            if (variant == 1) {
                size = 1;
            } else if (variant > 1) {
                size = 1 + random() % 700;
            }
            size = std::min(size, all.size() - at);
            const auto out = model.Feed(std::span(all).subspan(at, size));
            replies.insert(replies.end(), out.reply.begin(), out.reply.end());
            at += size;
        }
        EXPECT_EQ(replies, expected);
        EXPECT_TRUE(model.Complete());
        EXPECT_EQ(model.RecordCount(), 73u);
        EXPECT_EQ(model.Received().bytes, all);
    }
}

// Records are taken whole where a write holds them and pieced together where writes cut
// them: either way every record is kept as it was sent, and a model that only counts (as the
// simulator program's) answers exactly alike while keeping nothing but the header.
TEST(DeviceModel, RecordsCutAnywhereAreKeptWholeOrOnlyCounted) {
    const Bytes header = Header(kSubLine);
    const std::vector<std::vector<Bytes>> passes{Records(70, 255), Records(3, 1)};
    const auto steps = Exchange(header, passes);
    const Bytes all = Concat(steps);
    const Bytes expected = ConcatReplies(steps);
    // Everything before the header; the host's check counts the rest as the set's bytes.
    const std::size_t handshake = Concat(Exchange(header, {})).size() - header.size();
    for (const bool keep : {true, false}) {
        for (const std::size_t size : {std::size_t{1}, std::size_t{5}, std::size_t{511},
                                       std::size_t{513}, std::size_t{4096}, all.size()}) {
            SCOPED_TRACE(std::string(keep ? "kept" : "counted") + ", writes of " +
                         std::to_string(size));
            FaultPlan plan;
            plan.keepReceived = keep;
            DeviceModel model(plan);
            Bytes replies;
            for (std::size_t at = 0; at < all.size(); at += size) {
                const auto out =
                    model.Feed(std::span(all).subspan(at, std::min(size, all.size() - at)));
                replies.insert(replies.end(), out.reply.begin(), out.reply.end());
            }
            EXPECT_EQ(replies, expected);
            EXPECT_TRUE(model.Complete()) << model.State();
            EXPECT_EQ(model.RecordCount(), 73u);
            EXPECT_EQ(model.ByteCount(), all.size());
            EXPECT_EQ(model.HandshakeByteCount(), handshake);
            EXPECT_EQ(model.Received().header, header);
            if (keep) {
                EXPECT_EQ(model.Received().passes, passes);
                EXPECT_EQ(model.Received().bytes, all);
            } else {
                EXPECT_TRUE(model.Received().passes.empty());
                EXPECT_TRUE(model.Received().bytes.empty());
                EXPECT_TRUE(model.Received().writeSizes.empty());
            }
        }
    }
}

// Where the device stops mid-stream, a model that only counts stops at the same byte and says
// the same.
TEST(DeviceModel, CountingModelStopsWhereAKeepingOneStops) {
    auto pass = Records(80, 9);
    pass[70].back() ^= 0x10;
    const Bytes all = Concat(Exchange(Header(kMainLine), {pass}));
    std::vector<std::string> states;
    std::vector<Bytes> replies;
    for (const bool keep : {true, false}) {
        FaultPlan plan;
        plan.keepReceived = keep;
        DeviceModel model(plan);
        replies.push_back(model.Feed(all).reply);
        EXPECT_TRUE(model.Stopped());
        EXPECT_EQ(model.RecordCount(), 71u);
        EXPECT_EQ(model.ByteCount(), all.size());
        states.push_back(model.State());
    }
    EXPECT_EQ(states[0], states[1]);
    EXPECT_NE(states[0].find("bad checksum in record 70 of pass 1"), std::string::npos)
        << states[0];
    EXPECT_EQ(replies[0], replies[1]);
    EXPECT_EQ(replies[0].back(), 'N');
}

TEST(DeviceModel, BadChecksumIsAnsweredWithNAndStopsTheDevice) {
    DeviceModel model;
    auto pass2 = Records(5, 3);
    pass2[3].back() ^= 0x01;
    auto steps = Exchange(Header(kSubLine), {Records(2), pass2});
    // Up to and including record 2 of pass 2 all is well.
    const std::size_t bad = 5 + 2 + 1 + 3;
    ExpectReplies(model, std::vector<Step>(steps.begin(), steps.begin() + bad));
    const auto out = model.Feed(steps[bad].write);
    EXPECT_EQ(out.reply, Bytes{0x4E});
    EXPECT_TRUE(model.Stopped());
    EXPECT_FALSE(model.Complete());
    EXPECT_NE(model.State().find("bad checksum in record 3 of pass 2"), std::string::npos)
        << model.State();
    for (std::size_t i = bad + 1; i < steps.size(); ++i) {
        EXPECT_TRUE(model.Feed(steps[i].write).reply.empty());
    }
    EXPECT_EQ(model.Received().bytes, Concat(steps));
}

TEST(DeviceModel, UnexpectedHandshakeByteEndsAllReplies) {
    struct Case {
        std::string name;
        std::vector<Bytes> writes;
        std::string state;
    };
    const std::vector<Case> cases{
        {"command", {B(":UP:EXIT\r\n")}, "unexpected byte 0x49 at byte 7 of the update command"},
        {"sync", {B(":UP:EXEC\r\n"), B("V")}, "unexpected byte 0x56 at byte 11 of the update"},
        {"sync missing", {B(":UP:EXEC\r\nQUILLMAR\r\n")}, "unexpected byte 0x51 at byte 11"},
        {"ident", {B(":UP:EXEC\r\nU"), B("QUILLMAN\r\n")}, "byte 8 of the identification"},
        {"ident without CR", {B(":UP:EXEC\r\nU"), B("QUILLMAR\n")}, "byte 9 of the ident"},
        {"header size",
         {B(":UP:EXEC\r\nU"), B("QUILLMAR\r\n"), {0x37}},
         "unexpected byte 0x37 instead of the header size"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeviceModel model;
        for (std::size_t i = 0; i + 1 < c.writes.size(); ++i) {
            model.Feed(c.writes[i]);
            ASSERT_FALSE(model.Stopped()) << model.State();
        }
        EXPECT_TRUE(model.Feed(c.writes.back()).reply.empty());
        EXPECT_TRUE(model.Stopped());
        EXPECT_NE(model.State().find(c.state), std::string::npos) << model.State();
        // Whatever follows, even a correct continuation, gets no answer.
        EXPECT_TRUE(model.Feed(B("QUILLMAR\r\n")).reply.empty());
        EXPECT_TRUE(model.Feed(Bytes{0x38}).reply.empty());
    }
}

TEST(DeviceModel, StateFollowsTheExchange) {
    DeviceModel model;
    model.Feed(B(":UP:EXEC\r\n"));
    EXPECT_EQ(model.State(), "waiting for the synchronisation byte U");
    model.Feed(B("U"));
    EXPECT_EQ(model.State(), "waiting for the identification QUILLMAR");
    model.Feed(B("QUILLMAR\r\n"));
    EXPECT_EQ(model.State(), "waiting for the header size");
    model.Feed(Bytes{0x38});
    EXPECT_EQ(model.PassCount(), 0);
    const Bytes header = Header(kMainLine);
    model.Feed(std::span(header).first(20));
    EXPECT_EQ(model.State(), "waiting for header byte 21 of 56");
    model.Feed(std::span(header).subspan(20));
    const Bytes record = Record(4);
    model.Feed(std::span(record).first(3));
    EXPECT_EQ(model.State(), "receiving record 0 of pass 1 (3 of 10 bytes)");
}

struct FaultCase {
    std::string name;
    FaultKind kind;
    ReplyPoint at;
    int pass;
    int index;
    std::size_t step;  // the step of Exchange() at which the fault shows
    std::string state;
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

// A SUB set with 70 records in pass 1 and 3 in pass 2: steps 0-4 are the handshake and
// header, 5-74 pass 1's records, 75 its END, 76-78 pass 2's records, 79 its END.
const std::vector<FaultCase> kFaultCases{
    {"wrong sync", FaultKind::WrongByte, ReplyPoint::Sync, 1, 0, 1,
     "answered 0x4E at the synchronisation reply"},
    {"wrong ident", FaultKind::WrongByte, ReplyPoint::Ident, 1, 0, 2,
     "answered 0x4E at the identification echo"},
    {"wrong header size", FaultKind::WrongByte, ReplyPoint::HeaderSize, 1, 0, 3,
     "answered 0x4E at the header size echo"},
    {"wrong header ack", FaultKind::WrongByte, ReplyPoint::HeaderAck, 1, 0, 4,
     "answered 0x4E at the header acknowledgement"},
    {"wrong start ack", FaultKind::WrongByte, ReplyPoint::RecordAck, 1, 0, 5,
     "answered 0x4E at the acknowledgement of record 0 of pass 1"},
    {"wrong ack 65", FaultKind::WrongByte, ReplyPoint::RecordAck, 1, 65, 70,
     "answered 0x4E at the acknowledgement of record 65 of pass 1"},
    {"wrong ack pass 2", FaultKind::WrongByte, ReplyPoint::RecordAck, 2, 1, 77,
     "answered 0x4E at the acknowledgement of record 1 of pass 2"},
    {"silent sync", FaultKind::Silence, ReplyPoint::Sync, 1, 0, 1,
     "silent from the synchronisation reply on"},
    {"silent ident", FaultKind::Silence, ReplyPoint::Ident, 1, 0, 2,
     "silent from the identification echo on"},
    {"silent header", FaultKind::Silence, ReplyPoint::HeaderAck, 1, 0, 4,
     "silent from the header acknowledgement on"},
    {"silent ack 65", FaultKind::Silence, ReplyPoint::RecordAck, 1, 65, 70,
     "silent from the acknowledgement of record 65 of pass 1 on"},
    {"silent start pass 2", FaultKind::Silence, ReplyPoint::RecordAck, 2, 0, 76,
     "silent from the acknowledgement of record 0 of pass 2 on"},
    {"close sync", FaultKind::Close, ReplyPoint::Sync, 1, 0, 1,
     "closed the link at the synchronisation reply"},
    {"close header size", FaultKind::Close, ReplyPoint::HeaderSize, 1, 0, 3,
     "closed the link at the header size echo"},
    {"close header", FaultKind::Close, ReplyPoint::HeaderAck, 1, 0, 4,
     "closed the link at the header acknowledgement"},
    {"close ack 1", FaultKind::Close, ReplyPoint::RecordAck, 1, 1, 6,
     "closed the link at the acknowledgement of record 1 of pass 1"},
    // Between acknowledgement points a fault fires right after the named record.
    {"close mid-stream", FaultKind::Close, ReplyPoint::RecordAck, 1, 5, 10,
     "closed the link at the acknowledgement of record 5 of pass 1"},
    {"stray byte mid-stream", FaultKind::WrongByte, ReplyPoint::RecordAck, 1, 30, 35,
     "answered 0x4E at the acknowledgement of record 30 of pass 1"},
};

class DeviceModelFault : public testing::TestWithParam<FaultCase> {};

TEST_P(DeviceModelFault, FiresAtItsPointOnly) {
    const FaultCase& c = GetParam();
    const auto steps = Exchange(Header(kSubLine), {Records(70, 1), Records(3, 2)});
    ASSERT_EQ(steps.size(), 80u);
    DeviceModel model(FaultPlan{{Fault{c.kind, c.at, c.pass, c.index, 0x4E}}, 0});
    for (std::size_t i = 0; i < c.step; ++i) {
        const auto out = model.Feed(steps[i].write);
        ASSERT_EQ(out.reply, steps[i].reply) << "step " << i << ": " << model.State();
        ASSERT_FALSE(out.close);
    }
    const auto out = model.Feed(steps[c.step].write);
    // Each step is one write and every fault fires at its last byte: the device took it all.
    EXPECT_EQ(out.taken, steps[c.step].write.size());
    switch (c.kind) {
        case FaultKind::WrongByte: {
            Bytes expected = steps[c.step].reply.empty() ? Bytes{0} : steps[c.step].reply;
            expected.front() = 0x4E;
            EXPECT_EQ(out.reply, expected);
            EXPECT_FALSE(out.close);
            break;
        }
        case FaultKind::Silence:
            EXPECT_TRUE(out.reply.empty());
            EXPECT_FALSE(out.close);
            break;
        case FaultKind::Close:
        case FaultKind::CloseAfterBytes:
            EXPECT_TRUE(out.reply.empty());
            EXPECT_TRUE(out.close);
            break;
    }
    EXPECT_EQ(model.State(), c.state);
    EXPECT_TRUE(model.Stopped());
    for (std::size_t i = c.step + 1; i < steps.size(); ++i) {
        const auto after = model.Feed(steps[i].write);
        EXPECT_TRUE(after.reply.empty()) << "step " << i;
        EXPECT_EQ(after.close, c.kind == FaultKind::Close);
        // A device that stopped answering still takes what comes; one that hung up, nothing.
        EXPECT_EQ(after.taken, c.kind == FaultKind::Close ? 0u : steps[i].write.size());
    }
    EXPECT_FALSE(model.Complete());
    EXPECT_EQ(model.Received().bytes, Concat(steps));
}

INSTANTIATE_TEST_SUITE_P(Points, DeviceModelFault, testing::ValuesIn(kFaultCases),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             for (char& ch : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(ch))) {
                                     ch = '_';
                                 }
                             }
                             return name;
                         });

TEST(DeviceModel, AHangUpInsideAWriteTakesOnlyWhatCameBeforeIt) {
    // Records 2 to 40 in one write, as fast transfer sends them; the fault names record 30.
    const auto records = Records(41, 5);
    Bytes batch;
    std::size_t upTo30 = 0;
    for (int i = 2; i <= 40; ++i) {
        batch = batch + records[i];
        if (i == 30) {
            upTo30 = batch.size();
        }
    }
    for (const FaultKind kind : {FaultKind::Close, FaultKind::Silence, FaultKind::WrongByte}) {
        SCOPED_TRACE(static_cast<int>(kind));
        DeviceModel model(FaultPlan{{Fault{kind, ReplyPoint::RecordAck, 1, 30, 0x4E}}, 0});
        for (const auto& step : Exchange(Header(kMainLine), {})) {
            model.Feed(step.write);
        }
        EXPECT_EQ(model.Feed(records[0]).reply, Bytes{'Y'});
        EXPECT_EQ(model.Feed(records[1]).reply, Bytes{'Y'});
        const auto out = model.Feed(batch);
        EXPECT_EQ(out.close, kind == FaultKind::Close);
        EXPECT_EQ(out.taken, kind == FaultKind::Close ? upTo30 : batch.size());
        EXPECT_EQ(model.Received().passes[0].size(), 31u) << "records 0 to 30 whole";
    }
    DeviceModel healthy;
    for (const auto& step : Exchange(Header(kMainLine), {})) {
        healthy.Feed(step.write);
    }
    healthy.Feed(records[0]);
    healthy.Feed(records[1]);
    EXPECT_EQ(healthy.Feed(batch).taken, batch.size());
}

TEST(DeviceModel, WrongByteReplacesTheFirstByteOfTheIdentEcho) {
    DeviceModel model(FaultPlan{{Fault{FaultKind::WrongByte, ReplyPoint::Ident, 1, 0, 'X'}}, 0});
    model.Feed(B(":UP:EXEC\r\nU"));
    EXPECT_EQ(model.Feed(B("QUILLMAR\r\n")).reply, B("XUILLMAR\r\n"));
}

// A device gone after a number of bytes: it takes those, answers what they call for, and no
// more; what came after in the same write is reported as never taken.
TEST(DeviceModel, CloseAfterBytesTakesThatManyAndNoMore) {
    const auto steps = Exchange(Header(kMainLine), {Records(3)});
    const Bytes all = Concat(steps);
    // Inside the update command, at the last byte of the START record (whose answer is still
    // given), and one byte short of the END record.
    const std::size_t startEnds = 11 + 10 + 1 + 56 + Records(3)[0].size();
    for (const std::size_t after : {std::size_t{4}, startEnds, all.size() - 1}) {
        SCOPED_TRACE(after);
        DeviceModel model(FaultPlan{{Fault::CloseAfter(after)}, 0});
        Bytes replies;
        std::size_t offered = 0;
        std::size_t taken = 0;
        bool closed = false;
        for (const Step& step : steps) {
            const auto out = model.Feed(step.write);
            replies.insert(replies.end(), out.reply.begin(), out.reply.end());
            offered += step.write.size();
            taken += out.taken;
            closed = out.close;
        }
        EXPECT_TRUE(closed);
        EXPECT_EQ(taken, after);
        EXPECT_EQ(model.State(), "closed the link after " + std::to_string(after) + " bytes");
        EXPECT_FALSE(model.Complete());
        // Exactly the answers the taken bytes called for.
        Bytes owed;
        std::size_t sent = 0;
        for (const Step& step : steps) {
            sent += step.write.size();
            if (sent <= after) {
                owed.insert(owed.end(), step.reply.begin(), step.reply.end());
            }
        }
        EXPECT_EQ(replies, owed);
    }
}

TEST(DeviceModel, CloseAfterEveryByteLeavesTheExchangeComplete) {
    const auto steps = Exchange(Header(kSubLine), {Records(2, 1), Records(2, 2)});
    DeviceModel model(FaultPlan{{Fault::CloseAfter(Concat(steps).size())}, 0});
    for (std::size_t i = 0; i + 1 < steps.size(); ++i) {
        const auto out = model.Feed(steps[i].write);
        EXPECT_EQ(out.reply, steps[i].reply);
        EXPECT_FALSE(out.close);
    }
    const auto last = model.Feed(steps.back().write);
    EXPECT_TRUE(last.close);
    EXPECT_EQ(last.taken, steps.back().write.size());
    EXPECT_TRUE(model.Complete());
    EXPECT_EQ(model.State(), "complete");
}

// A Close named for a record between acknowledgement points takes that record whole and
// nothing after it, even when the host wrote more in the same write.
TEST(DeviceModel, CloseMidStreamLeavesTheRestOfTheWriteUntaken) {
    const auto steps = Exchange(Header(kMainLine), {Records(10)});
    DeviceModel model(FaultPlan{{Fault{FaultKind::Close, ReplyPoint::RecordAck, 1, 5, 0}}, 0});
    // Everything up to record 2 as the exchange writes it, then records 2 to 9 and the END
    // byte in one write.
    const std::size_t upTo2 = 5 + 2;  // handshake steps, then records 0 and 1
    for (std::size_t i = 0; i < upTo2; ++i) {
        model.Feed(steps[i].write);
    }
    Bytes rest;
    for (std::size_t i = upTo2; i < steps.size(); ++i) {
        rest.insert(rest.end(), steps[i].write.begin(), steps[i].write.end());
    }
    const auto out = model.Feed(rest);
    EXPECT_TRUE(out.close);
    const Bytes records = Concat(std::vector<Step>(steps.begin() + upTo2, steps.end()));
    std::size_t through5 = 0;
    for (int i = 2; i <= 5; ++i) {
        through5 += Records(10)[static_cast<std::size_t>(i)].size();
    }
    EXPECT_EQ(out.taken, through5);
    EXPECT_EQ(model.RecordCount(), 6u);
}

}  // namespace
}  // namespace qf580::sim
