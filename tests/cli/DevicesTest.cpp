// Several devices from one qf580-flash at once, against the simulator's servers on loopback:
// each device's bytes, status lines and outcome, the summary table and the exit code, and the
// JSON Lines of a run read back line by line.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <nlohmann/json.hpp>

#include "sim/TcpDeviceServer.h"
#include "tests/cli/DeviceLabel.h"
#include "tests/support/ChildProcess.h"
#include "tests/worker/WorkerSupport.h"

namespace qf580::test {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;
using nlohmann::json;
using sim::FaultKind;
using sim::FaultPlan;
using sim::ReplyPoint;
using sim::TcpDeviceServer;

// The lines of `out` that start with the device's prefix, the prefix taken off.
Lines LinesOf(const Lines& lines, const std::string& device) {
    const std::string prefix = "[" + device + "] ";
    Lines mine;
    for (const std::string& line : lines) {
        if (line.rfind(prefix, 0) == 0) {
            mine.push_back(line.substr(prefix.size()));
        }
    }
    return mine;
}

std::size_t IndexOf(const Lines& lines, const std::string& line) {
    return static_cast<std::size_t>(std::find(lines.begin(), lines.end(), line) - lines.begin());
}

// Every line of a --json run's standard output, parsed: any line that is not one JSON object
// fails the test.
std::vector<json> Events(const std::string& out) {
    std::vector<json> events;
    std::size_t start = 0;
    for (std::size_t nl; (nl = out.find('\n', start)) != std::string::npos; start = nl + 1) {
        const std::string line = out.substr(start, nl - start);
        json event;
        EXPECT_NO_THROW(event = json::parse(line)) << line;
        EXPECT_TRUE(event.is_object()) << line;
        events.push_back(event);
    }
    EXPECT_EQ(start, out.size()) << "the output ends with a whole line";
    return events;
}

std::map<std::string, std::vector<json>> ByDevice(const std::vector<json>& events) {
    std::map<std::string, std::vector<json>> devices;
    for (const json& event : events) {
        if (event["device"].is_string()) {
            devices[event["device"].get<std::string>()].push_back(event);
        }
    }
    return devices;
}

class Devices : public ::testing::Test {
  protected:
    // A MAIN ROM set of 300 records of 512 bytes after START: acknowledged at 0, 1, 65, 129,
    // 193 and 257.
    Devices() {
        records = PassRecords(300, 11, 255);
        set = Header(kRomMain, 1) + Join(records) + kEnd;
        file = tmp.Write("FW0001.q58", set);
    }

    static sim::Fault Fault(FaultKind kind, ReplyPoint at, int index = 0) {
        return At(kind, at, index);
    }

