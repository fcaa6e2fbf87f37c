// The status texts a transfer shows on its way, in the worker's order: the lists that the
// worker, command-line and window tests expect, written out once and independently of the
// worker's code.
#pragma once

#include <string>
#include <vector>

namespace qf580::test {

using Statuses = std::vector<std::string>;

// The handshake is under way: the link is being opened.
inline Statuses ToHandshake() {
    return {"Searching for KV6200"};
}

// The handshake is done and the header is being sent.
inline Statuses ToHeader() {
    return {"Searching for KV6200", "Sending Header"};
}

// A pass whose first record is its END record shows no text of its own.
inline constexpr int kEndOnly = -1;

// One pass up to and including record index `last` (0 is the START record): "Sending START
// record", then "Sending (i) Record" at each acknowledgement point i = 1, 65, 129, ... up to
// `last`. For a whole pass, `last` is its number of records after START.
inline Statuses PassTexts(int last) {
    Statuses texts;
    if (last < 0) {
        return texts;
    }
    texts.push_back("Sending START record");
    for (int i = 1; i <= last; i += 64) {
        texts.push_back("Sending (" + std::to_string(i) + ") Record");
    }
    return texts;
}

// The texts of the first pass up to record index `last`.
inline Statuses ToRecord(int last) {
    Statuses texts = ToHeader();
    const Statuses pass = PassTexts(last);
    texts.insert(texts.end(), pass.begin(), pass.end());
    return texts;
}

// `texts` followed by `outcome`.
inline Statuses Then(Statuses texts, const std::string& outcome) {
    texts.push_back(outcome);
    return texts;
}

// A whole transfer: the handshake's texts, each pass's (given by its number of records after
// START), then `outcome`.
inline Statuses TransferTexts(const std::vector<int>& passes,
                              const std::string& outcome = "Transfer completed") {
    Statuses texts = ToHeader();
    for (const int records : passes) {
        const Statuses pass = PassTexts(records);
        texts.insert(texts.end(), pass.begin(), pass.end());
    }
    return Then(texts, outcome);
}

// The same texts as the worker test host records them ("status:" + text).
inline Statuses AsEvents(const Statuses& texts) {
    Statuses events;
    for (const std::string& text : texts) {
        events.push_back("status:" + text);
    }
    return events;
}

}  // namespace qf580::test
