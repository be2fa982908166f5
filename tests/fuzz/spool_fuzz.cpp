// Fuzzes the spool reader on arbitrary bytes: the file reader against the in-memory reader,
// a read in two parts (the spool grows between them, as when mail arrives), and the mailbox
// index and message pages over what was read. Mail markup written as "<x-" must never reach
// a page raw.
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSite.h"
#include "server/FolderNode.h"
#include "server/HttpConnection.h"
#include "server/ServerState.h"
#include "server/SocketStream.h"
#include "mail/MailboxNode.h"
#include "mail/SpoolReader.h"

namespace {

std::string Page(const std::string& path) {
    CSocketStream stream;
    stream.OpenMemory("");
    HandleRequest(stream, {"GET " + path + " HTTP/1.0"});
    return stream.TakeOutput();
}

bool HasRawMarkup(const std::string& page) {
    return Holds(page, "<x-") || Holds(page, "<X-");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static CFuzzDir dir;
    if (size < 1) return 0;
    // The first byte chooses where the spool is cut for the two-part read.
    const std::size_t cut = (size - 1) * data[0] / 255;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    const auto length = static_cast<std::int64_t>(text.size());

    // The in-memory reader: records in file order, each inside the text.
    std::vector<CSpoolMessage> records;
    std::int64_t next = CSpoolReader::ReadText(
        text, 0, [&](const CSpoolMessage& message) { records.push_back(message); });
    std::int64_t previousEnd = 0;
    for (const CSpoolMessage& message : records) {
        if (message.m_offset < previousEnd || message.m_endOffset <= message.m_offset ||
            message.m_endOffset > length) {
            __builtin_trap();
        }
        previousEnd = message.m_endOffset;
    }
    if (next < previousEnd || next > length) __builtin_trap();

    // The file reader over the same bytes finds the same records.
    const std::string path = dir.Write("whole/mailbox", text);
    auto whole = std::make_unique<CMailboxNode>(CFolderNode::NoScan{}, "whole", path);
    whole->ReadSpool(0);
    if (whole->MessageCount() != static_cast<int>(records.size())) __builtin_trap();
    if (whole->ReadOffset() != next) __builtin_trap();

    // Two parts: what was read first stays, and the second read starts where it must.
    const std::string split = dir.Write("split/mailbox", text.substr(0, cut));
    auto grown = std::make_unique<CMailboxNode>(CFolderNode::NoScan{}, "split", split);
    grown->ReadSpool(0);
    const int firstCount = grown->MessageCount();
    const std::int64_t firstOffset = grown->ReadOffset();
    {
        std::ofstream(split, std::ios::binary | std::ios::app)
            .write(text.data() + cut, static_cast<std::streamsize>(text.size() - cut));
    }
    grown->ReadNewMail();
    if (grown->MessageCount() < firstCount || grown->ReadOffset() < firstOffset ||
        grown->ReadOffset() > length) {
        __builtin_trap();
    }

    // Pages over the records: the index in each order, and the first few messages.
    g_state.m_root = std::make_unique<CFolderNode>(CFolderNode::NoScan{}, "");
    auto topics = std::make_unique<CFolderNode>(CFolderNode::NoScan{}, "topics");
    topics->AddChild(std::move(whole));
    g_state.m_root->AddChild(std::move(topics));
    for (const char* query : {"", "?sort=name", "?sort=subject", "?sort=date", "?expand"}) {
        if (HasRawMarkup(Page(std::string("/topics/whole/") + query))) __builtin_trap();
    }
    for (std::size_t number = 0; number < records.size() && number < 3; ++number) {
        if (HasRawMarkup(Page("/topics/whole/" + std::to_string(number)))) __builtin_trap();
    }
    g_state.m_root.reset();
    return 0;
}
