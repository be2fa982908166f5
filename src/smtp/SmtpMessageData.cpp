// SmtpMessageData.cpp - DATA framing (pieces, the end mark, dot transparency) and the
// bounded buffer of the message being received.
#include <algorithm>
#include <atomic>

#include "smtp/SmtpSession.h"

namespace {

std::atomic<std::size_t> g_heldBytes{0};

}  // namespace

std::size_t CSmtpSession::TotalHeldBytes() {
    return g_heldBytes.load();
}

std::size_t CSmtpSession::FeedData(std::string_view received) {
    std::size_t used = 0;
    while (used < received.size() && !m_unitReady) {
        std::size_t room = kDataChars - m_line.size();
        std::string_view window = received.substr(used, room);
        std::size_t lf = window.find('\n');
        if (lf == std::string_view::npos) {
            m_line.append(window);
            used += window.size();
            if (m_line.size() < kDataChars) break;
            DataPiece(m_line, true);
        } else {
            m_line.append(window.substr(0, lf));
            used += lf + 1;
            DataPiece(m_line, m_line.size() == kDataChars);
        }
        m_line.clear();
    }
    return used;
}

void CSmtpSession::DataPiece(std::string_view piece, bool cut) {
    if (m_previousCut && piece.empty() && !cut) {
        // Only the LF of a line that filled the previous piece exactly: no line of its own.
        m_previousCut = false;
        m_previousEndedCrLf = m_cutEndedCr;
        return;
    }
    // The "." line ends the data only after a line that ended with CR LF (or as the first
    // line): a bare LF before it must not let a second message ride along unseen.
    const bool startsLine = !m_previousCut;
    if (startsLine && !cut && m_previousEndedCrLf && piece == ".\r") {
        m_unitReady = true;
        return;
    }
    const bool endedCr = !piece.empty() && piece.back() == '\r';
    if (endedCr) piece.remove_suffix(1);
    // Transparency: the client doubled a leading dot.
    if (startsLine && piece.size() > 1 && piece.front() == '.') piece.remove_prefix(1);
    AddLine(piece);
    m_previousCut = cut;
    if (cut) {
        m_cutEndedCr = endedCr;
    } else {
        m_previousEndedCrLf = endedCr;
    }
}

void CSmtpSession::AddLine(std::string_view text) {
    if (m_bound != EBound::kNone || m_recipients.empty()) return;
    const std::size_t needed = m_message.size() + text.size() + 1;
    if (needed > kMaxMessageBytes) {
        // Keep nothing of a message that cannot be stored whole.
        DropMessage();
        m_bound = EBound::kMessage;
        return;
    }
    if (needed > m_message.capacity()) {
        // Grow straight to the bound rather than double past it.
        std::size_t wanted = std::max({needed, std::size_t{4096}, m_message.capacity() * 2});
        if (m_message.capacity() > kMaxMessageBytes / 4) wanted = kMaxMessageBytes;
        wanted = std::min(wanted, kMaxMessageBytes);
        const std::size_t more = wanted - m_accounted;
        if (g_heldBytes.fetch_add(more) + more > kMaxTotalBytes) {
            g_heldBytes.fetch_sub(more);
            DropMessage();
            m_bound = EBound::kTotal;
            return;
        }
        m_accounted = wanted;
        m_message.reserve(wanted);
    }
    m_message.append(text).push_back('\n');
}

void CSmtpSession::DropMessage() {
    std::string().swap(m_message);
    g_heldBytes.fetch_sub(m_accounted);
    m_accounted = 0;
}
