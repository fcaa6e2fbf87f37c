// Which set went into which device: the set's digest against a released one, the record of
// every attempt (--record) as a line reads it months later, even after a crash or with other
// runs writing to the same file, and the published schemas checked by a real validator.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

#include "posix/UniqueFd.h"
#include "sim/TcpDeviceServer.h"
#include "tests/cli/DeviceLabel.h"
#include "tests/cli/JsonLinesSupport.h"
#include "tests/cli/SetWithRecord.h"
#include "tests/cli/SignalMasks.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Sha256Sum.h"
#include "tests/worker/WorkerSupport.h"

namespace qf580::test {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using sim::FaultKind;
using sim::FaultPlan;
using sim::ReplyPoint;
using sim::TcpDeviceServer;

// Every line of the record; one that is not whole or not one JSON object fails the test.
std::vector<json> Lines(const std::string& text) {
    std::vector<json> lines = JsonLines(text);
    EXPECT_TRUE(text.empty() || text.back() == '\n') << "the last line is whole";
    return lines;
}

class Record : public SetWithRecord {
  protected:
    Record() : SetWithRecord(Join(PassRecords(150, 3, 100))) {}

    // qf580-flash with `args`, every device in `devices` and the set.
    std::vector<std::string> Flash(std::vector<std::string> args,
                                   const std::vector<const TcpDeviceServer*>& devices) const {
        args.insert(args.begin(), QF580_FLASH);
        for (const TcpDeviceServer* device : devices) {
            args.insert(args.end(), {"--address", Label(*device)});
        }
        args.push_back(file);
        return args;
    }
};

TEST_F(Record, RefusedBeforeAnyDeviceIsContacted) {
    const std::string digest = Sha256Sum(set);
    const std::string other(64, 'a');
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string said;
    };
    const std::vector<Case> cases = {
        {{"--expect-sha256", other}, 21, "SHA-256 is " + digest + ", not " + other},
        {{"--expect-sha256", "0123"}, 2, "64 hexadecimal digits"},
        {{"--expect-sha256", digest, "--no-preflight"}, 2, "excludes"},
        {{"--record", tmp.path()}, 2, "cannot open the record " + tmp.path()},
        {{"--record", record, "--serial", "SN-1", "--serial", "SN-2"}, 2, "given 2 times for 1"},
        {{"--serial", "SN-1"}, 2, "requires --record"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.front() + " " + c.args[1]);
        TcpDeviceServer device;
        ChildProcess flash(Flash(c.args, {&device}));
        EXPECT_EQ(flash.Wait(), c.code) << flash.out << flash.err;
        EXPECT_NE(flash.err.find(c.said), std::string::npos) << flash.err;
        EXPECT_EQ(device.ConnectionsAccepted(), 0u);
    }
    ChildProcess check({QF580_FLASH, "--check", "--expect-sha256", other, file});
    EXPECT_EQ(check.Wait(), 21) << check.err;

    // The released digest, in capitals as a person may copy it: the set goes out.
    std::string upper = digest;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    TcpDeviceServer device;
    ChildProcess flash(Flash({"--expect-sha256", upper}, {&device}));
    EXPECT_EQ(flash.Wait(), 0) << flash.err;
    ASSERT_TRUE(device.WaitForConnectionsEnded(1, 5s));
    EXPECT_TRUE(device.Complete());
}

