// The outcome texts are what operators and scripts read: each is checked here letter for
// letter against the texts as written out independently of the code.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "transfer/Outcome.h"

namespace qf580::test {
namespace {

TEST(OutcomeText, EachOutcomeHasItsExactText) {
    const std::vector<std::pair<Outcome, std::string>> expected = {
        {Outcome::Completed, "Transfer completed"},
        {Outcome::Aborted, "Aborted according to instruction received"},
        {Outcome::InvalidRomType, "Invalid ROM Type"},
        {Outcome::CannotOpenPort, "Cannot open port"},
        {Outcome::SetupFailure, "Communication setup failure"},
        {Outcome::NoIdent, "Couldn't receive QUILLMAR character string"},
        {Outcome::HeaderSizeFailure, "Heder size communication failure"},
        {Outcome::IncorrectInput, "Incorrect input file"},
        {Outcome::HeaderError, "Header transfer error"},
        {Outcome::NoEnd, "No END record"},
        {Outcome::BadChecksum, "Incorrect Check Sum"},
        {Outcome::CommError, "Aborted due to communication error"},
    };
    std::set<Outcome> covered;
    for (const auto& [outcome, text] : expected) {
        EXPECT_EQ(std::string(OutcomeText(outcome)), text);
        covered.insert(outcome);
    }
    // The table above names every outcome there is, each once.
    EXPECT_EQ(covered.size(), expected.size());
    EXPECT_EQ(covered, std::set<Outcome>(kAllOutcomes.begin(), kAllOutcomes.end()));
}

}  // namespace
}  // namespace qf580::test