    TempDir tmp;
    std::vector<Bytes> records;
    Bytes set;
    std::string file;
};

const Lines kStatuses = {"Searching for KV6200", "Sending Header",      "Sending START record",
                         "Sending (1) Record",   "Sending (65) Record", "Sending (129) Record",
                         "Sending (193) Record", "Sending (257) Record"};

TEST_F(Devices, EightAtOnceTwoOfThemFaulty) {
    // What one device receives from a transfer of its own.
    Bytes single;
    {
        TcpDeviceServer device;
        ChildProcess flash({QF580_FLASH, "--address", Label(device), file});
        ASSERT_EQ(flash.Wait(), 0) << flash.out << flash.err;
        EXPECT_EQ(flash.Lines(), kStatuses + Lines{"Transfer completed"});
        ASSERT_TRUE(device.WaitForConnectionsEnded(1, 5s));
        single = device.Received().bytes;
        ASSERT_EQ(single, Handshake(Header(kRomMain, 1)) + Join(records) + kEnd);
    }

    // Device 3 answers the header with a wrong byte; device 6 falls silent at record 65.
    constexpr std::size_t kWrong = 2;
    constexpr std::size_t kSilent = 5;
    constexpr int kSilenceLimitMs = 1500;
    std::vector<std::unique_ptr<TcpDeviceServer>> servers;
    std::vector<std::string> args = {QF580_FLASH, "--timeout-ms", std::to_string(kSilenceLimitMs)};
    for (std::size_t i = 0; i < 8; ++i) {
        FaultPlan plan;
        if (i == kWrong) {
            plan.faults.push_back(Fault(FaultKind::WrongByte, ReplyPoint::HeaderAck));
        } else if (i == kSilent) {
            plan.faults.push_back(Fault(FaultKind::Silence, ReplyPoint::RecordAck, 65));
        }
        servers.push_back(std::make_unique<TcpDeviceServer>(plan));
        args.push_back("--address");
        args.push_back(Label(*servers.back()));
    }
    args.push_back(file);

    ChildProcess flash(args);
    // The first device in the order given that did not complete decides: the wrong byte.
    EXPECT_EQ(flash.Wait(), 17) << flash.out << flash.err;
    const Lines lines = flash.Lines();

    for (std::size_t i = 0; i < servers.size(); ++i) {
        const std::string device = Label(*servers[i]);
        SCOPED_TRACE(device);
        ASSERT_TRUE(servers[i]->WaitForConnectionsEnded(1, 5s));
        EXPECT_EQ(servers[i]->ConnectionsAccepted(), 1u);
        const Lines mine = LinesOf(lines, device);
        if (i == kWrong) {
            EXPECT_EQ(mine,
                      (Lines{"Searching for KV6200", "Sending Header", "Header transfer error"}));
        } else if (i == kSilent) {
            EXPECT_EQ(mine, (Lines{"Searching for KV6200", "Sending Header", "Sending START record",
                                   "Sending (1) Record", "Sending (65) Record",
                                   "Aborted due to communication error"}));
            const Bytes& got = servers[i]->Received().bytes;
            EXPECT_EQ(got, Bytes(single.begin(), single.begin() + static_cast<long>(got.size())));
        } else {
            EXPECT_EQ(mine, kStatuses + Lines{"Transfer completed"});
            EXPECT_EQ(servers[i]->Received().bytes, single);
            EXPECT_TRUE(servers[i]->Complete());
            // Done while the silent device was still waiting for its acknowledgement.
            EXPECT_LT(IndexOf(lines, "[" + device + "] Transfer completed"),
                      IndexOf(lines, "[" + Label(*servers[kSilent]) +
                                         "] Aborted due to communication error"));
        }
    }

    // The table: a heading and one row per device, in the order given.
    ASSERT_GE(lines.size(), 9u);
    const Lines table(lines.end() - 9, lines.end());
    EXPECT_EQ(table[0].substr(0, 6), "device");
    std::vector<double> seconds;
    for (std::size_t i = 0; i < servers.size(); ++i) {
        const std::string& row = table[i + 1];
        SCOPED_TRACE(row);
        std::istringstream fields(row);
        std::string device;
        fields >> device;
        EXPECT_EQ(device, Label(*servers[i]));
        const std::string outcome = i == kWrong    ? "Header transfer error"
                                    : i == kSilent ? "Aborted due to communication error"
                                                   : "Transfer completed";
        const std::string code = i == kWrong ? "17" : i == kSilent ? "20" : "0";
        EXPECT_NE(row.find("  " + outcome + "  "), std::string::npos);
        std::istringstream rest(row.substr(row.find(outcome) + outcome.size()));
        std::string exitCode;
        std::uint64_t bytes = 0;
        double s = 0;
        rest >> exitCode >> bytes >> s;
        EXPECT_EQ(exitCode, code);
        if (i == kWrong) {
            EXPECT_EQ(bytes, 56u) << "the header reached the device before its wrong answer";
        } else if (i == kSilent) {
            // The header and the records up to the acknowledgement that never came.
            EXPECT_EQ(bytes, 56u + 66u * 512u);
        } else {
            EXPECT_EQ(bytes, set.size());
        }
        seconds.push_back(s);
    }
    EXPECT_GE(seconds[kSilent], kSilenceLimitMs / 1000.0 - 0.1);
    for (std::size_t i = 0; i < seconds.size(); ++i) {
        if (i != kSilent) {
            EXPECT_LT(seconds[i], seconds[kSilent]) << "device " << i + 1;
        }
    }
}

TEST_F(Devices, OneDeviceGivenWithItsPortIsAsBefore) {
    TcpDeviceServer device;
    ChildProcess flash({QF580_FLASH, "--address", Label(device), "--port", "1", file});
    EXPECT_EQ(flash.Wait(), 0) << flash.err;
    EXPECT_EQ(flash.Lines(), kStatuses + Lines{"Transfer completed"});
    EXPECT_TRUE(flash.err.empty()) << flash.err;
}

TEST_F(Devices, ARefusedSetReachesNoneOfThem) {
    Bytes bad = set;
    bad[bad.size() - 2] ^= 0x01;  // the last record's checksum
    tmp.Write("FW0001.q58", bad);
    TcpDeviceServer a;
    TcpDeviceServer b;
    ChildProcess flash({QF580_FLASH, "--address", Label(a), "--address", Label(b), file});
    EXPECT_EQ(flash.Wait(), 19) << flash.err;
    const Lines lines = flash.Lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "[" + Label(a) + "] Incorrect Check Sum");
    EXPECT_EQ(lines[1], "[" + Label(b) + "] Incorrect Check Sum");
    EXPECT_NE(lines[3].find("Incorrect Check Sum    19"), std::string::npos) << lines[3];
    EXPECT_EQ(a.ConnectionsAccepted() + b.ConnectionsAccepted(), 0u);
}

