// HttpConnection.cpp - the HTTP worker loop, reading the request head, and dispatching one
// request to the cart or to the node its path names. Owns no socket: the stream does.
#include "Server/HttpConnection.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <cstring>
#include <ctime>
#include <thread>
#include <utility>

#include "Server/AccessLog.h"
#include "Server/Cart.h"
#include "Server/FolderNode.h"
#include "Server/HTEscape.h"
#include "Server/HttpHeader.h"
#include "Server/Options.h"
#include "Server/ServerState.h"

namespace {

constexpr std::size_t kMaxCopy = 1000;  // request line and query copies
constexpr std::string_view kSeparators = " \t?\n\r";

// Text up to its first NUL: the request line is a C string to everything after the reader.
std::string_view UpToNul(std::string_view text) {
    std::size_t nul = text.find('\0');
    return nul == std::string_view::npos ? text : text.substr(0, nul);
}

std::vector<std::string_view> Tokens(std::string_view text, std::size_t wanted) {
    std::vector<std::string_view> tokens;
    std::size_t position = 0;
    while (tokens.size() < wanted) {
        std::size_t start = text.find_first_not_of(kSeparators, position);
        if (start == std::string_view::npos) break;
        std::size_t end = text.find_first_of(kSeparators, start);
        if (end == std::string_view::npos) end = text.size();
        tokens.push_back(text.substr(start, end - start));
        position = end;
    }
    return tokens;
}

CNode* WalkPath(std::string_view path) {
    CNode* node = g_state.m_root.get();
    std::size_t position = 0;
    while (node && position < path.size()) {
        std::size_t end = path.find('/', position);
        if (end == std::string_view::npos) end = path.size();
        if (end > position) node = node->FindChild(path.substr(position, end - position));
        position = end + 1;
    }
    return node;
}

void SleepMs(int milliseconds) {
    if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace

void ReadRequest(CSocketStream& in, std::vector<std::string>& lines) {
    lines.clear();
    std::size_t bytes = 0;
    std::string line;
    bool previousFull = false;  // the last piece filled kMaxRequestLine without its LF
    // The time-out bounds each read; this bounds the whole head, so a client that trickles a
    // line now and then cannot hold a worker for long either.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(in.ReadTimeout());
    if (in.ReadTimeout() > 0) in.SetReadDeadline(deadline);
    while (lines.size() < kMaxRequestLines && bytes < kMaxRequestBytes) {
        if (in.ReadTimeout() > 0 && std::chrono::steady_clock::now() > deadline) break;
        CSocketStream::ERead result = in.ReadLine(line, kMaxRequestLine);
        // End of input or a time-out: answer what was read (nothing, if no line came).
        if (result != CSocketStream::ERead::Line) break;
        bytes += line.size() + 1;
        // A line of exactly the piece length: the LF that follows is its end, not a blank line.
        if (std::exchange(previousFull, line.size() == kMaxRequestLine) && line.empty()) continue;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) break;
        lines.push_back(line);
    }
    in.SetReadDeadline(std::chrono::steady_clock::time_point::max());
    in.Flush();
}

void HandleRequest(CSocketStream& out, const std::vector<std::string>& lines) {
    if (lines.empty()) {
        WriteStatusOnly(out, "HTTP/1.0 599 No request");
        return;
    }
    std::string request(UpToNul(lines.front()).substr(0, kMaxCopy));
    for (char& c : request) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    std::vector<std::string_view> tokens = Tokens(request, 3);
    std::string_view method = tokens.size() > 0 ? tokens[0] : std::string_view();
    std::string path(tokens.size() > 1 ? tokens[1] : std::string_view());
    std::string_view query = tokens.size() > 2 ? tokens[2] : std::string_view();

    UrlUnescape(path);
    {
        // Only the process-wide keywords (delay, hostname, type) matter here, even for a
        // refused method.
        COptions scratch;
        scratch.ParseOptions(query);  // already within the request line's cut
    }

    if (method == "POST") {
        WriteStatusOnly(out, "HTTP/1.0 599 POST method not supported");
        return;
    }
    if (method != "GET" && method != "HEAD") {
        WriteStatusOnly(out, "HTTP/1.0 599 Unrecognized method request");
        return;
    }
    out.m_headOnly = method == "HEAD";

    CNode* node = WalkPath(path);
    if (!node) {
        WriteStatusOnly(out, "HTTP/1.0 404 FILE NOT FOUND");
        out << "<HEAD><TITLE>File Not Found</TITLE></HEAD><BODY><H1>404 File Not Found</H1>"
               "The file is not found on this server"
            << EndLine;
        return;
    }

    COptions options = node->Options();
    options.ParseOptions(query);
    out.m_options = &options;
    out.m_requestLines = &lines;
    if (options.m_add) {
        AddToCart(out);
    } else if (options.m_show) {
        ShowCart(out);
    } else {
        node->Reply(out);
    }
    out.FinishBody();
    out.m_options = nullptr;
    out.m_requestLines = nullptr;
}

CHttpConnection::CHttpConnection(int listenFd, const CSettings& settings) : m_listenFd(listenFd) {
    m_stream.SetBufferedMode(settings.m_buffered);
    m_stream.SetTimeouts(settings.m_readTimeout, settings.m_writeTimeout);
    Start();
}

CHttpConnection::~CHttpConnection() {
    Join();
}

int CHttpConnection::Run() {
    while (m_stream.Accept(m_listenFd)) {
        m_stream.m_threadId = ThreadId();
        try {
            Serve();
        } catch (const std::exception& error) {
            // Out of memory while answering: this client loses its reply, the worker goes on.
            std::fprintf(stderr, "Request failed: %s\n", error.what());
        }
        m_stream.Close();
    }
    return 12;
}

void CHttpConnection::Serve() {
    ReadRequest(m_stream, m_requestLines);
    if (m_requestLines.empty()) {
        LogLines(m_stream.m_threadId, "Request: NULL ");
        return;
    }
    if (g_state.m_logRequests.load(std::memory_order_relaxed)) {
        // Built only when someone reads it: this runs for every request.
        LogLines(m_stream.m_threadId, "Request: " + std::string(UpToNul(m_requestLines.front())));
    }
    std::time_t received = std::time(nullptr);
    SleepMs(g_state.GetDelay());
    HandleRequest(m_stream, m_requestLines);
    WriteAccessLog(m_stream, m_requestLines, received);
    LogLines(m_stream.m_threadId, "Reply completed.");
    // Without a pause the reply goes out at Close, with the end of the connection.
    if (int pause = g_state.GetDelay() / 10; pause > 0) {
        m_stream.Flush();
        SleepMs(pause);
    }
}
