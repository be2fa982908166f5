// Every keyword the parser knows lands where it should: a row aimed at the wrong member, or a
// new row without a case here, fails.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>

#include "server/Options.h"
#include "server/ServerState.h"
#include "text/AsciiText.h"

namespace {

using O = COptions;
// Parsed from "NAME=77" (process-wide rows applied): true when the keyword took effect.
const std::map<std::string, std::function<bool(const O&)>> kLandsIn = {
    {"scene", [](const O& o) { return o.m_viewAs == O::EView::kScene && o.m_room == 1; }},
    {"page", [](const O& o) { return o.m_viewAs == O::EView::kPage; }},
    {"graph", [](const O& o) { return o.m_viewAs == O::EView::kScene && o.m_graph == 1; }},
    {"topics", [](const O& o) { return o.m_topics == 1; }},
    {"models", [](const O& o) { return o.m_models == 1; }},
    {"icons", [](const O& o) { return o.m_icons == 1; }},
    {"fullurl", [](const O& o) { return o.m_fullUrl == 1; }},
    {"nolabel", [](const O& o) { return o.m_showLabels == 0; }},
    {"noindex", [](const O& o) { return o.m_index == O::EIndex::kRefused; }},
    {"index", [](const O& o) { return o.m_index == O::EIndex::kAsked; }},
    {"expand", [](const O& o) { return o.m_expand == "77"; }},
    {"sort", [](const O& o) { return o.m_sort == "77"; }},
    {"port", [](const O& o) { return o.m_port == 77; }},
    {"clients", [](const O& o) { return o.m_clients == 77; }},
    {"redirect", [](const O& o) { return o.m_redirect == "77"; }},
    {"path", [](const O& o) { return o.m_path == "77"; }},
    {"title", [](const O& o) { return o.m_title == "77"; }},
    {"topoflist", [](const O& o) { return o.m_topOfList == "77"; }},
    {"head", [](const O& o) { return o.m_head == "77"; }},
    {"tail", [](const O& o) { return o.m_tail == "77"; }},
    {"sid", [](const O& o) { return o.m_user == nullptr; }},  // no user has sequence 77
    {"delay", [](const O&) { return g_state.GetDelay() == 77; }},
    {"item", [](const O& o) { return o.m_item == 77; }},
    {"quantity", [](const O& o) { return o.m_quantity == 77; }},
    {"hostname", [](const O&) { return g_state.GetHostName() == "77"; }},
    {"name", [](const O& o) { return o.m_user == nullptr; }},
    {"password", [](const O& o) { return o.m_user == nullptr; }},
    {"add", [](const O& o) { return o.m_add == 1; }},
    {"delete", [](const O& o) { return o.m_delete == 1; }},
    {"buy", [](const O& o) { return o.m_buy == 1; }},
    {"show", [](const O& o) { return o.m_show == 1; }},
    {"type", [](const O& o) { return o.m_type == "77"; }},
    {"smtpport", [](const O& o) { return o.m_smtpPort == 77; }},
    {"smtpclients", [](const O& o) { return o.m_smtpClients == 77; }},
    {"nosync", [](const O& o) { return o.m_noSync == 1; }},
    {"timeout", [](const O& o) { return o.m_timeout == 77; }},
    {"x3d", [](const O& o) { return o.m_x3d == 1; }},
    {"view", [](const O& o) { return o.m_view == 1; }},
    {"webview", [](const O& o) { return o.m_webView == 1; }},
    {"viewer", [](const O& o) { return o.m_viewer == "77"; }},
    {"mimetypes", [](const O& o) { return o.m_mimeTypes == "77"; }},
    {"ranges", [](const O& o) { return o.m_ranges == 1; }},
    {"accesslog", [](const O& o) { return o.m_accessLog == "77"; }},
    {"listen", [](const O& o) { return o.m_listen == "77"; }},
    {"gzip", [](const O& o) { return o.m_gzip == 1; }},
    {"admin", [](const O& o) { return o.m_admin == "77"; }},
    {"raw", [](const O& o) { return o.m_raw == 1; }},
    {"mbox", [](const O& o) { return o.m_mbox == 1; }},
    {"atom", [](const O& o) { return o.m_atom == 1; }},
    {"json", [](const O& o) { return o.m_json == 1; }},
    {"id", [](const O& o) { return o.m_hasId == 1 && o.m_id == "77"; }},
    {"find", [](const O& o) { return o.m_hasFind == 1 && o.m_find == "77"; }},
    {"start", [](const O& o) { return o.m_start == 77; }},
    {"perpage", [](const O& o) { return o.m_perPage == 77; }},
};

}  // namespace

TEST(KeywordTable, EveryKeywordLandsInItsMemberAndNoOther) {
    std::size_t seen = 0;
    for (std::string_view name : KeywordNames()) {
        SCOPED_TRACE(std::string(name));
        g_state.ResetForTests();
        auto check = kLandsIn.find(std::string(name));
        ASSERT_NE(check, kLandsIn.end()) << "a keyword without a case here";
        ++seen;
        EXPECT_TRUE(check->second(COptions(std::string(name) + "=77")));
        // Upper case reads the same; the keyword alone never touches an unrelated member.
        std::string upper(name);
        for (char& c : upper)
            c = AsciiUpper(c);
        EXPECT_TRUE(check->second(COptions(upper + "=77")));
        for (const auto& [other, lands] : kLandsIn) {
            if (other == name || lands(COptions())) continue;  // holds for the defaults too
            EXPECT_FALSE(lands(COptions(std::string(name) + "=77"))) << "also sets " << other;
        }
    }
    EXPECT_EQ(seen, kLandsIn.size());
    g_state.ResetForTests();
}
