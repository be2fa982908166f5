// MailboxJson.cpp - a mailbox for scripts: its messages as a JSON array, newest first, each
// with its number, sender, subject, date (as written and, when it can be read, in RFC 3339),
// its place in a thread and the URL of its page. `find` narrows it as it does the index.
#include <optional>

#include "server/JsonReply.h"
#include "server/Options.h"
#include "server/Rfc3339.h"
#include "server/SocketStream.h"
#include "mail/MailDate.h"
#include "mail/MailboxNode.h"
#include "mail/MessageSearch.h"
#include "mail/MessageUrl.h"

void CMailboxNode::ReplyJson(CSocketStream& out) {
    std::optional<CMessageSearch> search;
    if (out.m_options && out.m_options->m_hasFind) search.emplace(out.m_options->m_find);
    nlohmann::ordered_json messages = nlohmann::ordered_json::array();
    {
        auto lock = ReadLock();
        for (const CNode* node = Newest(); node; node = node->Next()) {
            const auto& message = static_cast<const CMessageNode&>(*node);
            if (search && !search->Matches(message)) continue;
            const std::optional<std::time_t> when = ParseMailDate(message.m_date);
            const std::string iso = when ? FormatRfc3339Utc(*when) : std::string();
            messages.push_back({
                {"number", message.m_number},
                {"name", JsonText(message.m_fromName)},
                {"address", JsonText(message.m_fromAddress)},
                {"subject", JsonText(message.m_subject)},
                {"date", JsonText(message.m_date)},
                {"time",
                 iso.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(iso)},
                {"reply", message.m_isReply != 0},
                {"root", message.ThreadRoot()->m_number},
                {"url", MessagePageUrl(message, false)},
            });
        }
    }
    WriteJsonReply(out, messages);
}
