// Options.cpp - parser of the keyword language (vantrel.cfg lines and query strings).
#include "server/Options.h"

#include <algorithm>
#include <climits>
#include <span>
#include <vector>

#include "server/ServerState.h"
#include "server/UserNode.h"
#include "text/AsciiText.h"

namespace {

constexpr std::string_view kSeparators = "&?,";
constexpr std::size_t kMaxCfgLine = 199;

// "type wrl" -> "wrl": the second word of the keyword, split at spaces and tabs.
std::string_view SecondWord(std::string_view keyword) {
    std::size_t at = 0;
    if (!NextToken(keyword, at, " \t")) return {};
    return NextToken(keyword, at, " \t").value_or(std::string_view());
}

bool HasControlByte(std::string_view text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

CUserNode* FindUserBySequence(int sequence) {
    for (CNode* node = g_state.m_userList.FirstChild(); node; node = node->Next()) {
        auto* user = static_cast<CUserNode*>(node);
        if (user->m_sequence == sequence) return user;
    }
    return nullptr;
}

CUserNode* FindUserByName(std::string_view name, std::string_view password) {
    for (CNode* node = g_state.m_userList.FirstChild(); node; node = node->Next()) {
        auto* user = static_cast<CUserNode*>(node);
        if (EqualsIgnoringCase(user->m_name, name) &&
            EqualsIgnoringCase(user->m_password, password)) {
            return user;
        }
    }
    return nullptr;
}

}  // namespace

int ParseKeywordNumber(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' ||
                               text[i] == '\r' || text[i] == '\v' || text[i] == '\f')) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = std::min<long long>(value * 10 + (text[i] - '0'), 1LL << 40);
    }
    if (negative) value = -value;
    return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