TEST_F(Devices, CtrlCStopsEveryDevice) {
    // Slow replies keep both transfers going long enough to be interrupted.
    TcpDeviceServer a(FaultPlan{{}, 100});
    TcpDeviceServer b(FaultPlan{{}, 100});
    ChildProcess flash(
        {QF580_FLASH, "--no-fast", "--address", Label(a), "--address", Label(b), file});
    ASSERT_TRUE(flash.WaitForOutput("[" + Label(a) + "] Sending (1) Record\n", 10s)) << flash.out;
    ASSERT_TRUE(flash.WaitForOutput("[" + Label(b) + "] Sending (1) Record\n", 10s)) << flash.out;
    flash.Signal(SIGINT);
    EXPECT_EQ(flash.Wait(10s), 10) << flash.err;
    const Lines lines = flash.Lines();
    for (const TcpDeviceServer* server : {&a, &b}) {
        EXPECT_EQ(LinesOf(lines, Label(*server)).back(),
                  "Aborted according to instruction received");
        ASSERT_TRUE(server->WaitForConnectionsEnded(1, 5s));
        EXPECT_FALSE(server->Complete());
    }
}

TEST_F(Devices, UsageErrors) {
    const std::vector<std::vector<std::string>> cases = {
        {QF580_FLASH, "--address", "127.0.0.1:8023", "--address", "127.0.0.1", file},
        {QF580_FLASH, "--address", "127.0.0.1:0", file},
        {QF580_FLASH, "--address", "127.0.0.1", "--usb", file},
    };
    for (const auto& args : cases) {
        ChildProcess flash(args);
        EXPECT_EQ(flash.Wait(), 2) << args[2];
        EXPECT_TRUE(flash.out.empty()) << flash.out;
    }
}