TEST_F(Record, TwoDevicesWithStationOperatorAndSerials) {
    TcpDeviceServer good;
    TcpDeviceServer wrong(FaultPlan{{At(FaultKind::WrongByte, ReplyPoint::HeaderAck)}});
    tmp.Write("attempts.jsonl", "an older line, kept\n");
    const std::string station = "Line 3 \"east\"\n";
    ChildProcess flash(Flash({"--record", record, "--station", station, "--operator", "山田 \xff",
                              "--serial", "SN-0001", "--serial", "SN-0002"},
                             {&good, &wrong}));
    EXPECT_EQ(flash.Wait(), 17) << flash.err;

    const std::string text = Contents(record);
    ASSERT_EQ(text.rfind("an older line, kept\n", 0), 0u) << "never truncated";
    const std::string ours = text.substr(text.find('\n') + 1);
    EXPECT_EQ(Validate(kRecord, ours), Valid(4));
    const std::vector<json> lines = Lines(ours);
    ASSERT_EQ(lines.size(), 4u) << text;
    const std::string digest = Sha256Sum(set);
    std::map<std::string, std::vector<json>> attempts;
    for (const json& line : lines) {
        attempts[line["attempt"]].push_back(line);
        EXPECT_EQ(line["set_sha256"], digest);
    }
    ASSERT_EQ(attempts.size(), 2u);
    for (const auto& [id, pair] : attempts) {
        ASSERT_EQ(pair.size(), 2u);
        const json& begin = pair[0];
        const json& end = pair[1];
        EXPECT_EQ(begin["event"], "begin");
        EXPECT_EQ(end["event"], "end");
        const bool first = begin["device"] == Label(good);
        EXPECT_EQ(begin["serial"], first ? "SN-0001" : "SN-0002");
        EXPECT_EQ(end["serial"], begin["serial"]);
        EXPECT_EQ(begin["station"], station);
        EXPECT_EQ(begin["operator"], "山田 \xef\xbf\xbd");
        EXPECT_EQ(begin["disks"],
                  json::parse(R"([{"path":")" + file + R"(","sha256":")" + digest + "\"}]"));
        EXPECT_EQ(begin["rom_type"], "MAIN ROM");
        EXPECT_LE(begin["time"].get<std::string>(), end["time"].get<std::string>());
        EXPECT_EQ(end["outcome"], first ? "Transfer completed" : "Header transfer error");
        EXPECT_EQ(end["exit_code"], first ? 0 : 17);
        EXPECT_EQ(end["bytes_sent"], first ? set.size() : 56u);
    }

    // Without station, operator and serials: the host's name, and nulls.
    TcpDeviceServer usual;
    ChildProcess plain(Flash({"--record", record}, {&usual}));
    EXPECT_EQ(plain.Wait(), 0) << plain.err;
    const std::vector<json> all = Lines(Contents(record).substr(text.size()));
    ASSERT_EQ(all.size(), 2u);
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    EXPECT_EQ(all[0]["station"], host);
    EXPECT_EQ(all[0]["host"], host);
    EXPECT_TRUE(all[0]["operator"].is_null());
    EXPECT_TRUE(all[1]["serial"].is_null());
}

TEST_F(Record, KilledMidRunLeavesWholeLinesAndEveryBegin) {
    const FaultPlan silent{{At(FaultKind::Silence, ReplyPoint::RecordAck, 1)}};
    TcpDeviceServer a(silent);
    TcpDeviceServer b(silent);
    ChildProcess flash(Flash({"--record", record, "--timeout-ms", "30000"}, {&a, &b}));
    ASSERT_TRUE(flash.WaitUntil(
        [&] { return a.ConnectionsAccepted() + b.ConnectionsAccepted() == 2; }, 10s));
    flash.Signal(SIGKILL);
    EXPECT_EQ(flash.Wait(), 128 + SIGKILL);
    const std::vector<json> lines = Lines(Contents(record));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["event"], "begin");
    EXPECT_EQ(lines[1]["event"], "begin");
    EXPECT_NE(lines[0]["device"], lines[1]["device"]);
}

