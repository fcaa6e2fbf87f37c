#include "cli/CheckReport.h"

#include "cli/ExitCodes.h"
#include "cli/Json.h"

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
    std::string text = "Disk " + std::to_string(disk.diskNo) + " " + disk.path + ": ";
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
    std::string text = "disk " + std::to_string(fault.diskNo) + " (" + fault.path + ")";
    if (fault.offset) {
        text += ", byte " + std::to_string(*fault.offset);
    }
    return text + ": " + fault.detail;
}

std::string CheckText(const std::string& file, const SetCheckResult& result) {
    const SetSummary& s = result.summary;
    std::string text = "Set: " + file + "\n";
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

std::string CheckJson(const std::string& file, const SetCheckResult& result, double t) {
    const SetSummary& s = result.summary;
    JsonObject object;
    object.Int("schema", 1)
        .String("event", "check")
        .Null("device")
        .Number("t", t)
        .String("file", file);
    object.String("outcome", OutcomeText(result.outcome))
        .Int("exit_code", ExitCodeFor(result.outcome));
    if (s.romType) {
        object.String("rom_type", RomTypeName(*s.romType));
    } else {
        object.Null("rom_type");
    }
    JsonArray passes;
    for (const PassContents& pass : s.passes) {
        passes.Raw(JsonObject()
                       .Int("records", pass.Records())
                       .Unsigned("bytes", pass.Bytes())
                       .Bool("end", pass.ended)
                       .Text());
    }
    object.Raw("passes", passes.Text());
    // Totals of a set that can't be sent would only mislead.
    if (result.Sound()) {
        object.Int("records", s.TotalRecords()).Unsigned("bytes", s.TotalBytes());
    } else {
        object.Null("records").Null("bytes");
    }
    JsonArray disks;
    for (const DiskContents& disk : s.disks) {
        JsonArray parts;
        for (const DiskPart& part : disk.parts) {
            parts.Raw(JsonObject()
                          .Int("pass", part.pass)
                          .Int("first_record", part.firstRecord)
                          .Int("records", part.records)
                          .Bool("end", part.endRecord)
                          .Text());
        }
        disks.Raw(JsonObject()
                      .Int("disk", disk.diskNo)
                      .String("path", disk.path)
                      .Raw("parts", parts.Text())
                      .Unsigned("dropped_bytes", disk.droppedBytes)
                      .Unsigned("unread_bytes", disk.unreadBytes)
                      .Raw("sha256", DigestJson(disk.sha256))
                      .Text());
    }
    object.Raw("disks", disks.Text());
    if (result.fault) {
        const SetFault& fault = *result.fault;
        JsonObject f;
        f.Int("disk", fault.diskNo).String("path", fault.path);
        if (fault.offset) {
            f.Unsigned("offset", *fault.offset);
        } else {
            f.Null("offset");
        }
        if (fault.pass > 0) {
            f.Int("pass", fault.pass).Int("record", fault.recordIndex);
        } else {
            f.Null("pass").Null("record");
        }
        f.String("detail", fault.detail);
        object.Raw("fault", f.Text());
    } else {
        object.Null("fault");
    }
    object.Raw("set_sha256", DigestJson(result.Sound() ? s.setSha256 : std::string()));
    return object.Text();
}

}  // namespace qf580::cli
