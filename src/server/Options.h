// Options.h - the keyword language: the option record every node carries and every request
// copies, and the parser that reads it from vantrel.cfg lines and query strings.
// A few keywords (delay, hostname, type) change process-wide state in ServerState instead.
#pragma once

#include <istream>
#include <span>
#include <string>
#include <string_view>

class CUserNode;

class COptions {
  public:
    COptions() = default;
    explicit COptions(std::string_view keywords) { ParseOptions(keywords); }

    // Whether `delay`, `hostname` and type-table keywords change the process-wide values:
    // always from vantrel.cfg lines, from a query only for an admin client.
    enum class EProcessWide { Apply, Ignore };
    // Applies every keyword of the string, in order, to this record and (unless told to
    // ignore them) to the process-wide targets. Unknown keywords are ignored; cannot fail.
    void ParseOptions(std::string_view keywords, EProcessWide processWide = EProcessWide::Apply);
    // Applies each line of a vantrel.cfg that starts with a letter; other lines are comments.
    // Lines are read in pieces of at most 199 characters; one CR before the LF is dropped.
    void ReadOptionsFile(std::istream& in);

    static constexpr int kMaxPerPage = 100000;

    // What a folder answers with: its HTML listing (`page`) or its VRML world (`scene`,
    // `graph`). A scene's links are absolute URLs, a page's server-relative.
    enum class EView { kPage, kScene };
    EView m_viewAs = EView::kPage;
    int m_port = 80;
    int m_clients = 5;
    std::string m_redirect;
    std::string m_title;
    std::string m_path;
    std::string m_sort;
    std::string m_expand;
    std::string m_type;
    std::string m_topOfList;
    // `index` in a query asks for a folder's listing over its index page; `noindex` in a
    // folder's vantrel.cfg refuses that.
    enum class EIndex { kUnset, kAsked, kRefused };
    EIndex m_index = EIndex::kUnset;
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
    // Worlds in a web browser: `x3d` answers a folder with its world in X3D, `view` with the
    // page that shows it there, `webview` adds the "[3D]" links; `viewer=` (read from the root
    // folder's vantrel.cfg only) is where the page loads the viewer's files from.
    int m_x3d = 0;
    int m_view = 0;
    int m_webView = 0;
    std::string m_viewer;
    // `mime` (vantrel.cfg only): mailboxes decode MIME structure, encoded words and charsets.
    int m_mime = 0;
    // Root vantrel.cfg: SMTP sessions served at once, and whether stored mail is synced.
    int m_smtpClients = 4;
    int m_noSync = 0;
    // HTTP features a site turns on in its root vantrel.cfg (each off by default).
    std::string m_mimeTypes;  // `mimetypes[=PATH]`: types for kinds no `type` line names
    int m_ranges = 0;         // `ranges`: file replies always say "Accept-Ranges: bytes"
    std::string m_accessLog;  // `accesslog=PATH`, "-" for standard output
    std::string m_listen;     // `listen=ADDRESS`: bind this address only
    int m_gzip = 0;           // `gzip`: compress generated pages for clients that accept it
    // Root vantrel.cfg: the clients whose queries may change process-wide values
    // (comma-separated addresses and CIDR prefixes; each `admin` line adds to the list).
    std::string m_admin;
    // The archive as data (query words): a message's stored bytes, a mailbox's spool, its
    // feed, a permalink by Message-ID, a search, paging of the index, a folder as JSON.
    // `id` and `find` keep their text as it came (%XX escapes and all); -1: no `start`.
    int m_raw = 0;
    int m_mbox = 0;
    int m_atom = 0;
    int m_json = 0;
    int m_hasId = 0;
    std::string m_id;
    int m_hasFind = 0;
    std::string m_find;
    int m_start = -1;
    int m_perPage = 500;  // a folder keyword too: rows of one index page with `start`
};

// The name of every keyword the parser knows, in the order it looks them up.
std::span<const std::string_view> KeywordNames();

// The type table `mimetypes` reads when it names no file (Debian's media-types).
inline constexpr std::string_view kSystemMimeTypes = "/etc/mime.types";

// Reads a decimal integer the way the keyword language does: leading blanks skipped, an
// optional sign, then digits up to the first other character; no digits gives 0. Values
// beyond the int range saturate.
int ParseKeywordNumber(std::string_view text);