TEST_F(Record, TwoRunsAppendToOneFileAtOnce) {
    std::vector<std::unique_ptr<TcpDeviceServer>> servers;
    std::vector<std::unique_ptr<ChildProcess>> runs;
    for (int run = 0; run < 2; ++run) {
        std::vector<const TcpDeviceServer*> devices;
        for (int i = 0; i < 6; ++i) {
            servers.push_back(std::make_unique<TcpDeviceServer>());
            devices.push_back(servers.back().get());
        }
        runs.push_back(std::make_unique<ChildProcess>(Flash({"--record", record}, devices)));
    }
    for (const auto& run : runs) {
        EXPECT_EQ(run->Wait(), 0) << run->err;
    }
    std::map<std::string, std::vector<std::string>> attempts;
    for (const json& line : Lines(Contents(record))) {
        attempts[line["attempt"]].push_back(line["event"]);
    }
    EXPECT_EQ(attempts.size(), 12u);
    for (const auto& [id, events] : attempts) {
        EXPECT_EQ(events, (std::vector<std::string>{"begin", "end"})) << id;
    }
}

// The file reaches the largest size this process may write: halfway through the second
// device's begin line, no device is contacted (exit 2); halfway through the first end line,
// both transfers complete, and the run says so and ends with 3. Nothing of a line cut short
// stays.
TEST_F(Record, AWriteThatFailsRefusesTheRunOrGivesExitCode3) {
    TcpDeviceServer probed;
    ChildProcess probe(Flash({"--record", record}, {&probed}));
    ASSERT_EQ(probe.Wait(), 0) << probe.err;
    const std::size_t line = Contents(record).find('\n') + 1;
    struct Case {
        std::size_t room;  // bytes left below the limit
        int code;
        std::size_t contacted;
        std::size_t begins;
    };
    for (const Case& c : {Case{line + 100, 2, 0, 1}, Case{2 * line + 20, 3, 2, 2}}) {
        SCOPED_TRACE(c.code);
        const std::string before(4096 - c.room, 'x');
        tmp.Write("attempts.jsonl", before.substr(1) + "\n");
        TcpDeviceServer a;
        TcpDeviceServer b;
        std::vector<std::string> args = Flash({"--record", record}, {&a, &b});
        args.insert(args.begin(), {"/usr/bin/prlimit", "--fsize=4096", "--"});
        ChildProcess flash(args);
        EXPECT_EQ(flash.Wait(), c.code) << flash.err;
        EXPECT_EQ(a.ConnectionsAccepted() + b.ConnectionsAccepted(), c.contacted);
        EXPECT_NE(flash.err.find("cannot write the record " + record + ": "), std::string::npos);
        const std::string ours = Contents(record).substr(before.size());
        const std::vector<json> lines = Lines(ours);
        ASSERT_EQ(lines.size(), c.begins);
        EXPECT_EQ(lines.back()["event"], "begin");
        EXPECT_EQ(Validate(kRecord, ours), Valid(c.begins));
    }
}

// A lock that another process holds and never gives back: the wait for it ends on Ctrl+C,
// before any device is contacted.
TEST_F(Record, ALockHeldElsewhereEndsOnAStop) {
    tmp.Write("attempts.jsonl", "");
    ChildProcess holder({"/usr/bin/flock", record, "/bin/sleep", "30"});
    const posix::UniqueFd probe(::open(record.c_str(), O_RDONLY | O_CLOEXEC));
    const auto held = [&] {
        if (::flock(probe.Get(), LOCK_EX | LOCK_NB) != 0) {
            return true;
        }
        ::flock(probe.Get(), LOCK_UN);
        return false;
    };
    ASSERT_TRUE(WaitUntil(held, 10s));
    TcpDeviceServer device;
    ChildProcess flash(Flash({"--record", record}, {&device}));
    ASSERT_TRUE(WaitUntil([&] { return Has(SignalMask(flash.Pid(), "SigBlk"), SIGINT); }, 10s));
    // Still waiting for the lock: nothing has ended the run.
    ASSERT_FALSE(flash.WaitUntil([&] { return !flash.err.empty(); }, 300ms)) << flash.err;
    flash.Signal(SIGINT);
    EXPECT_EQ(flash.Wait(), 10) << flash.err;
    EXPECT_NE(flash.err.find("stopped while waiting for its lock"), std::string::npos);
    EXPECT_EQ(device.ConnectionsAccepted(), 0u);
    holder.Signal(SIGTERM);
    holder.Wait();
    EXPECT_EQ(Contents(record), "");
}