// Every event of a device, in order: begin, then status and progress as the transfer goes
// (a question where one was put), then end; and the fields each event carries.
void CheckDeviceEvents(const std::vector<json>& events, const Bytes& set, bool withQuestion) {
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events.front()["event"], "begin");
    EXPECT_EQ(events.back()["event"], "end");
    double t = 0;
    std::int64_t bytesSent = -1;
    std::int64_t recordsSent = -1;
    bool totalKnown = false;
    int questions = 0;
    Lines statuses;
    for (const json& e : events) {
        SCOPED_TRACE(e.dump());
        ASSERT_TRUE(e["t"].is_number());
        EXPECT_GE(e["t"].get<double>(), t) << "in order of time";
        t = e["t"].get<double>();
        const std::string kind = e["event"];
        if (kind == "begin") {
            EXPECT_EQ(&e, &events.front()) << "begin comes first, once";
            EXPECT_TRUE(e["file"].is_string());
            for (const char* key : {"rom_type", "passes", "records", "bytes"}) {
                EXPECT_TRUE(e.contains(key)) << key;
            }
        } else if (kind == "status") {
            statuses.push_back(e["text"]);
        } else if (kind == "progress") {
            ASSERT_TRUE(e["bytes_sent"].is_number());
            // Unknown only until the missing disk has come, and then the set's size for good.
            if (e["bytes_total"].is_null()) {
                EXPECT_FALSE(totalKnown) << "a total once known stays known";
            } else {
                EXPECT_EQ(e["bytes_total"], set.size());
                totalKnown = true;
            }
            // Never back; the same figures again only where the total has just become known.
            EXPECT_GE(e["bytes_sent"].get<std::int64_t>(), bytesSent);
            EXPECT_GE(e["records_sent"].get<std::int64_t>(), recordsSent);
            bytesSent = e["bytes_sent"];
            recordsSent = e["records_sent"];
        } else if (kind == "question") {
            ++questions;
            EXPECT_EQ(e["disk"], 2);
            EXPECT_EQ(e["answer"], "ok");
        } else if (kind == "end") {
            EXPECT_EQ(&e, &events.back()) << "end comes last, once";
            EXPECT_EQ(e["outcome"], "Transfer completed");
            EXPECT_EQ(e["exit_code"], 0);
            EXPECT_EQ(e["bytes_sent"], set.size());
            EXPECT_EQ(e["records_sent"], recordsSent);
            EXPECT_TRUE(e["seconds"].is_number());
        } else {
            ADD_FAILURE() << "unknown event " << kind;
        }
    }
    EXPECT_EQ(bytesSent, static_cast<std::int64_t>(set.size())) << "the last progress is 100%";
    EXPECT_TRUE(totalKnown);
    EXPECT_EQ(statuses.back(), "Transfer completed");
    EXPECT_EQ(statuses.front(), "Searching for KV6200");
    EXPECT_EQ(questions > 0, withQuestion);
}

TEST_F(Devices, JsonLinesOfTwoDevices) {
    TcpDeviceServer a;
    TcpDeviceServer b;
    ChildProcess flash({QF580_FLASH, "--json", "--address", Label(a), "--address", Label(b), file});
    EXPECT_EQ(flash.Wait(), 0) << flash.err;
    const std::vector<json> events = Events(flash.out);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front()["event"], "check");
    EXPECT_TRUE(events.front()["device"].is_null());
    EXPECT_EQ(events.front()["bytes"], set.size());
    const auto devices = ByDevice(events);
    EXPECT_EQ(devices.size(), 2u);
    for (const TcpDeviceServer* server : {&a, &b}) {
        SCOPED_TRACE(Label(*server));
        ASSERT_EQ(devices.count(Label(*server)), 1u);
        const std::vector<json>& mine = devices.at(Label(*server));
        CheckDeviceEvents(mine, set, false);
        EXPECT_EQ(mine.front()["rom_type"], "MAIN ROM");
        EXPECT_EQ(mine.front()["passes"], 1);
        EXPECT_EQ(mine.front()["records"], 301);
        EXPECT_EQ(mine.front()["bytes"], set.size());
        // Every status a single device's run shows, in its order.
        Lines statuses;
        for (const json& e : mine) {
            if (e["event"] == "status") {
                statuses.push_back(e["text"]);
            }
        }
        EXPECT_EQ(statuses, kStatuses + Lines{"Transfer completed"});
    }
    // The person's lines and the table went to standard error.
    EXPECT_NE(flash.err.find("[" + Label(a) + "] Sending Header\n"), std::string::npos);
    EXPECT_NE(flash.err.find("Transfer completed     0"), std::string::npos) << flash.err;
}

