// The worker against the device model through a fake USB driver: the bytes the device gets,
// how they are grouped into writes, where acknowledgements are awaited, and the status line.
#include <gtest/gtest.h>

#include "tests/worker/WorkerSupport.h"

namespace qf580::test {
namespace {

using Sizes = std::vector<std::size_t>;

std::size_t SizeOf(const std::vector<Bytes>& records, std::size_t from, std::size_t to) {
    std::size_t n = 0;
    for (std::size_t i = from; i <= to; ++i) {
        n += records[i].size();
    }
    return n;
}

class TransferTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override { host.Settings().SetFastTrans(GetParam()); }
    bool fast() const { return GetParam(); }

    // Disk 1 of the chosen name FW0000.q58.
    void WriteDisk1(const Bytes& bytes) { tmp.Write("FW0001.q58", bytes); }

    TempDir tmp;
    RecordingHost host{tmp.dir()};
};

INSTANTIATE_TEST_SUITE_P(Fast, TransferTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "FastOn" : "FastOff"; });

TEST_P(TransferTest, WorkedExampleByteForByte) {
    const Bytes header = Header(kRomMain, 1);
    const Bytes start{0x01, 0x12, 0x34, 0x46};
    const Bytes record{0x02, 0x01, 0x02, 0x03, 0x04, 0x0A};
    WriteDisk1(header + start + record + kEnd);

    FakeUsbDevice device;
    RunOne(host, UsbEnv(device));

    EXPECT_EQ(device.received(), Handshake(header) + start + record + kEnd);
    // Record 1 is a batch of its own with fast transfer on, so the writes are the same.
    EXPECT_EQ(device.writeSizes(), (HandshakeWrites() + Sizes{4, 6, 1}));
    EXPECT_EQ(host.events(), AsEvents(TransferTexts({1})) + Statuses{"ended"});
    EXPECT_TRUE(device.model().Complete()) << device.model().State();
    EXPECT_EQ(device.opens(), 1);
    EXPECT_EQ(device.closes(), (std::vector<std::int32_t>{FakeUsbDevice::kHandle}));
}

TEST_P(TransferTest, AcknowledgementsAfterIndexes0_1And65) {
    const Bytes header = Header(kRomMain, 1);
    // The largest records: records 2 to 65 fill the fast buffer exactly.
    const std::vector<Bytes> records = PassRecords(65, 7, 255);
    WriteDisk1(header + Join(records) + kEnd);

    FakeUsbDevice device;
    RunOne(host, UsbEnv(device));

    EXPECT_EQ(device.received(), Handshake(header) + Join(records) + kEnd);
    EXPECT_EQ(host.statuses(),
              (Statuses{"Searching for KV6200", "Sending Header", "Sending START record",
                        "Sending (1) Record", "Sending (65) Record", "Transfer completed"}));
    Sizes expected = HandshakeWrites();
    if (fast()) {
        expected = expected + Sizes{512, 512, kFastBufferSize, 1};
    } else {
        expected.insert(expected.end(), records.size(), 512);
        expected.push_back(1);
    }
    EXPECT_EQ(device.writeSizes(), expected);
    EXPECT_TRUE(device.model().Complete()) << device.model().State();
}

TEST_P(TransferTest, BatchesCloseAtEveryAckPointAndBeforeEnd) {
    const Bytes header = Header(kRomMain, 1);
    const std::vector<Bytes> records = PassRecords(140, 3, 5);
    WriteDisk1(header + Join(records) + kEnd);

    FakeUsbDevice device;
    RunOne(host, UsbEnv(device));

    EXPECT_EQ(device.received(), Handshake(header) + Join(records) + kEnd);
    EXPECT_EQ(host.statuses(),
              (Statuses{"Searching for KV6200", "Sending Header", "Sending START record",
                        "Sending (1) Record", "Sending (65) Record", "Sending (129) Record",
                        "Transfer completed"}));
    if (fast()) {
        const Sizes batches{records[0].size(),         records[1].size(),
                            SizeOf(records, 2, 65),    SizeOf(records, 66, 129),
                            SizeOf(records, 130, 140), 1};
        EXPECT_EQ(device.writeSizes(), HandshakeWrites() + batches);
    } else {
        EXPECT_EQ(device.writeSizes().size(), HandshakeWrites().size() + records.size() + 1);
    }
}