namespace {

// What one keyword's value is read as, and where it goes.
enum class EValue {
    kFlag,    // the int member takes m_set; any value is ignored
    kNumber,  // the int member takes the value as a number, held to [m_min, m_max]
    kText,    // the string member takes the value as it came
    kCustom,  // m_custom applies it
};

// What a custom row sees of the token and of the string around it.
struct CKeywordValue {
    std::string_view m_text;
    bool m_hasValue;
    bool m_applyProcessWide;
    std::string& m_localName;  // the name a following `password` checks
    int Number() const { return ParseKeywordNumber(m_text); }
};

struct CKeywordRow {
    std::string_view m_name;
    EValue m_kind;
    int COptions::*m_number = nullptr;
    std::string COptions::*m_text = nullptr;
    int m_set = 1;
    int m_min = INT_MIN;
    int m_max = INT_MAX;
    void (*m_custom)(COptions&, const CKeywordValue&) = nullptr;
    // Process-wide rows change ServerState for every client: from vantrel.cfg always, from
    // a query only for an `admin` client.
    bool m_processWide = false;
};

constexpr CKeywordRow Flag(std::string_view name, int COptions::*member, int set = 1) {
    return {.m_name = name, .m_kind = EValue::kFlag, .m_number = member, .m_set = set};
}
constexpr CKeywordRow Number(std::string_view name, int COptions::*member, int min = INT_MIN,
                             int max = INT_MAX) {
    return {
        .m_name = name, .m_kind = EValue::kNumber, .m_number = member, .m_min = min, .m_max = max};
}
constexpr CKeywordRow Text(std::string_view name, std::string COptions::*member) {
    return {.m_name = name, .m_kind = EValue::kText, .m_text = member};
}
constexpr CKeywordRow Custom(std::string_view name, void (*apply)(COptions&, const CKeywordValue&),
                             bool processWide = false) {
    return {
        .m_name = name, .m_kind = EValue::kCustom, .m_custom = apply, .m_processWide = processWide};
}

using O = COptions;
constexpr CKeywordRow kKeywords[] = {
    Custom("scene",
           [](O& o, const CKeywordValue&) { o.m_viewAs = O::EView::kScene, o.m_room = 1; }),
    Custom("page", [](O& o, const CKeywordValue&) { o.m_viewAs = O::EView::kPage; }),
    Custom("graph",
           [](O& o, const CKeywordValue&) { o.m_viewAs = O::EView::kScene, o.m_graph = 1; }),
    Flag("topics", &O::m_topics),
    Flag("models", &O::m_models),
    Flag("icons", &O::m_icons),
    Flag("fullurl", &O::m_fullUrl),
    Flag("nolabel", &O::m_showLabels, 0),
    Custom("noindex", [](O& o, const CKeywordValue&) { o.m_index = O::EIndex::kRefused; }),
    Custom("index", [](O& o, const CKeywordValue&) { o.m_index = O::EIndex::kAsked; }),
    Text("expand", &O::m_expand),
    Text("sort", &O::m_sort),
    Number("port", &O::m_port),
    Number("clients", &O::m_clients),
    Text("redirect", &O::m_redirect),
    Text("path", &O::m_path),
    Text("title", &O::m_title),
    Text("topoflist", &O::m_topOfList),
    Text("head", &O::m_head),
    Text("tail", &O::m_tail),
    Custom("sid", [](O& o, const CKeywordValue& v) { o.m_user = FindUserBySequence(v.Number()); }),
    Custom(
        "delay", [](O&, const CKeywordValue& v) { g_state.SetDelay(v.Number()); }, true),
    Number("item", &O::m_item),
    Number("quantity", &O::m_quantity),
    Custom(
        "hostname", [](O&, const CKeywordValue& v) { g_state.SetHostName(std::string(v.m_text)); },
        true),
    Custom("name", [](O&, const CKeywordValue& v) { v.m_localName = v.m_text; }),
    Custom("password",
           [](O& o, const CKeywordValue& v) {
               if (v.m_hasValue) o.m_user = FindUserByName(v.m_localName, v.m_text);
           }),
    Flag("add", &O::m_add),
    Flag("delete", &O::m_delete),
    Flag("buy", &O::m_buy),
    Flag("show", &O::m_show),
    // The value becomes a header line of the reply: no control byte may ride along.
    Custom("type",
           [](O& o, const CKeywordValue& v) {
               if (!HasControlByte(v.m_text)) o.m_type = v.m_text;
           }),
    Number("smtpport", &O::m_smtpPort),
    Number("smtpclients", &O::m_smtpClients),
    Flag("nosync", &O::m_noSync),
    Number("timeout", &O::m_timeout, 1, 120),
    Flag("x3d", &O::m_x3d),
    Flag("view", &O::m_view),
    Flag("webview", &O::m_webView),
    Text("viewer", &O::m_viewer),
    Custom("mimetypes",
           [](O& o, const CKeywordValue& v) {
               o.m_mimeTypes = v.m_text.empty() ? kSystemMimeTypes : v.m_text;
           }),
    Flag("ranges", &O::m_ranges),
    Text("accesslog", &O::m_accessLog),
    Text("listen", &O::m_listen),
    Flag("gzip", &O::m_gzip),
    // Admin clients (root vantrel.cfg; read by RunServer): each line adds to the list.
    Custom("admin",
           [](O& o, const CKeywordValue& v) {
               if (v.m_text.empty()) return;
               if (!o.m_admin.empty()) o.m_admin += ',';
               o.m_admin += v.m_text;
           }),
    Flag("raw", &O::m_raw),
    Flag("mbox", &O::m_mbox),
    Flag("atom", &O::m_atom),
    Flag("json", &O::m_json),
    Custom("id", [](O& o, const CKeywordValue& v) { o.m_hasId = 1, o.m_id = v.m_text; }),
    Custom("find", [](O& o, const CKeywordValue& v) { o.m_hasFind = 1, o.m_find = v.m_text; }),
    Number("start", &O::m_start, 0),
    Number("perpage", &O::m_perPage, 1, COptions::kMaxPerPage),
};

const CKeywordRow* FindKeyword(std::string_view keyword) {
    for (const CKeywordRow& row : kKeywords) {
        if (EqualsIgnoringCase(row.m_name, keyword)) return &row;
    }
    return nullptr;
}

void ApplyKeyword(const CKeywordRow& row, COptions& options, const CKeywordValue& value) {
    switch (row.m_kind) {
        case EValue::kFlag:
            options.*row.m_number = row.m_set;
            break;
        case EValue::kNumber:
            options.*row.m_number = std::clamp(value.Number(), row.m_min, row.m_max);
            break;
        case EValue::kText:
            options.*row.m_text = value.m_text;
            break;
        case EValue::kCustom:
            row.m_custom(options, value);
            break;
    }
}

}  // namespace

