// MailSpool.cpp - delivery to the mailboxes' spools: the group commit of one spool's queued
// messages and the all-or-none delivery to several.
#include "mail/MailSpool.h"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "mail/MailboxNode.h"
#include "mail/SpoolAppend.h"

namespace {

// The sessions of this process that deliver to one spool. One of them at a time owns it
// (m_busy); a delivery that finds it owned queues its message, and the owner appends every
// queued message under one lock and covers them with one sync (group commit).
struct CSpoolChannel {
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_busy = false;
    std::vector<CAppend*> m_queue;
};

std::mutex g_channelsMutex;
std::map<std::string, std::unique_ptr<CSpoolChannel>> g_channels;  // by spool path; one per mailbox

CSpoolChannel& ChannelOf(const CMailboxNode* mailbox) {
    std::lock_guard<std::mutex> lock(g_channelsMutex);
    auto& channel = g_channels[mailbox->m_spoolPath];
    if (!channel) channel = std::make_unique<CSpoolChannel>();
    return *channel;
}

void LetMailboxRead(CMailboxNode* mailbox, const CAppend& append) {
    std::string_view bytes;
    std::string joined;
    if (append.m_at >= 0) {
        joined.reserve(append.m_separator.size() + append.m_stored.size());
        joined.append(append.m_separator).append(append.m_stored);
        bytes = joined;
    }
    mailbox->ReadAppended(append.m_lineEndAt, append.m_at, bytes);
}

// The owner's work on one spool: every queued message under one lock, one sync for all.
void AppendBatch(CMailboxNode* mailbox, std::vector<CAppend*>& batch) {
    CSpoolFile spool(mailbox);
    if (!spool.Open()) {
        for (CAppend* append : batch)
            append->m_result = EStoreResult::kFailed;
        return;
    }
    const off_t start = spool.Size();
    bool anyStored = false;
    for (CAppend* append : batch) {
        append->m_result = spool.Append(*append);
        anyStored = anyStored || append->m_result == EStoreResult::kStored;
    }
    if (anyStored && !spool.Sync()) {
        spool.CutBack(start);
        for (CAppend* append : batch)
            append->m_result = EStoreResult::kFailed;
    }
    spool.Close();
    for (CAppend* append : batch) {
        if (append->m_result == EStoreResult::kStored) LetMailboxRead(mailbox, *append);
    }
}

// One mailbox: queue the message; whoever finds the spool free appends the whole queue.
EStoreResult DeliverOne(CMailboxNode* mailbox, std::string_view stored) {
    CSpoolChannel& channel = ChannelOf(mailbox);
    CAppend mine;
    mine.m_stored = stored;
    std::unique_lock<std::mutex> lock(channel.m_mutex);
    channel.m_queue.push_back(&mine);
    channel.m_changed.wait(lock, [&] { return mine.m_done || !channel.m_busy; });
    if (mine.m_done) return mine.m_result;
    channel.m_busy = true;
    std::vector<CAppend*> batch;
    batch.swap(channel.m_queue);
    lock.unlock();
    AppendBatch(mailbox, batch);
    lock.lock();
    for (CAppend* append : batch)
        append->m_done = true;
    channel.m_busy = false;
    channel.m_changed.notify_all();
    return mine.m_result;
}

// Owns the channels of several mailboxes at once, taken in path order so that two
// deliveries to the same mailboxes cannot wait for each other.
class COwnedChannels {
  public:
    explicit COwnedChannels(std::span<CMailboxNode* const> mailboxes) {
        for (CMailboxNode* mailbox : mailboxes)
            m_channels.push_back(&ChannelOf(mailbox));
        std::vector<CSpoolChannel*> ordered = m_channels;
        std::sort(ordered.begin(), ordered.end());
        ordered.erase(std::unique(ordered.begin(), ordered.end()), ordered.end());
        for (CSpoolChannel* channel : ordered) {
            std::unique_lock<std::mutex> lock(channel->m_mutex);
            channel->m_changed.wait(lock, [&] { return !channel->m_busy; });
            channel->m_busy = true;
            m_owned.push_back(channel);
        }
    }
    ~COwnedChannels() {
        for (CSpoolChannel* channel : m_owned) {
            std::lock_guard<std::mutex> lock(channel->m_mutex);
            channel->m_busy = false;
            channel->m_changed.notify_all();
        }
    }
    COwnedChannels(const COwnedChannels&) = delete;
    COwnedChannels& operator=(const COwnedChannels&) = delete;

  private:
    std::vector<CSpoolChannel*> m_channels;
    std::vector<CSpoolChannel*> m_owned;
};

// Several mailboxes: every spool open and locked at once, so that a failure anywhere can
// still cut back the ones already written (no other writer can have come after them).
EStoreResult DeliverAll(std::span<CMailboxNode* const> mailboxes, std::string_view stored) {
    COwnedChannels owned(mailboxes);
    std::vector<std::unique_ptr<CSpoolFile>> spools;
    std::vector<CAppend> appends(mailboxes.size());
    std::vector<off_t> starts;
    EStoreResult result = EStoreResult::kStored;
    for (CMailboxNode* mailbox : mailboxes) {
        spools.push_back(std::make_unique<CSpoolFile>(mailbox));
        if (!spools.back()->Open()) return EStoreResult::kFailed;
        starts.push_back(spools.back()->Size());
    }
    for (std::size_t i = 0; i < mailboxes.size() && result == EStoreResult::kStored; ++i) {
        appends[i].m_stored = stored;
        result = spools[i]->Append(appends[i]);
    }
    for (std::size_t i = 0; i < mailboxes.size() && result == EStoreResult::kStored; ++i) {
        if (!spools[i]->Sync()) result = EStoreResult::kFailed;
    }
    if (result != EStoreResult::kStored) {
        for (std::size_t i = 0; i < spools.size(); ++i)
            spools[i]->CutBack(starts[i]);
        return result;
    }
    for (auto& spool : spools)
        spool->Close();
    for (std::size_t i = 0; i < mailboxes.size(); ++i)
        LetMailboxRead(mailboxes[i], appends[i]);
    return result;
}

}  // namespace

EStoreResult CMailSpool::Deliver(std::span<CMailboxNode* const> mailboxes, std::string_view lines) {
    if (mailboxes.empty()) return EStoreResult::kStored;
    std::string stored;
    stored.reserve(lines.size() + lines.size() / 32 + 64);
    AppendStoredForm(stored, lines);
    return mailboxes.size() == 1 ? DeliverOne(mailboxes[0], stored) : DeliverAll(mailboxes, stored);
}
