// Options.cpp - parser of the keyword language (vantrel.cfg lines and query strings).
#include "Server/Options.h"

#include <algorithm>
#include <climits>

#include "Server/ServerState.h"
#include "Server/UserNode.h"
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

void COptions::ParseOptions(std::string_view keywords, EProcessWide processWide) {
    const bool applyProcessWide = processWide == EProcessWide::Apply;
    std::string localName = "guest";  // the name a following `password` checks
    std::size_t position = 0;
    while (auto next = NextToken(keywords, position, kSeparators)) {
        std::string_view token = *next;
        // `admin` lists its addresses with commas: its value ends only at "&" or "?".
        if (StartsWithIgnoringCase(token, "admin=")) {
            const std::size_t start = static_cast<std::size_t>(token.data() - keywords.data());
            position = std::min(keywords.find_first_of("&?", start), keywords.size());
            token = keywords.substr(start, position - start);
        }

        std::size_t equals = token.find('=');
        bool hasValue = equals != std::string_view::npos;
        std::string_view keyword = hasValue ? token.substr(0, equals) : token;
        std::string_view value = hasValue ? token.substr(equals + 1) : std::string_view();
        auto is = [&](std::string_view word) { return EqualsIgnoringCase(keyword, word); };
        auto number = [&] { return ParseKeywordNumber(value); };

        if (applyProcessWide && StartsWithIgnoringCase(keyword, "type")) {
            g_state.AddType(std::string(SecondWord(keyword)), std::string(value));
        }
        if (is("scene")) {
            m_vrml = 1, m_page = 0, m_room = 1;
        } else if (is("page")) {
            m_vrml = 0, m_page = 1;
        } else if (is("graph")) {
            m_vrml = 1, m_page = 0, m_graph = 1;
        } else if (is("topics")) {
            m_topics = 1;
        } else if (is("models")) {
            m_models = 1;
        } else if (is("icons")) {
            m_icons = 1;
        } else if (is("fullurl")) {
            m_fullUrl = 1;
        } else if (is("nolabel")) {
            m_showLabels = 0;
        } else if (is("noindex")) {
            m_index = 2;
        } else if (is("index")) {
            m_index = 1;
        } else if (is("expand")) {
            m_expand = value;
        } else if (is("sort")) {
            m_sort = value;
        } else if (is("port")) {
            m_port = number();
        } else if (is("clients")) {
            m_clients = number();
        } else if (is("redirect")) {
            m_redirect = value;
        } else if (is("path")) {
            m_path = value;
        } else if (is("title")) {
            m_title = value;
        } else if (is("topoflist")) {
            m_topOfList = value;
        } else if (is("head")) {
            m_head = value;
        } else if (is("tail")) {
            m_tail = value;
        } else if (is("sid")) {
            m_user = FindUserBySequence(number());
        } else if (is("delay")) {
            if (applyProcessWide) g_state.SetDelay(number());
        } else if (is("item")) {
            m_item = number();
        } else if (is("quantity")) {
            m_quantity = number();
        } else if (is("hostname")) {
            if (applyProcessWide) g_state.SetHostName(std::string(value));
        } else if (is("name")) {
            localName = value;
        } else if (is("password")) {
            if (hasValue) m_user = FindUserByName(localName, value);
        } else if (is("add")) {
            m_add = 1;
        } else if (is("delete")) {
            m_delete = 1;
        } else if (is("buy")) {
            m_buy = 1;
        } else if (is("show")) {
            m_show = 1;
        } else if (is("type")) {
            // The value becomes a header line of the reply: no control byte may ride along.
            if (!HasControlByte(value)) m_type = value;
        } else if (is("smtpport")) {
            m_smtpPort = number();
        } else if (is("smtpclients")) {
            m_smtpClients = number();
        } else if (is("nosync")) {
            m_noSync = 1;
        } else if (is("timeout")) {
            m_timeout = std::clamp(number(), 1, 120);
        } else if (is("x3d")) {
            m_x3d = 1;
        } else if (is("view")) {
            m_view = 1;
        } else if (is("webview")) {
            m_webView = 1;
        } else if (is("viewer")) {
            m_viewer = value;
        } else if (is("mimetypes")) {
            m_mimeTypes = value.empty() ? kSystemMimeTypes : value;
        } else if (is("ranges")) {
            m_ranges = 1;
        } else if (is("accesslog")) {
            m_accessLog = value;
        } else if (is("listen")) {
            m_listen = value;
        } else if (is("gzip")) {
            m_gzip = 1;
        } else {
            ParseArchiveKeyword(keyword, value);
        }
        // Admin clients (root vantrel.cfg; read by RunServer).
        if (is("admin") && !value.empty()) {
            if (!m_admin.empty()) m_admin += ',';
            m_admin += value;
        }
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

bool COptions::ParseArchiveKeyword(std::string_view keyword, std::string_view value) {
    auto is = [&](std::string_view word) { return EqualsIgnoringCase(keyword, word); };
    if (is("raw")) {
        m_raw = 1;
    } else if (is("mbox")) {
        m_mbox = 1;
    } else if (is("atom")) {
        m_atom = 1;
    } else if (is("json")) {
        m_json = 1;
    } else if (is("id")) {
        m_hasId = 1, m_id = value;
    } else if (is("find")) {
        m_hasFind = 1, m_find = value;
    } else if (is("start")) {
        m_start = std::max(0, ParseKeywordNumber(value));
    } else if (is("perpage")) {
        m_perPage = std::clamp(ParseKeywordNumber(value), 1, kMaxPerPage);
    } else {
        return false;
    }
    return true;
}

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
