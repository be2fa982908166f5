// MessageUrl.h - what the mail pages share: reading the view values of a request (sort, expand,
// top of list), escaping for the two places outside text goes, and the icons folder lookup.
// CMessageNode::BuildMessageUrl itself is declared with the record (MessageNode.h).
#pragma once

#include <optional>
#include <string>
#include <string_view>

class CNode;
class COptions;
class CSocketStream;

// Gives a stream without request options (a page rendered outside a request) the defaults
// for as long as it lives, and takes them away again.
class CRequestView {
  public:
    CRequestView(CSocketStream& out, COptions& defaults);
    ~CRequestView();
    CRequestView(const CRequestView&) = delete;
    CRequestView& operator=(const CRequestView&) = delete;

  private:
    CSocketStream& m_out;
    bool m_lent;
};

// A non-empty `expand` or `topoflist` value read as a decimal number (leading blanks and a
// sign allowed, no digits gives 0); nothing when the value is empty.
std::optional<int> ViewNumber(const std::string& value);

// Text for an unquoted attribute value: "<" and ">" written as "&lt;" and "&gt;", and bytes
// below 0x21 as "%" and two hex digits, so a value can neither close the tag, open another
// one, nor start an attribute of its own.
std::string EscapeAttribute(std::string_view text);

// The node's URL as scenes write it: "http://", the host name, the port unless 80, the path.
std::string AbsoluteUrl(const CNode& node);
// The link that shows the message's own page: a thread root with replies needs its number
// in `expand`, or it answers with the index. Absolute or server-relative. Caller holds the
// mailbox's ReadLock().
class CMessageNode;
std::string MessagePageUrl(const CMessageNode& message, bool absolute);

// The reply to a request for something that is not there: the same bytes as for a path
// that names nothing.
void WriteNotFound(CSocketStream& out);