TEST_P(TransferTest, TwoPassesSendNothingTwice) {
    const Bytes header = Header(kRomSub, 1);
    const std::vector<Bytes> pass1 = PassRecords(70, 11);
    const std::vector<Bytes> pass2 = PassRecords(3, 90);
    WriteDisk1(header + Join(pass1) + kEnd + Join(pass2) + kEnd +
               Record(4, 1));  // after the last END: never read

    FakeUsbDevice device;
    RunOne(host, UsbEnv(device));

    EXPECT_EQ(device.received(), Handshake(header) + Join(pass1) + kEnd + Join(pass2) + kEnd);
    ASSERT_EQ(device.model().Received().passes.size(), 2u);
    EXPECT_EQ(device.model().Received().passes[0], pass1);
    EXPECT_EQ(device.model().Received().passes[1], pass2);
    EXPECT_EQ(host.statuses(), TransferTexts({70, 3}));
    if (fast()) {
        const Sizes batches{pass1[0].size(),
                            pass1[1].size(),
                            SizeOf(pass1, 2, 65),
                            SizeOf(pass1, 66, 70),
                            1,
                            pass2[0].size(),
                            pass2[1].size(),
                            SizeOf(pass2, 2, 3),
                            1};
        EXPECT_EQ(device.writeSizes(), HandshakeWrites() + batches);
    }
    EXPECT_TRUE(device.model().Complete()) << device.model().State();
}

TEST_P(TransferTest, PassOfStartAndEndOnly) {
    const Bytes header = Header(kRomMain, 1);
    const Bytes start = Record(3, 1);
    WriteDisk1(header + start + kEnd);

    FakeUsbDevice device;
    RunOne(host, UsbEnv(device));

    EXPECT_EQ(device.received(), Handshake(header) + start + kEnd);
    EXPECT_EQ(device.writeSizes(), (HandshakeWrites() + Sizes{start.size(), 1}));
    EXPECT_EQ(host.statuses(), TransferTexts({0}));
}

TEST_P(TransferTest, PassWhoseFirstRecordIsEnd) {
    const Bytes header = Header(kRomIrig, 1);
    const std::vector<Bytes> pass2 = PassRecords(2, 40);
    WriteDisk1(header + kEnd + Join(pass2) + kEnd);

    FakeUsbDevice device;
    RunOne(host, UsbEnv(device));

    EXPECT_EQ(device.received(), Handshake(header) + kEnd + Join(pass2) + kEnd);
    EXPECT_EQ(host.statuses(), TransferTexts({kEndOnly, 2}));
    EXPECT_EQ(device.writes()[HandshakeWrites().size()], kEnd) << "END alone, no ack awaited";
}

// A stop is noticed at the top of each record iteration and right after a periodic
// acknowledgement, and nowhere else; nothing is sent after it.
TEST_P(TransferTest, StopAfterStartAckEndsBeforeTheNextRecord) {
    const Bytes header = Header(kRomMain, 1);
    const std::vector<Bytes> records = PassRecords(5, 2);
    WriteDisk1(header + Join(records) + kEnd);
    host.onStatus = [this](const std::string& text) {
        if (text == "Sending START record") {
            StopRunningWorker(host);
        }
    };

    FakeUsbDevice device;
    RunOne(host, UsbEnv(device));

    EXPECT_EQ(host.outcome(), "Aborted according to instruction received");
    EXPECT_EQ(device.received(), Handshake(header) + records[0]);
}

TEST_P(TransferTest, StopDuringPeriodicAckTakesEffectAfterIt) {
    const Bytes header = Header(kRomMain, 1);
    const std::vector<Bytes> records = PassRecords(5, 2);
    WriteDisk1(header + Join(records) + kEnd);
    host.onStatus = [this](const std::string& text) {
        if (text == "Sending (1) Record") {
            StopRunningWorker(host);
        }
    };

    FakeUsbDevice device;
    RunOne(host, UsbEnv(device));

    EXPECT_EQ(host.statuses(), Then(ToRecord(1), "Aborted according to instruction received"));
    EXPECT_EQ(device.received(), Handshake(header) + records[0] + records[1]);
}

