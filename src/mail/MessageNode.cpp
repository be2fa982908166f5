// MessageNode.cpp - construction of a message record.
#include "mail/MessageNode.h"

#include "mail/HeaderValues.h"
#include "mail/MailboxNode.h"

CMessageNode::CMessageNode(int number, std::string date, std::string fromName,
                           std::string fromAddress, std::string messageId, std::string subject,
                           std::string inReplyTo, CMailboxNode* mailbox, std::int64_t offset)
    : m_offset(offset),
      m_number(number),
      m_fromName(std::move(fromName)),
      m_fromAddress(std::move(fromAddress)),
      m_date(std::move(date)),
      m_messageId(std::move(messageId)),
      m_subject(std::move(subject)),
      m_inReplyTo(std::move(inReplyTo)),
      m_mailbox(mailbox) {
    m_name = std::to_string(number);
    m_dateKey = BuildDateKey(m_date);
    m_dateOrder = BuildDateOrder(m_date);
}

const std::string& CMessageNode::SpoolPath() const {
    return m_mailbox->m_spoolPath;
}
