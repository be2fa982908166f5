// HttpConnection.cpp - the HTTP worker loop, reading the request head, and dispatching one
// request to the cart or to the node its path names. Owns no socket: the stream does.
#include "server/HttpConnection.h"

#include <chrono>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <cstring>
#include <ctime>
#include <thread>
#include <utility>

#include "server/AccessLog.h"
#include "server/Cart.h"
#include "server/FolderNode.h"
#include "server/HTEscape.h"
#include "server/HttpHeader.h"
#include "server/Options.h"
#include "server/Listener.h"
#include "server/ServerState.h"
#include "server/WorkerPool.h"
#include "platform/Socket.h"

namespace {

constexpr std::size_t kMaxCopy = 1000;  // request line and query copies
constexpr std::string_view kSeparators = " \t?\n\r";
// What a closing connection still takes from its peer, so that the close is not a reset.
constexpr std::size_t kDrainLimit = 64 * 1024;

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

}  // namespace

void ReadRequest(CSocketStream& in, std::vector<std::string>& lines) {
    CRequestHead head;
    std::string piece;
    while (!head.Complete() && in.ReadLine(piece, kMaxRequestLine) == CSocketStream::ERead::Line)
        head.AddPiece(std::move(piece));
    lines = std::move(head.Lines());
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
    if (g_state.m_admins.Contains(out.m_peerAddress)) {
        // Only the process-wide keywords (delay, hostname, type) matter here, even for a
        // refused method; only admin clients change them for everyone.
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
    options.ParseOptions(query, COptions::EProcessWide::Ignore);  // applied above, if at all
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

void ServeRequest(CSocketStream& stream, const std::vector<std::string>& lines, CWorkerPool* pool) {
    auto pause = [pool](int milliseconds) {
        if (milliseconds <= 0) return;
        if (pool) {
            pool->SleepFor(std::chrono::milliseconds(milliseconds));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
        }
    };
    if (lines.empty()) {
        LogLines(stream.m_threadId, "Request: NULL ");
        return;
    }
    if (g_state.m_logRequests.load(std::memory_order_relaxed)) {
        // Built only when someone reads it: this runs for every request.
        LogLines(stream.m_threadId, "Request: " + std::string(UpToNul(lines.front())));
    }
    std::time_t received = std::time(nullptr);
    pause(g_state.GetDelay());
    HandleRequest(stream, lines);
    WriteAccessLog(stream, lines, received);
    LogLines(stream.m_threadId, "Reply completed.");
    // Without a pause the reply goes out at Close, with the end of the connection.
    if (int after = g_state.GetDelay() / 10; after > 0) {
        stream.Flush();
        pause(after);
    }
}

CHttpConnection::CHttpConnection(CHttpListener& owner, CFd socket, const sockaddr_storage& peer)
    : m_owner(owner), m_socket(std::move(socket)), m_peer(peer) {}

CHttpConnection::~CHttpConnection() = default;

void CHttpConnection::Start() {
    if (int timeout = m_owner.Settings().m_readTimeout; timeout > 0) {
        m_headDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout);
    } else {
        m_headDeadline = std::chrono::steady_clock::time_point::max();
    }
    // The head has usually come with the connection (the listener defers the accept).
    Read();
    if (m_phase == EPhase::Reading) Watch(EPOLLIN);
}

void CHttpConnection::Watch(std::uint32_t events) {
    if (m_watched) {
        m_owner.Loop().Modify(m_socket.Get(), events, this);
    } else {
        m_watched = m_owner.Loop().Add(m_socket.Get(), events, this);
    }
}

void CHttpConnection::Unwatch() {
    if (!m_watched) return;
    m_owner.Loop().Remove(m_socket.Get());
    m_watched = false;
}

void CHttpConnection::OnEvents(std::uint32_t) {
    if (m_phase == EPhase::Reading) {
        Read();
        return;
    }
    if (m_phase != EPhase::Replying || !m_queue) return;
    switch (m_queue->Drain()) {
        case CReplyQueue::EDrain::Pending:
            break;
        case CReplyQueue::EDrain::Idle:
            Unwatch();  // the worker sends on; it asks again when the peer falls behind
            break;
        case CReplyQueue::EDrain::Done:
        case CReplyQueue::EDrain::Failed:
            Close();
            break;
    }
}

void CHttpConnection::Read() {
    char chunk[16 * 1024];
    while (!m_head.Complete()) {
        ssize_t n = Sockets::ReceiveSome(m_socket.Get(), chunk, sizeof chunk);
        if (n > 0) {
            m_head.Feed(std::string_view(chunk, static_cast<std::size_t>(n)));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        m_head.End();  // the end of input (or a failed read) answers what was read
    }
    Dispatch();
}

void CHttpConnection::Dispatch() {
    Unwatch();
    m_phase = EPhase::Replying;
    m_rateStart = std::chrono::steady_clock::now();
    std::weak_ptr<CHttpConnection> weak = weak_from_this();
    CEventLoop& loop = m_owner.Loop();
    m_queue = std::make_unique<CReplyQueue>(m_socket.Get(), m_owner.Budget(), [weak, &loop] {
        loop.Post([weak] {
            if (auto self = weak.lock()) self->WantWrite();
        });
    });
    m_owner.Pool().Submit([self = shared_from_this()](unsigned threadId) { self->Work(threadId); });
}

void CHttpConnection::Work(unsigned threadId) {
    CSocketStream stream;
    stream.OpenReply(m_queue.get(), m_peer);
    stream.m_threadId = threadId;
    try {
        ServeRequest(stream, m_head.Lines(), &m_owner.Pool());
    } catch (const std::exception& error) {
        // Out of memory while answering: this client loses its reply, the worker goes on.
        std::fprintf(stderr, "Request failed: %s\n", error.what());
    }
    stream.Close();
    m_owner.Loop().Post([self = shared_from_this()] { self->WorkDone(); });
}

void CHttpConnection::WantWrite() {
    if (m_phase != EPhase::Replying) return;
    if (m_queue->State() == CReplyQueue::EDrain::Pending) Watch(EPOLLOUT);
}

void CHttpConnection::WorkDone() {
    m_workDone = true;
    if (m_phase != EPhase::Replying) return;
    switch (m_queue->State()) {
        case CReplyQueue::EDrain::Pending:
            Watch(EPOLLOUT);
            break;
        case CReplyQueue::EDrain::Idle:  // not after Finish
        case CReplyQueue::EDrain::Done:
        case CReplyQueue::EDrain::Failed:
            Close();
            break;
    }
}

void CHttpConnection::Tick(std::chrono::steady_clock::time_point now) {
    if (m_phase == EPhase::Reading) {
        // A head not complete in time: answer what came, as at the end of input.
        if (now >= m_headDeadline) {
            m_head.End();
            Dispatch();
        }
        return;
    }
    if (m_phase != EPhase::Replying || !m_queue) return;
    if (!m_queue->Waiting()) {
        // Only time spent waiting for the peer counts against it.
        m_rateStart = now;
        m_rateSentAtStart = m_queue->BytesSent();
        return;
    }
    const CSettings& settings = m_owner.Settings();
    auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(now - m_rateStart).count();
    if (elapsed < settings.m_graceSeconds) return;
    // The rate is measured over windows of the grace period: the socket buffers swallow
    // megabytes at first, which would hide a reader that then takes nothing for hours.
    std::uint64_t sent = m_queue->BytesSent() - m_rateSentAtStart;
    if (static_cast<std::int64_t>(sent) >= settings.m_minimumRate * elapsed) {
        m_rateStart = now;
        m_rateSentAtStart = m_queue->BytesSent();
        return;
    }
    std::fprintf(stderr, "Slow reader cut off: %s got %llu bytes in %lld s, below %lld bytes/s\n",
                 Sockets::AddressText(m_peer).c_str(), static_cast<unsigned long long>(sent),
                 static_cast<long long>(elapsed), static_cast<long long>(settings.m_minimumRate));
    Close();
}

void CHttpConnection::Close(bool forget) {
    if (m_phase == EPhase::Closed) return;
    m_phase = EPhase::Closed;
    // After Fail no worker touches the socket any more, so it may be closed and reused.
    if (m_queue) m_queue->Fail();
    Unwatch();
    Sockets::DrainReceived(m_socket.Get(), kDrainLimit);
    if (::close(m_socket.Release()) != 0) {
        std::fprintf(stderr, "Windows Socket error %d:  Couldn't close a client socket.\n", errno);
    }
    if (forget) m_owner.Forget(this);
}