// A record that is a disk of the set would write into the very firmware it records; one named
// as a disk that is not there yet is refused without making it.
TEST_F(Record, TheRecordIsNeverADiskOfTheSet) {
    for (const std::string& disk : {file, tmp.path() + "/FW0002.q58"}) {
        TcpDeviceServer device;
        ChildProcess flash(Flash({"--record", disk}, {&device}));
        EXPECT_EQ(flash.Wait(), 2) << flash.err;
        EXPECT_NE(flash.err.find("is a disk of the set"), std::string::npos) << flash.err;
        EXPECT_EQ(device.ConnectionsAccepted(), 0u);
    }
    EXPECT_EQ(Contents(file), std::string(set.begin(), set.end()));
    EXPECT_FALSE(std::filesystem::exists(tmp.path() + "/FW0002.q58"));
}

TEST_F(Record, OutputValidatesAgainstThePublishedSchemas) {
    // Two devices, disk 2 missing at first: the check asks for it.
    const std::vector<Bytes> records = PassRecords(40, 80);
    tmp.Write("FW0001.q58", Header(kRomMain, 1) + Join(records, 0, 20));
    const Bytes disk2 = Header(kRomMain, 2) + Join(records, 20, 41) + kEnd;
    TcpDeviceServer a;
    TcpDeviceServer b;
    ChildProcess flash(Flash({"--json", "--record", record}, {&a, &b}));
    ASSERT_TRUE(
        flash.WaitUntil([&] { return flash.err.find("Insert Disk 2") != std::string::npos; }, 10s));
    tmp.Write("FW0002.q58", disk2);
    flash.Write("OK\n");
    EXPECT_EQ(flash.Wait(), 0) << flash.err;
    EXPECT_NE(flash.out.find("\"event\":\"question\""), std::string::npos);
    EXPECT_EQ(Validate(kEvents, flash.out), Valid(Lines(flash.out).size()));
    EXPECT_EQ(Validate(kRecord, Contents(record)), Valid(4));

    ChildProcess check({QF580_FLASH, "--check", "--json", file});
    EXPECT_EQ(check.Wait(), 0);
    EXPECT_EQ(Validate(kEvents, check.out), Valid(1));
    // Another set than the released one: the event says what the process's exit code says.
    const std::string other(64, 'b');
    ChildProcess wrong({QF580_FLASH, "--check", "--json", "--expect-sha256", other, file});
    EXPECT_EQ(wrong.Wait(), 21);
    EXPECT_EQ(Validate(kEvents, wrong.out), Valid(1));
    const json event = json::parse(wrong.out);
    EXPECT_EQ(event["exit_code"], 21);
    EXPECT_TRUE(event["outcome"].is_null());
    EXPECT_EQ(event["expected_sha256"], other);
    EXPECT_EQ(event["set_sha256"], json::parse(check.out)["set_sha256"]);

    // A set refused for its checksum: check, then each device's begin, status and end.
    Bytes broken = set;
    broken[kHeaderSize + 3] ^= 1;
    tmp.Write("FW0001.q58", broken);
    ChildProcess refused(Flash({"--json"}, {&a, &b}));
    EXPECT_EQ(refused.Wait(), 19);
    EXPECT_EQ(Validate(kEvents, refused.out), Valid(7));

    // The schemas say something: an event of another kind, a field missing.
    const std::string invalid =
        R"({"schema":1,"event":"hello","device":null,"t":0})"
        "\n"
        R"({"schema":1,"event":"begin","device":"usb","t":0,"file":"f","rom_type":null,)"
        R"("passes":null,"records":null,"bytes":null})"
        "\n";
    const std::string verdict = Validate(kEvents, invalid);
    EXPECT_NE(verdict.find("'hello' is not one of"), std::string::npos) << verdict;
    EXPECT_NE(verdict.find("'set_sha256' is a required property"), std::string::npos) << verdict;
    EXPECT_NE(verdict.find("0 valid\nexit 1"), std::string::npos) << verdict;
}

