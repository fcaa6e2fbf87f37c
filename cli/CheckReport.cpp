#include "cli/CheckReport.h"

#include "cli/ExitCodes.h"
#include "cli/Json.h"
#include "text/Escape.h"
#include "text/JsonText.h"

namespace qf580::cli {

namespace {

std::string Plural(std::uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string PartText(const DiskPart& part) {
    std::string text = "pass " + std::to_string(part.pass);
    if (part.records == 1) {
        text += " record " + std::to_string(part.firstRecord);
    } else if (part.records > 1) {
        text += " records " + std::to_string(part.firstRecord) + "-" +
                std::to_string(part.firstRecord + part.records - 1);
    }
    if (part.endRecord) {
        text += part.records > 0 ? " and END" : " END";
    }
    return text;
}

std::string DiskText(const DiskContents& disk) {
    std::string text =
        "Disk " + std::to_string(disk.diskNo) + " " + EscapeControls(disk.path) + ": ";
    std::string contents = disk.diskNo == 1 ? "header" : "";
    for (const DiskPart& part : disk.parts) {
        contents += (contents.empty() ? "" : ", ") + PartText(part);
    }
    text += contents.empty() ? "no records" : contents;
    if (disk.droppedBytes > 0) {
        text += "; " + Plural(disk.droppedBytes, "byte", "bytes") +
                " of a record cut short at its end, dropped";
    }
    if (disk.unreadBytes > 0) {
        text += "; " + Plural(disk.unreadBytes, "byte", "bytes") +
                " after the last END record, not read";
    }
    return text;
}

}  // namespace

std::string FaultText(const SetCheckResult& result) {
    if (!result.fault) {
        return {};
    }
    const SetFault& fault = *result.fault;
    std::string text =
        "disk " + std::to_string(fault.diskNo) + " (" + EscapeControls(fault.path) + ")";
    if (fault.offset) {
        text += ", byte " + std::to_string(*fault.offset);
    }
    return text + ": " + EscapeControls(fault.detail);
}

std::string CheckText(const std::string& file, const SetCheckResult& result) {
    const SetSummary& s = result.summary;
    std::string text = "Set: " + EscapeControls(file) + "\n";
    if (s.romType) {
        text += "ROM type: " + RomTypeName(*s.romType) + ", " +
                Plural(static_cast<std::uint64_t>(PassCount(*s.romType)), "pass", "passes") + "\n";
    }
    for (std::size_t p = 0; p < s.passes.size(); ++p) {
        const PassContents& pass = s.passes[p];
        text += "Pass " + std::to_string(p + 1) + ": " +
                Plural(static_cast<std::uint64_t>(pass.Records()), "record", "records") + ", " +
                Plural(pass.Bytes(), "byte", "bytes") + (pass.ended ? "" : " before the fault") +
                "\n";
    }
    for (const DiskContents& disk : s.disks) {
        text += DiskText(disk) + "\n";
    }
    // Each file's own, to compare with the digest its maker published for it.
    for (const DiskContents& disk : s.disks) {
        if (!disk.sha256.empty()) {
            text += "Disk " + std::to_string(disk.diskNo) + " SHA-256: " + disk.sha256 + "\n";
        }
    }
    if (result.Sound()) {
        text +=
            "Total: " + Plural(static_cast<std::uint64_t>(s.TotalRecords()), "record", "records") +
            ", " + std::to_string(s.TotalBytes()) + " bytes with the " +
            std::to_string(kHeaderSize) + "-byte header\n";
        text += "Set SHA-256: " + s.setSha256 + "\n";
        text += "The set is sound\n";
    } else {
        text += "Fault: " + FaultText(result) + "\n";
        text += std::string(OutcomeText(result.outcome)) + "\n";
    }
    return text;
}

bool WrongSet(const SetCheckResult& result, const std::optional<std::string>& expectSha256) {
    return expectSha256 && result.Sound() && result.summary.setSha256 != *expectSha256;
}

JsonValue CheckJson(const std::string& file, const SetCheckResult& result, double t,
                    const std::optional<std::string>& expectSha256) {
    const SetSummary& s = result.summary;
    JsonValue object = EventPrologue("check", std::nullopt, t);
    object["file"] = file;
    const bool wrong = WrongSet(result, expectSha256);
    object["outcome"] = wrong ? JsonValue(nullptr) : JsonValue(OutcomeText(result.outcome));
    object["exit_code"] = wrong ? kExitWrongSet : ExitCodeFor(result.outcome);
    object["rom_type"] = s.romType ? JsonValue(RomTypeName(*s.romType)) : JsonValue(nullptr);
    JsonValue passes = JsonValue::array();
    for (const PassContents& pass : s.passes) {
        JsonValue p = JsonValue::object();
        p["records"] = pass.Records();
        p["bytes"] = pass.Bytes();
        p["end"] = pass.ended;
        passes.push_back(std::move(p));
    }
    object["passes"] = std::move(passes);
    // Totals of a set that can't be sent would only mislead.
    object["records"] = result.Sound() ? JsonValue(s.TotalRecords()) : JsonValue(nullptr);
    object["bytes"] = result.Sound() ? JsonValue(s.TotalBytes()) : JsonValue(nullptr);
    JsonValue disks = JsonValue::array();
    for (const DiskContents& disk : s.disks) {
        JsonValue parts = JsonValue::array();
        for (const DiskPart& part : disk.parts) {
            JsonValue p = JsonValue::object();
            p["pass"] = part.pass;
            p["first_record"] = part.firstRecord;
            p["records"] = part.records;
            p["end"] = part.endRecord;
            parts.push_back(std::move(p));
        }
        JsonValue d = JsonValue::object();
        d["disk"] = disk.diskNo;
        d["path"] = disk.path;
        d["parts"] = std::move(parts);
        d["dropped_bytes"] = disk.droppedBytes;
        d["unread_bytes"] = disk.unreadBytes;
        d["sha256"] = DigestOrNull(disk.sha256);
        disks.push_back(std::move(d));
    }
    object["disks"] = std::move(disks);
    if (result.fault) {
        const SetFault& fault = *result.fault;
        JsonValue f = JsonValue::object();
        f["disk"] = fault.diskNo;
        f["path"] = fault.path;
        f["offset"] = fault.offset ? JsonValue(*fault.offset) : JsonValue(nullptr);
        f["pass"] = fault.pass > 0 ? JsonValue(fault.pass) : JsonValue(nullptr);
        f["record"] = fault.pass > 0 ? JsonValue(fault.recordIndex) : JsonValue(nullptr);
        f["detail"] = fault.detail;
        object["fault"] = std::move(f);
    } else {
        object["fault"] = nullptr;
    }
    object["set_sha256"] = DigestOrNull(result.Sound() ? s.setSha256 : std::string());
    object["expected_sha256"] = expectSha256 ? JsonValue(*expectSha256) : JsonValue(nullptr);
    return object;
}

}  // namespace qf580::cli
