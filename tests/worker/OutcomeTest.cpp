// Every outcome text of a failed transfer, each caused for real by a misbehaving device or a
// faulty file; after each one, the same host runs a good transfer.
#include <gtest/gtest.h>

#include "tests/worker/WorkerSupport.h"

namespace qf580::test {
namespace {

using sim::Fault;
using sim::FaultKind;
using sim::FaultPlan;
using sim::ReplyPoint;

const Statuses kToHandshake = ToHandshake();
const Statuses kToHeader = ToHeader();
const Statuses kToStart = ToRecord(0);
const Statuses kTo1 = ToRecord(1);
const Statuses kTo65 = ToRecord(65);

// The set every case starts from: MAIN ROM, 70 records after START.
const std::vector<Bytes>& Records() {
    static const std::vector<Bytes> records = PassRecords(70, 9, 4);
    return records;
}

Bytes GoodDisk() {
    return Header(kRomMain, 1) + Join(Records()) + kEnd;
}

// The bytes a device gets up to the point where it stopped answering: the handshake up to
// `handshakeBytes`, or all of it and the records 0 to `lastRecord`.
Bytes SentUpTo(std::size_t handshakeBytes) {
    const Bytes h = Handshake(Header(kRomMain, 1));
    return Bytes(h.begin(), h.begin() + static_cast<long>(handshakeBytes));
}
Bytes SentWithRecords(int lastRecord) {
    const auto& r = Records();
    return Handshake(Header(kRomMain, 1)) +
           Join(std::vector<Bytes>(r.begin(), r.begin() + lastRecord + 1));
}

struct OutcomeCase {
    std::string name;
    std::function<Bytes()> disk1;
    std::optional<Fault> fault;
    bool openFails = false;
    Statuses statuses;
    Bytes sent;  // everything the device received; nothing follows a failure
};

// Test names show the case, not its bytes.
void PrintTo(const OutcomeCase& c, std::ostream* os) {
    *os << c.name;
}

std::vector<OutcomeCase> Cases() {
    const std::string comm = "Aborted due to communication error";
    const std::string setup = "Communication setup failure";
    const std::string ident = "Couldn't receive QUILLMAR character string";
    const std::string size = "Heder size communication failure";
    const std::string header = "Header transfer error";
    std::vector<OutcomeCase> c;
    c.push_back({"SyncWrongByte", GoodDisk, At(FaultKind::WrongByte, ReplyPoint::Sync), false,
                 Then(kToHandshake, setup), SentUpTo(11)});
    c.push_back({"SyncSilence", GoodDisk, At(FaultKind::Silence, ReplyPoint::Sync), false,
                 Then(kToHandshake, comm), SentUpTo(11)});
    c.push_back({"SyncClosed", GoodDisk, At(FaultKind::Close, ReplyPoint::Sync), false,
                 Then(kToHandshake, comm), SentUpTo(11)});
    c.push_back({"IdentWrong", GoodDisk, At(FaultKind::WrongByte, ReplyPoint::Ident), false,
                 Then(kToHandshake, ident), SentUpTo(21)});
    c.push_back({"IdentSilence", GoodDisk, At(FaultKind::Silence, ReplyPoint::Ident), false,
                 Then(kToHandshake, ident), SentUpTo(21)});
    c.push_back({"IdentClosed", GoodDisk, At(FaultKind::Close, ReplyPoint::Ident), false,
                 Then(kToHandshake, ident), SentUpTo(21)});
    c.push_back({"HeaderSizeWrong", GoodDisk, At(FaultKind::WrongByte, ReplyPoint::HeaderSize),
                 false, Then(kToHeader, size), SentUpTo(22)});
    c.push_back({"HeaderSizeSilence", GoodDisk, At(FaultKind::Silence, ReplyPoint::HeaderSize),
                 false, Then(kToHeader, comm), SentUpTo(22)});
    c.push_back({"HeaderAckWrong", GoodDisk, At(FaultKind::WrongByte, ReplyPoint::HeaderAck), false,
                 Then(kToHeader, header), SentUpTo(78)});
    c.push_back({"HeaderAckClosed", GoodDisk, At(FaultKind::Close, ReplyPoint::HeaderAck), false,
                 Then(kToHeader, comm), SentUpTo(78)});
    c.push_back({"StartAckWrong", GoodDisk, At(FaultKind::WrongByte, ReplyPoint::RecordAck, 0),
                 false, Then(kToStart, comm), SentWithRecords(0)});
    c.push_back({"Ack1Silence", GoodDisk, At(FaultKind::Silence, ReplyPoint::RecordAck, 1), false,
                 Then(kTo1, comm), SentWithRecords(1)});
    c.push_back({"Ack65Wrong", GoodDisk, At(FaultKind::WrongByte, ReplyPoint::RecordAck, 65), false,
                 Then(kTo65, comm), SentWithRecords(65)});
    c.push_back({"Ack65Closed", GoodDisk, At(FaultKind::Close, ReplyPoint::RecordAck, 65), false,
                 Then(kTo65, comm), SentWithRecords(65)});
    c.push_back({"PortDoesNotOpen",
                 GoodDisk,
                 std::nullopt,
                 true,
                 Then(kToHandshake, "Cannot open port"),
                 {}});
    c.push_back({"InvalidRomType",
                 [] {
                     Bytes d = GoodDisk();
                     d[29] = 'X';  // one blank of the padding is no blank any more
                     return d;
                 },
                 std::nullopt,
                 false,
                 {"Invalid ROM Type"},
                 {}});
    c.push_back({"RomTypeLineWithoutCarriageReturn",
                 [] {
                     Bytes d = GoodDisk();
                     d[30] = ' ';
                     return d;
                 },
                 std::nullopt,
                 false,
                 {"Invalid ROM Type"},
                 {}});
    c.push_back({"BadChecksum",
                 [] {
                     std::vector<Bytes> r = Records();
                     r[3].back() ^= 0x01;
                     return Header(kRomMain, 1) + Join(r) + kEnd;
                 },
                 std::nullopt, false, Then(kTo1, "Incorrect Check Sum"),
                 // Record 2 was held for the batch and is never sent.
                 SentWithRecords(1)});
    for (std::size_t length : {49u, 52u, 55u}) {
        c.push_back({"HeaderOf" + std::to_string(length) + "Bytes",
                     [length] {
                         // The disk number field "1 ": byte 48 alone already reads as 1.
                         Bytes h = Header(kRomMain, 1);
                         h[48] = '1';
                         h[49] = ' ';
                         return Bytes(h.begin(), h.begin() + static_cast<long>(length));
                     },
                     std::nullopt, false, Then(kToHeader, "Incorrect input file"), SentUpTo(22)});
    }
    return c;
}

class Outcome : public ::testing::TestWithParam<OutcomeCase> {};

TEST_P(Outcome, EndsWithItsTextAndANewTransferWorks) {
    const OutcomeCase& c = GetParam();
    TempDir tmp;
    RecordingHost host{tmp.dir()};
    tmp.Write("FW0001.q58", c.disk1());
    FaultPlan plan;
    if (c.fault) {
        plan.faults.push_back(*c.fault);
    }
    FakeUsbDevice device(plan);
    if (c.openFails) {
        device.FailOpen();
    }

    RunOne(host, UsbEnv(device));

    EXPECT_EQ(host.statuses(), c.statuses);
    EXPECT_EQ(device.received(), c.sent);
    // ClosePort at the end of every transfer, with the handle of this transfer's open.
    const std::int32_t handle = device.opens() > 0 && !c.openFails ? FakeUsbDevice::kHandle : 0;
    EXPECT_EQ(device.closes(), (std::vector<std::int32_t>{handle}));

    // The next transfer starts from scratch with the same host.
    tmp.Write("FW0001.q58", GoodDisk());
    FakeUsbDevice healthy;
    RunOne(host, UsbEnv(healthy));
    EXPECT_EQ(host.outcome(), "Transfer completed");
    EXPECT_TRUE(healthy.model().Complete()) << healthy.model().State();
}

INSTANTIATE_TEST_SUITE_P(Cases, Outcome, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace qf580::test
