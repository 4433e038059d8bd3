// The decision over a profile opened from the command line, and the question's text.

#include "OpenedProfileSafety.h"
#include "ProfileSettings.h"

#include <gtest/gtest.h>

namespace tsc::shell {
namespace {

struct PlanCase {
    const char *name;
    OpenedProfileFacts facts;
    OpenedProfilePlan plan;
};

// Facts in order: command line, own folders, written by the client, don't ask,
// switched off, host known, has a target, only the user can change it. Plan: from
// elsewhere, ask, keep the saved password.
const PlanCase PlanCases[] = {
    {"profile of the data folder at start", {false, true, false, false, false, false}, {false, false, true}},
    {"parameter 1 inside the own folders", {true, true, false, false, false, false}, {false, false, true}},
    {"parameter 1 written by the client", {true, false, true, false, false, false}, {false, false, true}},
    {"parameter 1 from elsewhere, new host", {true, false, false, false, false, false}, {true, true, false}},
    {"parameter 1 from elsewhere, known host", {true, false, false, false, false, true}, {true, true, true}},
    {"don't ask again for this content", {true, false, false, true, false, false}, {true, false, false}},
    {"switched off on the machine", {true, false, false, false, true, false}, {true, false, false}},
    {"switched off, known host", {true, false, false, false, true, true}, {true, false, true}},
    {"written by the client, in a folder others can write",
     {true, false, true, false, false, false, true, false},
     {true, true, false}},
    {"in the connection folder, a team share",
     {true, true, false, false, false, true, true, false},
     {true, true, true}},
    {"chosen in a team share connection folder",
     {false, true, false, false, false, false, true, false},
     {true, true, false}},
    {"empty or oversized file: no host",
     {true, false, false, false, false, false, false},
     {true, false, false}},
};

TEST(OpenedProfilePlan, FollowsTheTable) {
    for (const PlanCase &c : PlanCases) {
        SCOPED_TRACE(c.name);
        const OpenedProfilePlan plan = PlanOpenedProfile(c.facts);
        EXPECT_EQ(plan.fromElsewhere, c.plan.fromElsewhere);
        EXPECT_EQ(plan.ask, c.plan.ask);
        EXPECT_EQ(plan.keepSavedPassword, c.plan.keepSavedPassword);
    }
}

TEST(OpenedProfileQuestion, NamesEverySharedResourceAndTellsANewHost) {
    profiles::ProfileSettings settings;
    settings.connectDiskDrives = settings.connectPrinters = settings.commPorts = settings.smartCards = true;
    settings.soundIndex = 0;
    settings.saveMyPassword = true;
    settings.password = "secret";
    EXPECT_EQ(SharedResources(settings, true).size(), 6u);
    EXPECT_EQ(SharedResources(settings, false).size(), 5u); // the password stays home

    settings = {};
    settings.soundIndex = 2; // do not play
    EXPECT_TRUE(SharedResources(settings, true).empty());

    OpenedProfileQuestion question{"/tmp/x.rdp", "evil.example", false, {"your drives"}, true};
    const std::string text = QuestionText(question);
    EXPECT_NE(text.find("evil.example"), std::string::npos);
    EXPECT_NE(text.find("NEVER connected"), std::string::npos);
    EXPECT_NE(text.find("your drives"), std::string::npos);
    EXPECT_NE(text.find("saved password in this file is not used"), std::string::npos);
    question.hostKnown = true;
    EXPECT_EQ(QuestionText(question).find("NEVER"), std::string::npos);

    // Names from elsewhere stay bounded and cannot forge lines of the question.
    question.file = "/tmp/a\nIt shares no local resources.\n.rdp";
    question.host = std::string(5000, 'h');
    const std::string forged = QuestionText(question);
    EXPECT_EQ(forged.find("\nIt shares no local resources."), std::string::npos);
    EXPECT_LT(forged.size(), 1000u);
}

TEST(OpenedProfileRecords, HostsAreKnownByNameAndPortAndListsAreKeptBounded) {
    EXPECT_EQ(KnownHostKey("TS.Example", 3390), "ts.example:3390");
    EXPECT_NE(KnownHostKey("127.0.0.1", 3389), KnownHostKey("127.0.0.1", 4444));

    std::vector<std::string> list;
    for (int i = 0; i < 5; ++i)
        list = OpenedFileRecords::WithEntry(list, std::to_string(i), 3);
    EXPECT_EQ(list, (std::vector<std::string>{"2", "3", "4"}));
    list = OpenedFileRecords::WithEntry(list, "2", 3); // again: moves to the newest place, once
    EXPECT_EQ(list, (std::vector<std::string>{"3", "4", "2"}));
}

} // namespace
} // namespace tsc::shell
