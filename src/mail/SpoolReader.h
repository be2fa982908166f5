// SpoolReader.h - CSpoolReader, cuts a mail spool into messages and collects the header
// values of each.
//
// Lines end at "\n"; one "\r" before it is dropped. A line is taken in pieces of at most 999
// bytes; a line whose length is a multiple of 999 is followed by an empty piece. Offsets are
// byte offsets in the file (64 bits) whatever the line end. In a body, a line beginning with
// "From " or "From:" starts the next message, unless the line before it holds
// "Forwarded message:". A message whose header block is still open at the end of the file
// is held back: the next read starts at its first line.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "mail/MailSpool.h"

// The values of one complete message, in the form the record stores them.
struct CSpoolMessage {
    std::int64_t m_offset = 0;     // first byte of the message's first line
    std::int64_t m_endOffset = 0;  // first byte after it: where a later read may start
    std::string m_date;
    std::string m_fromName;
    std::string m_fromAddress;
    std::string m_messageId;
    std::string m_subject;
    std::string m_inReplyTo;
    // With folded headers kept: the whole "Subject:" and "From:" lines, continuation lines
    // joined to them (each fold's line end dropped, its first blank made a space), bounded.
    std::string m_subjectLine;
    std::string m_senderLine;
    // ... and the message's own "Content-Type:" line, whose charset names what raw bytes in
    // the two lines above are in.
    std::string m_typeLine;
};

enum class CHeaderKind;  // the kinds of header line the reader tells apart

class CSpoolReader {
  public:
    static constexpr std::size_t kPieceLength = kSpoolPieceLength;
    static constexpr std::size_t kBlockSize = 1 << 20;
    static constexpr std::size_t kMinBlockSize = 4096;  // holds a whole piece and its line end

    using Sink = std::function<void(const CSpoolMessage&)>;
    using SizeHint = std::function<void(std::uint64_t bytesAhead)>;

    // Reads the file `path` from `offset` to its end, handing every complete message to
    // `sink` in file order. Returns false, having called nothing, when the file cannot be
    // opened or read; otherwise sets `nextOffset` to where the next read must start.
    // `sizeHint`, when given, learns before the first message how many bytes lie past
    // `offset` (only when there are some), so a caller can size its tables once.
    // `keepFolded` also fills m_subjectLine, m_senderLine and m_typeLine, for a caller that
    // decodes them.
    static bool ReadFile(const std::string& path, std::int64_t offset, const Sink& sink,
                         std::int64_t& nextOffset, const SizeHint& sizeHint = {},
                         bool keepFolded = false);

    // The same over bytes in memory, `base` being the file offset of text[0]. Returns the
    // offset where the next read must start.
    static std::int64_t ReadText(std::string_view text, std::int64_t base, const Sink& sink,
                                 bool keepFolded = false);

    // The most of a folded Subject or From line that is kept.
    static constexpr std::size_t kFoldedLineCut = 4096;
    // ... and of a Content-Type line: its charset comes early, long lists of parameters do not.
    static constexpr std::size_t kTypeLineCut = 512;

    CSpoolReader(std::int64_t start, const Sink& sink, bool keepFolded = false);
    // One line (or piece) without its terminator, starting at file offset `offset`.
    void Line(std::string_view line, std::int64_t offset);
    // End of the input; `endOffset` is the offset past the last byte, `terminated` whether
    // the last piece read ended with a line end. Returns where the next read must start.
    std::int64_t Finish(std::int64_t endOffset, bool terminated, bool anyLine);

    bool InHeader() const { return m_inHeader; }
    // Where the message being read began: where a later read starts when this one stops early.
    std::int64_t PendingStart() const { return m_message.m_offset; }
    // Body lines that begin with neither "From " nor "From:" only become the previous line:
    // a caller that passes over a run of them hands over the last one.
    void SkippedBodyLine(std::string_view line) { SetPrevious(line); }

    // The previous line's text is kept only as the answer to "does it hold
    // 'Forwarded message:'?"; the caller may hand over that answer before the text goes away.
    void ForgetPreviousText();

  private:
    void EndMessage(std::int64_t endOffset);
    void Header(std::string_view line);
    void KeepFolded(CHeaderKind kind, std::string_view line);
    bool PreviousIsForwarded();
    void SetPrevious(std::string_view line) {
        m_previous = line;
        m_previousKnown = false;
    }

    const Sink& m_sink;
    const bool m_keepFolded;
    std::string* m_folding = nullptr;  // the kept line a continuation line belongs to
    bool m_inHeader = true;
    bool m_subjectSeen = false;
    bool m_dateSeen = false;
    bool m_envelopeSeen = false;
    bool m_replyPending = false;
    bool m_storeMessage = false;  // the message began with a separator the store writes
    std::string m_envelopeDate;
    std::string_view m_previous;
    bool m_previousKnown = true;
    bool m_previousForwarded = false;
    CSpoolMessage m_message;
};
