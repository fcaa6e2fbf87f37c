// Station sessions (qf580-flash --loop) driven through a pipe, as a feeder script or a test
// drives them, against the simulator's devices: what is flashed, what is refused and why,
// when the line stops, and the record and events read back against their schemas.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

#include "sim/TcpDeviceServer.h"
#include "tests/cli/DeviceLabel.h"
#include "tests/cli/JsonLinesSupport.h"
#include "tests/cli/SetWithRecord.h"
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

std::vector<json> Where(const std::vector<json>& lines, const std::string& event) {
    std::vector<json> found;
    for (const json& line : lines) {
        if (line.value("event", "") == event) {
            found.push_back(line);
        }
    }
    return found;
}

FaultPlan Faulty(int connections) {
    FaultPlan plan;
    plan.faults.push_back(At(FaultKind::WrongByte, ReplyPoint::HeaderAck));
    plan.faultConnections = connections;
    return plan;
}

class Session : public SetWithRecord {
  protected:
    Session() : SetWithRecord(Join(PassRecords(4, 7, 16))) {}

    void Slots(const std::vector<FaultPlan>& plans) {
        for (const FaultPlan& plan : plans) {
            devices.push_back(std::make_unique<TcpDeviceServer>(plan));
        }
    }
    std::vector<std::string> Args(const std::vector<std::string>& extra) const {
        std::vector<std::string> args = {QF580_FLASH, "--loop",        "--json", "--record",
                                         record,      "--retry-delay", "0"};
        for (const auto& device : devices) {
            args.insert(args.end(), {"--address", Label(*device)});
        }
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(file);
        return args;
    }
    std::size_t Connections() const {
        std::size_t total = 0;
        for (const auto& device : devices) {
            total += device->ConnectionsAccepted();
        }
        return total;
    }
    // The record and the events of a session that has ended, each valid against its schema.
    void Check(const ChildProcess& flash) {
        const std::string text = Contents(record);
        lines = JsonLines(text);
        EXPECT_EQ(Validate(kRecord, text), Valid(lines.size()));
        events = JsonLines(flash.out);
        EXPECT_EQ(Validate(kEvents, flash.out), Valid(events.size()));
    }
    json SessionLine() const {
        const std::vector<json> sessions = Where(lines, "session");
        EXPECT_EQ(sessions.size(), 1u);
        return sessions.empty() ? json() : sessions.back();
    }

    std::vector<std::unique_ptr<TcpDeviceServer>> devices;
    std::vector<json> lines;
    std::vector<json> events;
};

std::string Serials(int from, int count) {
    std::string text;
    for (int i = from; i < from + count; ++i) {
        text += "SN-" + std::to_string(i) + "\n";
    }
    return text;
}

TEST_F(Session, FiftyUnitsOnTwoSlotsLinkFaultsRetriedThenPassed) {
    // Slot 1's fixture fails its first connection, slot 2's its first two.
    Slots({Faulty(1), Faulty(2)});
    ChildProcess flash(Args({"--retries", "2", "--station", "line-7"}));
    flash.Write(Serials(1, 50));
    ASSERT_EQ(flash.Wait(60s), 0) << flash.err;
    Check(flash);

    EXPECT_EQ(devices[0]->ConnectionsAccepted(), 26u);
    EXPECT_EQ(devices[1]->ConnectionsAccepted(), 27u);
    const json session = SessionLine();
    EXPECT_EQ(session["units"], 50);
    EXPECT_EQ(session["passed"], 50);
    EXPECT_EQ(session["failed"], 0);
    EXPECT_EQ(session["ended_by"], "end-of-input");
    EXPECT_EQ(session["station"], "line-7");
    EXPECT_EQ(session["outcomes"], json({{"Transfer completed", 50}}));

    // Unit 2 (slot 2) took three tries, each an attempt of its own pointing at the first.
    std::vector<json> unit2;
    for (const json& line : Where(lines, "end")) {
        EXPECT_EQ(line["session"], session["session"]);
        if (line["unit"] == 2) {
            unit2.push_back(line);
        }
    }
    ASSERT_EQ(unit2.size(), 3u);
    EXPECT_EQ(unit2[0]["exit_code"], 17);
    EXPECT_FALSE(unit2[0].contains("retry_of"));
    EXPECT_EQ(unit2[1]["try"], 2);
    EXPECT_EQ(unit2[2]["try"], 3);
    EXPECT_EQ(unit2[2]["exit_code"], 0);
    EXPECT_EQ(unit2[1]["retry_of"], unit2[0]["attempt"]);
    EXPECT_EQ(unit2[2]["retry_of"], unit2[0]["attempt"]);

    EXPECT_NE(flash.err.find("PASS  slot 2 (" + Label(*devices[1]) +
                             ")  SN-2  Transfer completed (exit 0), 3 tries"),
              std::string::npos);
    EXPECT_NE(flash.err.find("units 50, passed 50, failed 0, yield 100.0%, failures in a row 0"),
              std::string::npos);
    const std::vector<json> cycles = Where(events, "cycle");
    EXPECT_EQ(cycles.size(), 25u);
    ASSERT_EQ(Where(events, "session").size(), 1u);
    EXPECT_EQ(Where(events, "session")[0]["exit_code"], 0);
}

