// SpoolStoredForm.cpp - the stored form of a message: separator line, "From" quoting and
// the cutting of long lines, the rules the reader shares.
#include <algorithm>
#include <cstring>
#include <ctime>

#include "mail/MailSpool.h"

namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}

// A line the reader would take for the start of a message (in the body) or for an envelope
// line (in the header block), behind any earlier quoting ">"s. One more ">" disarms it.
bool NeedsFromQuote(std::string_view line, bool inBody) {
    std::string_view rest = line.substr(std::min(line.find_first_not_of('>'), line.size()));
    return inBody ? StartsSpoolMessage(rest) : StartsWith(rest, "From ");
}

// What the reader takes for an empty line, the end of the header block: it drops one CR at
// a line's end.
bool ReadAsEmpty(std::string_view line) {
    return line.empty() || line == "\r";
}

// A piece of a longer line may begin with "From " (a new message) or be empty (the end of
// the header block): a sender could split his message in two that way. So a stored line
// never reaches the piece length, its quote included; a longer one is stored as consecutive
// lines, each checked like any other, and none of them is a lone CR.
constexpr std::size_t kStoredLineMax = kSpoolPieceLength - 1;

void AppendStoredLine(std::string& out, std::string_view line, bool inBody) {
    do {
        std::size_t take = std::min(line.size(), kStoredLineMax);
        const bool quote = NeedsFromQuote(line, inBody);
        if (quote && take == kStoredLineMax) --take;
        if (line.size() == take + 1 && line.back() == '\r') --take;
        if (quote) out += '>';
        out.append(line.substr(0, take)).push_back('\n');
        line.remove_prefix(take);
    } while (!line.empty());
}

}  // namespace

bool StartsSpoolMessage(std::string_view line) {
    return line.size() >= 5 && line.substr(0, 4) == "From" && (line[4] == ' ' || line[4] == ':');
}

std::string SpoolSeparatorLine(std::time_t when) {
    std::tm local{};
    ::localtime_r(&when, &local);
    char date[64];
    std::size_t length = std::strftime(date, sizeof date, "%a %b %d %H:%M:%S %Y", &local);
    return std::string(kStoreSeparator) + std::string(date, length);
}

void AppendStoredForm(std::string& out, std::string_view lines) {
    bool inBody = false;
    std::string_view lastLine;
    for (std::string_view rest = lines; !rest.empty();) {
        std::size_t end = rest.find('\n');
        lastLine = rest.substr(0, end);
        AppendStoredLine(out, lastLine, inBody);
        if (ReadAsEmpty(lastLine)) inBody = true;
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    }
    // A separator ends a message only in its body, and not right after a line holding
    // "Forwarded message:": without an empty line here, the next delivery would become part
    // of this message once the spool is read again from its start.
    if (!inBody || lastLine.find("Forwarded message:") != std::string_view::npos) out += '\n';
}
