// SmtpCommandText.cpp - reply lines, command tokens, the RCPT address rule and the echo.
#include "smtp/SmtpCommandText.h"

#include <cstdio>

#include "server/LogText.h"
#include "server/ServerState.h"
#include "mail/MailboxNode.h"
#include "platform/HostName.h"

std::string SmtpReplyLine(std::string_view text, std::string_view more) {
    std::string reply;
    reply.reserve(text.size() + more.size() + 2);
    reply.append(text).append(more).append("\r\n");
    return reply;
}

std::string_view CSmtpTokenizer::Next(std::string_view delimiters) {
    std::size_t start = m_rest.find_first_not_of(delimiters);
    if (start == std::string_view::npos) {
        m_rest = {};
        return {};
    }
    std::size_t end = m_rest.find_first_of(delimiters, start);
    std::string_view token =
        m_rest.substr(start, end == std::string_view::npos ? end : end - start);
    m_rest = end == std::string_view::npos ? std::string_view{} : m_rest.substr(end + 1);
    return token;
}

// The console shows each command before its reply goes out; one unit, so a log line of
// another thread cannot come between the line and its line end.
void SmtpEcho(std::string_view line) {
    ::flockfile(stdout);
    WriteLogText(stdout, line);
    ::putc_unlocked('\n', stdout);
    ::funlockfile(stdout);
    std::fflush(stdout);
}

const std::string& SmtpHostName() {
    // Looked up once: the lookup reads the resolver's files, which would otherwise cost two
    // lookups per connection (HELO and QUIT).
    static const std::string name = [] {
        std::string found = LocalHostName();
        return found.empty() ? std::string("localhost") : found;
    }();
    return name;
}

void SmtpUpperCase(std::string& text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
}

std::string RcptMailboxName(std::string_view argument) {
    CSmtpTokenizer tokens(argument);
    tokens.Next(" :");  // "TO", not checked
    std::string_view address = tokens.Next("<>");
    if (address.empty()) return {};
    return std::string(CSmtpTokenizer(address).Next("@."));
}

CMailboxNode* FindMailboxFolder(std::string_view name) {
    if (!g_state.m_topicsFolder) return nullptr;
    return dynamic_cast<CMailboxNode*>(g_state.m_topicsFolder->FindChild(name));
}