TEST_F(Session, RefusedSerialsAreAskedAgainAndNothingIsSent) {
    Slots({{}, {}});
    {
        // A unit flashed at another station, by a single run.
        ChildProcess single({QF580_FLASH, "--address", Label(*devices[0]), "--record", record,
                             "--station", "line-2", "--serial", "SN-OLD", file});
        ASSERT_EQ(single.Wait(), 0) << single.err;
    }
    struct Case {
        std::vector<std::string> args;
        std::string input;
        std::vector<std::string> reasons;  // of the refused serials, in order
        std::vector<std::string> flashed;  // serials, in order
    };
    const std::vector<Case> cases = {
        {{"--serial-pattern", "SN-[A-Z0-9]+"},
         "SN-\x1b[1\nSN 1\nSN-1\nSN-1\nSN-OLD\nSN-2\n",
         {"control character 0x1B", "does not match --serial-pattern",
          "scanned for slot 1 in this cycle already", "at line-2 with the set " + Sha256Sum(set)},
         {"SN-1", "SN-2"}},
        // A unit sent back for an update; an empty line leaves slot 2 out.
        {{"--allow-reflash"}, "SN-OLD\n\nSN-1\r\n", {}, {"SN-OLD", "SN-1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        const std::size_t before = Connections();
        ChildProcess flash(Args(c.args));
        flash.Write(c.input);
        ASSERT_EQ(flash.Wait(), 0) << flash.err;
        Check(flash);
        const std::vector<json> refused = Where(events, "refused");
        ASSERT_EQ(refused.size(), c.reasons.size()) << flash.err;
        for (std::size_t i = 0; i < refused.size(); ++i) {
            EXPECT_NE(refused[i]["reason"].get<std::string>().find(c.reasons[i]), std::string::npos)
                << refused[i];
        }
        std::vector<std::string> flashed;
        for (const json& cycle : Where(events, "cycle")) {
            for (const json& result : cycle["results"]) {
                flashed.push_back(result["serial"]);
            }
        }
        EXPECT_EQ(flashed, c.flashed);
        EXPECT_EQ(Connections() - before, c.flashed.size());
    }
    EXPECT_NE(Contents(record).find(R"("serial":"SN-1","session")"), std::string::npos);
}

TEST_F(Session, WhenTheLineStops) {
    struct Case {
        std::string name;
        std::vector<FaultPlan> slots;
        std::vector<std::string> args;
        int serials;
        int code;
        std::string endedBy;
        int units;
        int passed;
        std::string said;
    };
    const std::vector<Case> cases = {
        {"three failures in a row",
         {Faulty(0)},
         {},
         6,
         22,
         "failures-in-a-row",
         3,
         0,
         "3 units failed in a row: the station takes no more units"},
        {"never stopped",
         {Faulty(2)},
         {"--stop-after-failures", "0"},
         4,
         4,
         "end-of-input",
         4,
         2,
         "2  Header transfer error"},
        // Counted in slot order: slot 2's pass ends slot 1's failures in a row.
        {"a failure not in a row",
         {Faulty(1), {}},
         {"--stop-after-failures", "1"},
         4,
         4,
         "end-of-input",
         4,
         3,
         "1  Header transfer error"},
        {"units", {{}, {}}, {"--units", "3"}, 10, 0, "units", 3, 3, "units 3, passed 3"},
        {"retries do not count as failures",
         {Faulty(2)},
         {"--retries", "2", "--stop-after-failures", "1"},
         2,
         0,
         "end-of-input",
         2,
         2,
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        devices.clear();
        std::remove(record.c_str());
        Slots(c.slots);
        ChildProcess flash(Args(c.args));
        flash.Write(Serials(1, c.serials));
        ASSERT_EQ(flash.Wait(), c.code) << flash.err;
        Check(flash);
        const json session = SessionLine();
        EXPECT_EQ(session["ended_by"], c.endedBy);
        EXPECT_EQ(session["units"], c.units);
        EXPECT_EQ(session["passed"], c.passed);
        EXPECT_NE(flash.err.find(c.said), std::string::npos) << flash.err;
    }
}

TEST_F(Session, ABadSetIsRefusedOnceBeforeAnySerial) {
    Slots({{}});
    Bytes bad = set;
    bad[bad.size() - 3] ^= 0x01;  // the last record's checksum no longer holds
    file = tmp.Write("FW0001.q58", bad);
    ChildProcess flash(Args({}));
    flash.Write(Serials(1, 3));
    EXPECT_EQ(flash.Wait(), 19) << flash.err;
    EXPECT_EQ(Connections(), 0u);
    EXPECT_EQ(Contents(record), "");
    EXPECT_NE(flash.err.find("refused before any device was contacted"), std::string::npos);
}

TEST_F(Session, TheSetReplacedOnTheDiskEndsTheSessionBeforeAnyByte) {
    Slots({{}});
    ChildProcess flash(Args({}));
    flash.Write("SN-1\n");
    ASSERT_TRUE(flash.WaitForOutput(R"("event":"cycle")", 10s)) << flash.err;
    // Touched, same contents: flashed as before.
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), nullptr, 0), 0);
    flash.Write("SN-2\n");
    ASSERT_TRUE(flash.WaitUntil(
        [&] {
            return flash.out.find(R"("event":"cycle")") != flash.out.rfind(R"("event":"cycle")");
        },
        10s))
        << flash.err;
    // Another set copied over it, as a new file under the same name.
    const std::string other =
        tmp.Write("other.q58", Header(kRomMain, 1) + Join(PassRecords(4, 8, 16)) + kEnd);
    ASSERT_EQ(::rename(other.c_str(), file.c_str()), 0);
    flash.Write("SN-3\n");
    EXPECT_EQ(flash.Wait(), 23) << flash.err;
    Check(flash);
    EXPECT_EQ(Connections(), 2u);
    EXPECT_EQ(SessionLine()["ended_by"], "set-changed");
    EXPECT_EQ(Where(lines, "begin").size(), 2u) << "SN-3 has no attempt";
    EXPECT_NE(flash.err.find(file + " changed on the disk"), std::string::npos) << flash.err;
}