// Disk 1 and disk 2 take turns in one drive, or disk 2 is replaced while disk 1 goes out: a
// device receives only the disks the check read, and the record names only what went out.
TEST_F(Record, OnlyTheCheckedSetGoesOut) {
    const std::vector<Bytes> records = PassRecords(40, 80);
    const Bytes disk1 = Header(kRomMain, 1) + Join(records, 0, 20);
    const Bytes disk2 = Header(kRomMain, 2) + Join(records, 20, 41) + kEnd;
    const Bytes other = Header(kRomMain, 2) + Join(PassRecords(21, 60)) + kEnd;
    const std::string digest = Sha256Sum(Header(kRomMain, 1) + Join(records) + kEnd);
    struct Case {
        const char* name;
        bool asked;  // disk 2 is out of the drive when the transfer reaches it
        const Bytes& then;
        int code;
    };
    for (const Case& c : {Case{"another disk 2 at the question", true, other, 16},
                          Case{"disk 2 replaced", false, other, 16},
                          Case{"the same disk 2 at the question", true, disk2, 0}}) {
        SCOPED_TRACE(c.name);
        tmp.Write("FW0001.q58", disk1);
        tmp.Remove("FW0002.q58");
        tmp.Remove("attempts.jsonl");
        // Slow enough that disk 2 is changed well before the transfer reaches it.
        TcpDeviceServer device(FaultPlan{{}, 150});
        ChildProcess flash(Flash({"--json", "--record", record}, {&device}));
        const auto asked = [&](std::size_t times) {
            return flash.WaitUntil(
                [&] {
                    std::size_t n = 0;
                    for (auto at = flash.err.find("Insert Disk 2"); at != std::string::npos;
                         at = flash.err.find("Insert Disk 2", at + 1)) {
                        ++n;
                    }
                    return n >= times;
                },
                10s);
        };
        ASSERT_TRUE(asked(1)) << flash.err;
        tmp.Write("FW0002.q58", disk2);
        flash.Write("OK\n");
        ASSERT_TRUE(flash.WaitUntil([&] { return device.ConnectionsAccepted() == 1; }, 10s));
        if (c.asked) {
            tmp.Remove("FW0002.q58");
            ASSERT_TRUE(asked(2)) << flash.err;
            tmp.Write("FW0002.q58", c.then);
            flash.Write("OK\n");
        } else {
            tmp.Write("FW0002.q58", c.then);
        }
        EXPECT_EQ(flash.Wait(), c.code) << flash.err;
        const std::string text = Contents(record);
        EXPECT_EQ(Validate(kRecord, text), Valid(2));
        const std::vector<json> lines = Lines(text);
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0]["set_sha256"], digest);
        if (c.code == 0) {
            EXPECT_EQ(lines[1]["set_sha256"], digest);
            EXPECT_TRUE(device.Complete());
            continue;
        }
        EXPECT_TRUE(lines[1]["set_sha256"].is_null());
        EXPECT_EQ(lines[1]["outcome"], "Incorrect input file");
        EXPECT_NE(flash.err.find(tmp.path() +
                                 "/FW0002.q58 is not the disk the check read: its "
                                 "SHA-256 is " +
                                 Sha256Sum(other) + ", the check's " + Sha256Sum(disk2)),
                  std::string::npos)
            << flash.err;
        // Not a byte of disk 2: the header and the records of disk 1 at most.
        EXPECT_LE(lines[1]["bytes_sent"].get<std::size_t>(), disk1.size());
        EXPECT_FALSE(device.Complete());
    }
}

}  // namespace
}  // namespace qf580::test
