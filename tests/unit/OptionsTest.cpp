// The keyword language: record fields, process-wide targets, cfg lines.
#include <gtest/gtest.h>

#include <sstream>

#include "server/Options.h"
#include "server/ServerState.h"

class OptionsTest : public ::testing::Test {
  protected:
    void SetUp() override { g_state.ResetForTests(); }
    void TearDown() override { g_state.ResetForTests(); }
};

TEST_F(OptionsTest, DefaultsAreTheDocumentedOnes) {
    COptions o;
    EXPECT_EQ(o.m_viewAs, COptions::EView::kPage);
    EXPECT_EQ(o.m_port, 80);
    EXPECT_EQ(o.m_clients, 5);
    EXPECT_EQ(o.m_showLabels, 1);
    EXPECT_EQ(o.m_smtpPort, 25);
    EXPECT_EQ(o.m_user, nullptr);
}

TEST_F(OptionsTest, SceneAndGraphAndPageSetEachOther) {
    COptions o("scene,nolabel");
    EXPECT_EQ(o.m_viewAs, COptions::EView::kScene);
    EXPECT_EQ(o.m_room, 1);
    EXPECT_EQ(o.m_showLabels, 0);

    COptions g("graph&page");
    EXPECT_EQ(g.m_viewAs, COptions::EView::kPage);
    EXPECT_EQ(g.m_graph, 1);
}

TEST_F(OptionsTest, TokenSyntax) {
    COptions o("??title=a=b&&sort=x,, expand=3&TOPOFLIST=7?PORT=8080&clients= 12x");
    EXPECT_EQ(o.m_title, "a=b");
    EXPECT_EQ(o.m_sort, "x");
    EXPECT_EQ(o.m_expand, "");  // " expand" starts with a space: not the keyword
    EXPECT_EQ(o.m_topOfList, "7");
    EXPECT_EQ(o.m_port, 8080);
    EXPECT_EQ(o.m_clients, 12);
    COptions spaces("title=My Docs");
    EXPECT_EQ(spaces.m_title, "My Docs");
}

TEST_F(OptionsTest, NumbersAsTheParserReadsThem) {
    EXPECT_EQ(ParseKeywordNumber("  -42abc"), -42);
    EXPECT_EQ(ParseKeywordNumber("+7"), 7);
    EXPECT_EQ(ParseKeywordNumber("x1"), 0);
    EXPECT_EQ(ParseKeywordNumber(""), 0);
    EXPECT_EQ(ParseKeywordNumber("99999999999999999999"), INT32_MAX);
    EXPECT_EQ(ParseKeywordNumber("-99999999999999999999"), INT32_MIN);
    COptions o("port");
    EXPECT_EQ(o.m_port, 0);  // a missing number value is 0
}

TEST_F(OptionsTest, FlagsIgnoreValuesAndUnknownKeywordsAreIgnored) {
    COptions o("topics=0&models=no&icons&fullurl&add=5&show&buy&delete&bogus=1&index");
    EXPECT_EQ(o.m_topics, 1);
    EXPECT_EQ(o.m_models, 1);
    EXPECT_EQ(o.m_icons, 1);
    EXPECT_EQ(o.m_add, 1);
    EXPECT_EQ(o.m_show, 1);
    EXPECT_EQ(o.m_index, COptions::EIndex::kAsked);
    o.ParseOptions("noindex");
    EXPECT_EQ(o.m_index, COptions::EIndex::kRefused);
}

TEST_F(OptionsTest, UsersAreNeverFoundInAnEmptyList) {
    COptions o("name=bob&password=x&sid=3");
    EXPECT_EQ(o.m_user, nullptr);
}

TEST_F(OptionsTest, TypeTableRule) {
    COptions o("type gif=image/gif&type gif=image/other&TYPE\tWRL=x-world/x-vrml");
    EXPECT_EQ(g_state.TypeCount(), 3);
    EXPECT_EQ(g_state.LookupType("gif"), "image/gif");  // the first entry wins
    EXPECT_EQ(g_state.LookupType("WRL"), "x-world/x-vrml");
    EXPECT_EQ(g_state.LookupType("wrl"), "");  // keys are case-sensitive
    EXPECT_EQ(o.m_type, "");

    COptions exact("type=text/plain");
    EXPECT_EQ(exact.m_type, "text/plain");
    EXPECT_EQ(g_state.TypeCount(), 4);  // also an entry with an empty key
    EXPECT_EQ(g_state.LookupType(""), "text/plain");
}

TEST_F(OptionsTest, TypeTableHoldsThreeHundredEntries) {
    for (int i = 0; i < 305; ++i)
        COptions("type k" + std::to_string(i) + "=t/" + std::to_string(i));
    EXPECT_EQ(g_state.TypeCount(), ServerState::kTypeTableSize);
    EXPECT_EQ(g_state.LookupType("k299"), "t/299");
    EXPECT_EQ(g_state.LookupType("k300"), "");
}

TEST_F(OptionsTest, ProcessWideValuesAreMadeSafe) {
    COptions("delay=100");
    EXPECT_EQ(g_state.GetDelay(), 100);
    COptions("delay=-5");
    EXPECT_EQ(g_state.GetDelay(), 0);
    COptions("delay=999999999");
    EXPECT_EQ(g_state.GetDelay(), ServerState::kMaxDelayMs);

    COptions("hostname=www.example.org:8080");
    EXPECT_EQ(g_state.GetHostName(), "www.example.org:8080");
    COptions("hostname=evil\"><script>");
    COptions("hostname=");
    COptions("hostname=a b");
    EXPECT_EQ(g_state.GetHostName(), "www.example.org:8080");
    g_state.SetHostNameIfEmpty("localhost");
    EXPECT_EQ(g_state.GetHostName(), "www.example.org:8080");
}

TEST_F(OptionsTest, ConfigFileLines) {
    std::istringstream cfg(
        "port=81\r\n"
        "#port=82\n"
        " port=83\n"
        "\n"
        "title=Archive&topics\r\n"
        "scene,nolabel");
    COptions o;
    o.ReadOptionsFile(cfg);
    EXPECT_EQ(o.m_port, 81);
    EXPECT_EQ(o.m_title, "Archive");  // the CR of a Windows line end is not part of the value
    EXPECT_EQ(o.m_topics, 1);
    EXPECT_EQ(o.m_viewAs, COptions::EView::kScene);
    EXPECT_EQ(o.m_showLabels, 0);
}

TEST_F(OptionsTest, LongConfigLinesAreReadInPieces) {
    std::string line =
        "title=" + std::string(193, 'x') + "port=9090\n";  // piece 2 starts at "port"
    std::istringstream cfg(line);
    COptions o;
    o.ReadOptionsFile(cfg);
    EXPECT_EQ(o.m_title.size(), 193u);
    EXPECT_EQ(o.m_port, 9090);

    // A Windows line that fills the piece with its CR: the LF after it still ends that line,
    // so the CR is dropped and the next line is read whole.
    std::istringstream full("title=" + std::string(192, 'y') + "\r\nport=81\r\n");
    COptions f;
    f.ReadOptionsFile(full);
    EXPECT_EQ(f.m_title, std::string(192, 'y'));
    EXPECT_EQ(f.m_port, 81);
}