TEST_F(Session, CtrlCBetweenCyclesEndsWithTheSummary) {
    Slots({{}});
    ChildProcess flash(Args({}));
    flash.Write("SN-1\n");
    ASSERT_TRUE(flash.WaitForOutput(R"("event":"cycle")", 10s)) << flash.err;
    flash.Signal(SIGINT);
    // Wait closes the input: the stop must have been heard first, or the end of input wins.
    ASSERT_TRUE(
        flash.WaitUntil([&] { return flash.err.find("stop requested") != std::string::npos; }, 10s))
        << flash.err;
    EXPECT_EQ(flash.Wait(), 0) << flash.err;
    Check(flash);
    EXPECT_EQ(SessionLine()["ended_by"], "stop");
    EXPECT_NE(flash.err.find("Session ended (stop): units 1, passed 1"), std::string::npos)
        << flash.err;
}

TEST_F(Session, CtrlCDuringATransferStopsItThenEnds) {
    FaultPlan slow;
    slow.replyDelayMs = 300;
    Slots({slow});
    ChildProcess flash(Args({}));
    flash.Write("SN-1\nSN-2\n");
    ASSERT_TRUE(flash.WaitForOutput(R"("event":"begin")", 10s)) << flash.err;
    flash.Signal(SIGINT);
    EXPECT_EQ(flash.Wait(), 10) << flash.err;
    Check(flash);
    const json session = SessionLine();
    EXPECT_EQ(session["ended_by"], "stop");
    EXPECT_EQ(session["units"], 1);
    EXPECT_EQ(session["outcomes"], json({{"Aborted according to instruction received", 1}}));
}

}  // namespace
}  // namespace qf580::test