std::span<const std::string_view> KeywordNames() {
    static const auto names = [] {
        std::vector<std::string_view> all;
        for (const CKeywordRow& row : kKeywords)
            all.push_back(row.m_name);
        return all;
    }();
    return names;
}

void COptions::ParseOptions(std::string_view keywords, EProcessWide processWide) {
    const bool applyProcessWide = processWide == EProcessWide::Apply;
    std::string localName = "guest";
    std::size_t position = 0;
    while (auto next = NextToken(keywords, position, kSeparators)) {
        std::string_view token = *next;
        // `admin` lists its addresses with commas: its value ends only at "&" or "?".
        if (StartsWithIgnoringCase(token, "admin=")) {
            const std::size_t start = static_cast<std::size_t>(token.data() - keywords.data());
            position = std::min(keywords.find_first_of("&?", start), keywords.size());
            token = keywords.substr(start, position - start);
        }
        const std::size_t equals = token.find('=');
        const bool hasValue = equals != std::string_view::npos;
        const std::string_view keyword = hasValue ? token.substr(0, equals) : token;
        const std::string_view value = hasValue ? token.substr(equals + 1) : std::string_view();
        // Any keyword that starts with "type" also feeds the type table ("type wrl=...",
        // "typewrl=..."), before the row of a plain `type` sets the reply's own type.
        if (applyProcessWide && StartsWithIgnoringCase(keyword, "type")) {
            g_state.AddType(std::string(SecondWord(keyword)), std::string(value));
        }
        const CKeywordRow* row = FindKeyword(keyword);
        if (!row || (row->m_processWide && !applyProcessWide)) continue;
        ApplyKeyword(*row, *this, CKeywordValue{value, hasValue, applyProcessWide, localName});
    }
}

namespace {

// Keywords a vantrel.cfg line may carry but a query may not: a reader's link must not change
// how a folder's mail is read.
void ApplyConfigOnlyKeywords(std::string_view line, COptions& options) {
    std::size_t position = 0;
    while (auto token = NextToken(line, position, kSeparators)) {
        std::string_view keyword = token->substr(0, token->find('='));
        if (EqualsIgnoringCase(keyword, "mime")) options.m_mime = 1;
    }
}

}  // namespace

void COptions::ReadOptionsFile(std::istream& in) {
    std::string line;
    while (in.good()) {
        line.clear();
        // Read one piece: up to the LF, or kMaxCfgLine characters (the rest is the next line).
        bool gotAny = false;
        bool endedByLineFeed = false;
        for (int c; line.size() < kMaxCfgLine && (c = in.get()) != EOF;) {
            gotAny = true;
            if (c == '\n') {
                endedByLineFeed = true;
                break;
            }
            line.push_back(static_cast<char>(c));
        }
        if (!gotAny) break;
        // A line of exactly the piece length still owns the LF that follows it.
        if (!endedByLineFeed && in.peek() == '\n') {
            in.get();
            endedByLineFeed = true;
        }
        bool endedLine = endedByLineFeed || in.peek() == EOF;
        if (endedLine && !line.empty() && line.back() == '\r') line.pop_back();  // Windows files
        unsigned char first = line.empty() ? 0 : static_cast<unsigned char>(line[0]);
        if (IsAsciiLetter(static_cast<char>(first))) {
            ParseOptions(line);
            ApplyConfigOnlyKeywords(line, *this);
        }
    }
}