// Without fast transfer, so that every record is a write of its own to stop after.
TEST(Stop, BetweenAckPointsEndsAtTheNextRecord) {
    TempDir tmp;
    RecordingHost host{tmp.dir()};
    host.Settings().SetFastTrans(false);
    const Bytes header = Header(kRomMain, 1);
    const std::vector<Bytes> records = PassRecords(20, 5);
    tmp.Write("FW0001.q58", header + Join(records) + kEnd);
    FakeUsbDevice device;
    device.OnWrite([&host, &records](const Bytes& w) {
        if (w == records[7]) {
            StopRunningWorker(host);
        }
    });

    RunOne(host, UsbEnv(device));

    EXPECT_EQ(host.outcome(), "Aborted according to instruction received");
    std::vector<Bytes> sent(records.begin(), records.begin() + 8);
    EXPECT_EQ(device.received(), Handshake(header) + Join(sent));
}

// A worker without a thread runs its transfer on the caller's thread, to the same bytes and
// the same end; one stopped before it runs ends as a stop does. Either way it is disposed of on
// that thread afterwards without waiting for itself.
TEST(OnCallingThread, RunsTheSameTransferOnTheCallersThread) {
    TempDir tmp;
    RecordingHost host{tmp.dir()};
    const Bytes header = Header(kRomMain, 1);
    const std::vector<Bytes> records = PassRecords(70, 3);
    tmp.Write("FW0001.q58", header + Join(records) + kEnd);
    for (const bool stopFirst : {false, true}) {
        host.Clear();
        FakeUsbDevice device;
        std::thread::id ranOn;
        host.onStatus = [&ranOn](const std::string&) { ranOn = std::this_thread::get_id(); };
        {
            TTrans trans(host, host.file(), UsbEnv(device), TTrans::OnCallingThread{});
            if (stopFirst) {
                trans.Terminate();
            }
            trans.RunHere();
            EXPECT_TRUE(trans.Finished());
            trans.RunHere();  // once only
            trans.WaitFor();
        }
        EXPECT_EQ(ranOn, std::this_thread::get_id());
        const std::vector<std::string> events = host.events();
        EXPECT_EQ(std::count(events.begin(), events.end(), "ended"), 1);
        if (stopFirst) {
            EXPECT_EQ(host.outcome(), "Aborted according to instruction received");
            EXPECT_FALSE(device.model().Complete());
        } else {
            EXPECT_EQ(host.outcome(), "Transfer completed");
            EXPECT_EQ(device.received(), Handshake(header) + Join(records) + kEnd);
        }
    }
}

// The fast-transfer flag is read while the transfer runs. Flipping it as fast as possible
// must never change the byte stream, only its grouping.
TEST(FastFlag, FlippedAllTheTimeNeitherLosesNorReordersRecords) {
    TempDir tmp;
    RecordingHost host{tmp.dir()};
    const Bytes header = Header(kRomSub, 1);
    std::vector<Bytes> pass1;
    for (int i = 0; i < 300; ++i) {
        pass1.push_back(Record(1 + (i * 7) % 60, static_cast<unsigned>(i)));
    }
    const std::vector<Bytes> pass2 = PassRecords(80, 500, 3);
    tmp.Write("FW0001.q58", header + Join(pass1) + kEnd + Join(pass2) + kEnd);
    const Bytes expected = Handshake(header) + Join(pass1) + kEnd + Join(pass2) + kEnd;

    for (int round = 0; round < 4; ++round) {
        std::atomic<bool> done{false};
        std::thread flipper([&] {
            bool on = round % 2 == 0;
            while (!done.load()) {
                host.Settings().SetFastTrans(on = !on);
                std::this_thread::sleep_for(std::chrono::microseconds(20 + round * 30));
            }
        });
        FakeUsbDevice device;
        RunOne(host, UsbEnv(device));
        done.store(true);
        flipper.join();

        EXPECT_EQ(host.outcome(), "Transfer completed") << "round " << round;
        EXPECT_EQ(device.received(), expected) << "round " << round;
        for (std::size_t size : device.writeSizes()) {
            EXPECT_GT(size, 0u) << "an empty batch was written";
            EXPECT_LE(size, kFastBufferSize);
        }
    }
}

}  // namespace
}  // namespace qf580::test
