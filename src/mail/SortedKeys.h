// SortedKeys.h - CSortedKeys, an ordered index from distinct byte-string keys to a value,
// kept as a short list of sorted blocks: a lookup is a binary search over the blocks' first
// keys (one small contiguous array) and then one inside a block, so it touches a few cache
// lines where a node tree would touch one per level. Entries are only ever added.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

// A key whose first 16 bytes are held inline, big-endian, so most comparisons never read the
// text itself. Bytes compare as unsigned; a key that is a prefix of another sorts first.
struct CSortKey {
    explicit CSortKey(std::string_view text) : m_text(text) {
        for (std::size_t i = 0; i < 16; ++i) {
            std::uint64_t byte = i < text.size() ? static_cast<unsigned char>(text[i]) : 0;
            std::uint64_t& word = i < 8 ? m_high : m_low;
            word = (word << 8) | byte;
        }
    }
    bool operator<(const CSortKey& other) const {
        if (m_high != other.m_high) return m_high < other.m_high;
        if (m_low != other.m_low) return m_low < other.m_low;
        // Equal first 16 bytes (zero-padded): short keys differ only in their length.
        if (m_text.size() <= 16 && other.m_text.size() <= 16) {
            return m_text.size() < other.m_text.size();
        }
        return m_text.compare(other.m_text) < 0;
    }
    bool operator==(const CSortKey& other) const { return !(*this < other) && !(other < *this); }

    std::uint64_t m_high = 0;
    std::uint64_t m_low = 0;
    std::string_view m_text;  // must outlive the index
};

template <typename Value>
class CSortedKeys {
  public:
    struct Result {
        Value* m_slot;          // the key's value; valid until the next Emplace
        bool m_inserted;        // the key was new
        const Value* m_before;  // the value of the next smaller key; null when none
    };

    // Finds `key`, or inserts it with `value`.
    Result Emplace(const CSortKey& key, Value value) {
        if (m_blocks.empty()) {
            m_blocks.emplace_back().reserve(kBlockSize);
            m_firsts.push_back(key);
        }
        // The last block whose first key is not greater than `key` (or the first block).
        auto firstAfter = std::upper_bound(m_firsts.begin(), m_firsts.end(), key);
        std::size_t b = firstAfter == m_firsts.begin()
                            ? 0
                            : static_cast<std::size_t>(firstAfter - m_firsts.begin()) - 1;
        std::vector<Entry>& block = m_blocks[b];
        auto at = std::lower_bound(block.begin(), block.end(), key,
                                   [](const Entry& e, const CSortKey& k) { return e.m_key < k; });
        if (at != block.end() && !(key < at->m_key)) {
            return {&at->m_value, false, Before(b, at)};
        }
        std::size_t index = static_cast<std::size_t>(at - block.begin());
        block.insert(at, Entry{key, value});
        if (index == 0) m_firsts[b] = key;
        if (block.size() >= kBlockSize) {
            Split(b);
            if (index >= kBlockSize / 2) {
                ++b;
                index -= kBlockSize / 2;
            }
        }
        std::vector<Entry>& home = m_blocks[b];
        return {&home[index].m_value, true, Before(b, home.begin() + static_cast<long>(index))};
    }

    std::size_t Size() const {
        std::size_t size = 0;
        for (const auto& block : m_blocks)
            size += block.size();
        return size;
    }

  private:
    static constexpr std::size_t kBlockSize = 128;
    struct Entry {
        CSortKey m_key;
        Value m_value;
    };

    const Value* Before(std::size_t b, typename std::vector<Entry>::iterator at) const {
        if (at != m_blocks[b].begin()) return &std::prev(at)->m_value;
        if (b == 0) return nullptr;
        return &m_blocks[b - 1].back().m_value;
    }

    void Split(std::size_t b) {
        std::vector<Entry> upper;
        upper.reserve(kBlockSize);
        auto middle = m_blocks[b].begin() + static_cast<long>(kBlockSize / 2);
        upper.assign(middle, m_blocks[b].end());
        m_blocks[b].erase(middle, m_blocks[b].end());
        m_firsts.insert(m_firsts.begin() + static_cast<long>(b + 1), upper.front().m_key);
        m_blocks.insert(m_blocks.begin() + static_cast<long>(b + 1), std::move(upper));
    }

    std::vector<CSortKey> m_firsts;  // first key of each block
    std::vector<std::vector<Entry>> m_blocks;
};
