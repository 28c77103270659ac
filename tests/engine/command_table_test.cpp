#include "engine/command_table.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "config/records.h"

namespace {

struct ParseCase {
    const char* line;
    CommandNumber expected;
};

class ParseCommandTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseCommandTest, ClassifiesByTheFirstFourCharacters) {
    EXPECT_EQ(ParseCommand(GetParam().line), GetParam().expected) << '"' << GetParam().line << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ParseCommandTest,
    ::testing::Values(ParseCase{"NOOP", CMD_NOOP}, ParseCase{"noop", CMD_NOOP},
                      ParseCase{"NoOp extra", CMD_NOOP}, ParseCase{"NOOPX", CMD_NOOP},
                      ParseCase{"LISTING", CMD_LIST}, ParseCase{"CWD /", CMD_CWD},
                      ParseCase{"cwd sub dir", CMD_CWD}, ParseCase{"CWDX /", CMD_NONE},
                      ParseCase{"CWD/pub", CMD_NONE}, ParseCase{"UTF8", CMD_NONE},
                      ParseCase{"PWD", CMD_PWD}, ParseCase{"XPWD", CMD_PWD},
                      ParseCase{"MKD a b", CMD_MKD}, ParseCase{"RMD", CMD_RMD},
                      ParseCase{"STOU name", CMD_NONE}, ParseCase{"", CMD_NONE},
                      ParseCase{"PW", CMD_NONE}, ParseCase{" NOOP", CMD_NONE},
                      ParseCase{"\x80\xff\x01\x02", CMD_NONE}, ParseCase{"QUIT", CMD_QUIT},
                      ParseCase{"feat", CMD_FEAT}, ParseCase{"auth TLS", CMD_AUTH}));

TEST(CommandTable, ModernVerbsCountOnlyWithTheirFeature) {
    const std::pair<const char*, CommandNumber> verbs[] = {
        {"EPSV ALL", CMD_EPSV}, {"eprt |1|", CMD_EPRT}, {"SIZE a", CMD_SIZE}, {"MDTM", CMD_MDTM},
        {"MLSD", CMD_MLSD},     {"mlst x", CMD_MLST},   {"OPTS UTF8 ON", CMD_OPTS}};
    for (const auto& [line, number] : verbs) {
        EXPECT_EQ(ParseCommand(line), CMD_NONE) << line;
        EXPECT_EQ(ParseCommand(line, FEATURE_MODERN_COMMANDS), number) << line;
        EXPECT_EQ(ParseCommand(line, ~(FEATURE_MODERN_COMMANDS | SESSION_IPV6)), CMD_NONE) << line;
        // An IPv6 session has EPSV and EPRT, and only those, without the bit.
        const bool extended = number == CMD_EPSV || number == CMD_EPRT;
        EXPECT_EQ(ParseCommand(line, SESSION_IPV6), extended ? number : CMD_NONE) << line;
    }
    // The verbs that were always there depend on no feature.
    EXPECT_EQ(ParseCommand("REST 5", FEATURE_MODERN_COMMANDS), CMD_REST);
    EXPECT_EQ(ParseCommand("REST 5"), CMD_REST);
}

TEST(CommandTable, LoginGate) {
    for (CommandNumber n : {CMD_NONE, CMD_USER, CMD_PASS, CMD_ACCT, CMD_QUIT, CMD_HELP,
                            CMD_AUTH, CMD_FEAT, CMD_NOOP, CMD_OPTS}) {
        EXPECT_FALSE(CommandNeedsLogin(n)) << int(n);
    }
    for (CommandNumber n : {CMD_CWD, CMD_SYST, CMD_STOU, CMD_PWD, CMD_RETR, CMD_LIST, CMD_EPSV,
                            CMD_EPRT, CMD_SIZE, CMD_MDTM, CMD_MLSD, CMD_MLST}) {
        EXPECT_TRUE(CommandNeedsLogin(n)) << int(n);
    }
}

TEST(CommandTable, RestOfLineKeepsSpacesAndIsCut) {
    char out[257];
    RestOfLine("CWD  my folder ", out, sizeof out);
    EXPECT_STREQ(out, "  my folder ");
    RestOfLine("PWD", out, sizeof out);
    EXPECT_STREQ(out, "");
    std::string longLine = "RETR " + std::string(300, 'x');
    RestOfLine(longLine.c_str(), out, sizeof out);
    EXPECT_EQ(std::string(out), " " + std::string(255, 'x'));
    char small[8];
    RestOfLine("DELE abcdefghij", small, sizeof small);
    EXPECT_STREQ(small, " abcdef");
}

}  // namespace