// Disk 2 missing when the transfers start (streamed, as the window does): both devices wait
// for it, the operator inserts it and answers, and every device's events show its question.
TEST_F(Devices, JsonLinesWithTheDiskQuestion) {
    const Bytes& cut = records[100];
    const Bytes disk1 = Header(kRomMain, 1) +
                        Join(std::vector<Bytes>(records.begin(), records.begin() + 100)) +
                        Bytes(cut.begin(), cut.begin() + 7);
    const Bytes disk2 =
        Header(kRomMain, 2) + Join(std::vector<Bytes>(records.begin() + 100, records.end())) + kEnd;
    tmp.Write("FW0001.q58", disk1);
    TcpDeviceServer a;
    TcpDeviceServer b;
    ChildProcess flash({QF580_FLASH, "--json", "--no-preflight", "--address", Label(a), "--address",
                        Label(b), file});
    // Every question is answered OK; disk 2 is put in place once both devices have had an
    // answer, so that each of them has asked (a device that comes to the question after an
    // answer, with the disk still missing, asks again).
    const std::string prompt = "Insert Disk 2 [OK/cancel]: ";
    auto prompts = [&] {
        std::size_t count = 0;
        for (std::size_t at = 0; (at = flash.err.find(prompt, at)) != std::string::npos; ++at) {
            ++count;
        }
        return count;
    };
    auto answered = [&](const TcpDeviceServer& server) {
        const auto devices = ByDevice(Events(flash.out));
        const auto mine = devices.find(Label(server));
        return mine != devices.end() &&
               std::any_of(mine->second.begin(), mine->second.end(),
                           [](const json& e) { return e["event"] == "question"; });
    };
    // One device may ask many times before the other has started at all on a loaded machine:
    // the bound only keeps a fault from looping for ever.
    for (std::size_t answers = 0; answers < 1000; ++answers) {
        ASSERT_TRUE(flash.WaitUntil([&] { return prompts() > answers; }, 10s)) << flash.err;
        const bool insert = answered(a) && answered(b);
        if (insert) {
            tmp.Write("FW0002.q58", disk2);
        }
        flash.Write("OK\n");
        if (insert) {
            break;
        }
    }
    EXPECT_EQ(flash.Wait(), 0) << flash.err;
    const auto devices = ByDevice(Events(flash.out));
    ASSERT_EQ(devices.size(), 2u);
    for (const TcpDeviceServer* server : {&a, &b}) {
        SCOPED_TRACE(Label(*server));
        const std::vector<json>& mine = devices.at(Label(*server));
        CheckDeviceEvents(mine, set, true);
        EXPECT_TRUE(mine.front()["bytes"].is_null()) << "disk 2 was missing at the start";
        EXPECT_EQ(mine.front()["rom_type"], "MAIN ROM") << "disk 1 was there";
        ASSERT_TRUE(server->WaitForConnectionsEnded(1, 5s));
        EXPECT_EQ(server->Received().bytes, Handshake(Header(kRomMain, 1)) + Join(records) + kEnd);
    }
}

