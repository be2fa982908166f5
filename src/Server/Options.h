// Options.h - the keyword language: the option record every node carries and every request
// copies, and the parser that reads it from vantrel.cfg lines and query strings.
// A few keywords (delay, hostname, type) change process-wide state in ServerState instead.
#pragma once

#include <istream>
#include <string>
#include <string_view>

class CUserNode;

class COptions {
  public:
    COptions() = default;
    explicit COptions(std::string_view keywords) { ParseOptions(keywords); }

    // Applies every keyword of the string, in order, to this record and to the process-wide
    // targets. Unknown keywords are ignored; cannot fail.
    void ParseOptions(std::string_view keywords);
    // Applies each line of a vantrel.cfg that starts with a letter; other lines are comments.
    // Lines are read in pieces of at most 199 characters; one CR before the LF is dropped.
    void ReadOptionsFile(std::istream& in);

    int m_page = 1;
    int m_vrml = 0;
    int m_port = 80;
    int m_clients = 5;
    std::string m_redirect;
    std::string m_title;
    std::string m_path;
    std::string m_sort;
    std::string m_expand;
    std::string m_type;
    std::string m_topOfList;
    int m_index = 0;  // 1: `index`, 2: `noindex`
    int m_add = 0;
    int m_delete = 0;
    int m_show = 0;
    int m_buy = 0;
    int m_showLabels = 1;
    int m_topics = 0;
    int m_room = 0;
    int m_graph = 0;
    int m_models = 0;
    int m_icons = 0;
    int m_fullUrl = 0;
    std::string m_tail;
    std::string m_head;
    CUserNode* m_user = nullptr;  // not owned: a record of ServerState's user list
    int m_item = 0;
    int m_quantity = 0;
    // Our extensions: the SMTP port (root vantrel.cfg) and the connection time-out in seconds.
    int m_smtpPort = 25;
    int m_timeout = 30;
    // Root vantrel.cfg: SMTP sessions served at once, and whether stored mail is synced.
    int m_smtpClients = 4;
    int m_noSync = 0;
};

// Reads a decimal integer the way the keyword language does: leading blanks skipped, an
// optional sign, then digits up to the first other character; no digits gives 0. Values
// beyond the int range saturate.
int ParseKeywordNumber(std::string_view text);