// With the check before the transfers, the one question comes before any device is contacted
// and is in the record under no device; the devices then never ask.
TEST_F(Devices, JsonLinesWithTheQuestionOfTheCheck) {
    const Bytes& cut = records[100];
    tmp.Write("FW0001.q58", Header(kRomMain, 1) +
                                Join(std::vector<Bytes>(records.begin(), records.begin() + 100)) +
                                Bytes(cut.begin(), cut.begin() + 7));
    TcpDeviceServer a;
    TcpDeviceServer b;
    ChildProcess flash({QF580_FLASH, "--json", "--address", Label(a), "--address", Label(b), file});
    ASSERT_TRUE(flash.WaitUntil(
        [&] { return flash.err.find("Insert Disk 2 [OK/cancel]: ") != std::string::npos; }, 10s))
        << flash.err;
    EXPECT_EQ(a.ConnectionsAccepted() + b.ConnectionsAccepted(), 0u);
    tmp.Write("FW0002.q58", Header(kRomMain, 2) +
                                Join(std::vector<Bytes>(records.begin() + 100, records.end())) +
                                kEnd);
    flash.Write("OK\n");
    EXPECT_EQ(flash.Wait(), 0) << flash.err;

    const std::vector<json> events = Events(flash.out);
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[0]["event"], "question");
    EXPECT_TRUE(events[0]["device"].is_null());
    EXPECT_EQ(events[0]["disk"], 2);
    EXPECT_EQ(events[0]["answer"], "ok");
    EXPECT_EQ(events[1]["event"], "check");
    EXPECT_EQ(events[1]["outcome"], "Transfer completed");
    const auto devices = ByDevice(events);
    ASSERT_EQ(devices.size(), 2u);
    for (const auto& [device, mine] : devices) {
        SCOPED_TRACE(device);
        CheckDeviceEvents(mine, set, false);
        EXPECT_EQ(mine.front()["bytes"], set.size()) << "the check read the whole set";
    }
}

// qf580-sim --devices: N devices on N free ports, a fault aimed at one of them, and one
// qf580-flash for them all.
TEST_F(Devices, SimulatorProgramWithSeveralDevices) {
    ChildProcess sim(
        {QF580_SIM, "--port", "0", "--devices", "3", "--once", "--fault", "2=wrong:header"});
    ASSERT_TRUE(sim.WaitUntil([&] { return sim.Lines().size() >= 3; }, 10s)) << sim.err;
    std::vector<std::string> args = {QF580_FLASH};
    std::vector<std::string> devices;
    for (const std::string& line : sim.Lines()) {
        const std::string prefix = "listening on ";
        ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
        devices.push_back(line.substr(prefix.size()));
        args.push_back("--address");
        args.push_back(devices.back());
    }
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_NE(devices[0], devices[1]);
    args.push_back(file);
    ChildProcess flash(args);
    EXPECT_EQ(flash.Wait(), 17) << flash.out << flash.err;
    EXPECT_EQ(LinesOf(flash.Lines(), devices[1]).back(), "Header transfer error");
    EXPECT_EQ(LinesOf(flash.Lines(), devices[0]).back(), "Transfer completed");
    EXPECT_EQ(LinesOf(flash.Lines(), devices[2]).back(), "Transfer completed");

    EXPECT_EQ(sim.Wait(), 1) << "one of the three did not complete";
    const Lines out = sim.Lines();
    for (std::size_t i = 0; i < devices.size(); ++i) {
        SCOPED_TRACE(devices[i]);
        const Lines mine = LinesOf(out, devices[i]);
        ASSERT_EQ(mine.size(), 1u);
        if (i == 1) {
            EXPECT_EQ(mine[0].rfind("tcp: bytes 78 (22 of the handshake, 56 of the set), records "
                                    "0, passes 0/1, stopped: ",
                                    0),
                      0u)
                << mine[0];
        } else {
            const std::size_t set = Header(kRomMain, 1).size() + Join(records).size() + 1;
            EXPECT_EQ(mine[0], "tcp: bytes " + std::to_string(22 + set) +
                                   " (22 of the handshake, " + std::to_string(set) +
                                   " of the set), records 301, passes 1/1, "
                                   "complete");
        }
    }
}

}  // namespace
}  // namespace qf580::test
