// The in-memory index the service answers from. It is built off to the side from one store
// snapshot and never changed afterwards, so any number of threads may read it while the next
// one is being built.
//
// Precedence, for the account a query is answered for (a verified account, or the stranger
// profile "*"):
//   1. a relocated account is answered "004" + its new address, whatever the address;
//   2. the account's own rules;
//   3. global rules;
//   4. the lists attached to the account or globally (an account's own attachment of a list
//      overrides a global attachment of the same list);
//   5. the account's default policy.
// The first layer with a matching rule decides. Within a layer the most specific match wins:
// exact address, then prefix (longer first), then host, then domain (longer first); between
// equally specific matches, forbid wins.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "checkingservice/rules/address.h"
#include "checkingservice/storage/store.h"

namespace pv::check {

enum class Verdict : unsigned char { Allow, Forbid, Relocate };

class RuleIndex {
public:
    struct Account {
        uint32_t slot = 0; // owner number in the postings
        std::string name;
        std::optional<std::string> passwordHash;
        Action policy = Action::Allow;
        std::string relocation;
        std::vector<std::pair<uint32_t, Action>> lists; // attached lists, sorted by list number
        // Those of them with segments of their own: positions in m_lists, and their actions.
        std::vector<std::pair<uint32_t, Action>> ownLists;
    };

    enum class Layer : unsigned char { Relocation, Account, Global, List, Default };

    struct Decision {
        Verdict verdict = Verdict::Allow;
        Layer layer = Layer::Default;
        RuleKind kind = RuleKind::Exact; // of the deciding rule
        uint32_t list = 0;               // for Layer::List
    };

    const Account* FindAccount(std::string_view name) const;
    const Account& Stranger() const { return *m_stranger; }
    Decision Decide(const Account& account, const AddressParts& address) const;
    std::string Describe(const Decision& decision) const;

    uint64_t Generation() const { return m_generation; }
    uint64_t LogKeep() const { return m_logKeep; }
    size_t RuleCount() const { return m_ruleCount; }
    size_t KeyCount() const { return m_keyCount; }
    // Blocks of rules this index holds in common with another (see IndexBuilder).
    size_t SharedBlocks(const RuleIndex& other) const;
    // Lists held in a segment of their own (see IndexBuilder).
    size_t OwnSegments() const { return m_lists.size(); }

private:
    friend class IndexBuilder;

    // Every rule is one record in a few blocks of memory, back to back:
    //   varint  key length << 2 | kind
    //   bytes   key (the host for prefix rules)
    //   varint  owner << 1 | forbid, owner = 0 global, slot << 1 account, list << 1 | 1 list
    //           (not in a list's own segment, where the segment says whose they are)
    //   prefix rules only: varint path length, path bytes
    // Records are addressed by offset (block << kBlockBits | position), so the index holds no
    // pointers and no per-rule allocation. A table of 16-bit fingerprints with a parallel table
    // of offsets (open addressing, linear probing) finds them: a miss usually costs one cache
    // line of fingerprints, and the key is always compared before a record counts. Keys that
    // occur more than once (one host in several lists, several prefixes of one host) are
    // separate records in the same probe run.
    //
    // Blocks and the table over them form a segment. The rules and the smaller lists share
    // one; a large list has one of its own, which a rebuild takes over whole when the list came
    // out the same (nothing of it is allocated again, not even for a moment), and of which it
    // keeps the blocks before the first difference otherwise. A query probes the shared
    // segment and the own segments of the lists attached for its account.
    static constexpr unsigned kBlockBits = 20;
    static constexpr size_t kBlockSize = size_t{1} << kBlockBits;
    static constexpr uint32_t kMaxBlocks = uint32_t{1} << (32 - kBlockBits);

    // Memory straight from the kernel, so that a replaced index hands all of it back at once
    // whatever the allocator's thresholds; pages never written take no memory.
    class Block {
    public:
        Block() = default;
        explicit Block(size_t size); // zero-filled; throws std::bad_alloc
        Block(Block&& other) noexcept;
        Block& operator=(Block&& other) noexcept;
        ~Block();
        char* data() const { return m_data; }

    private:
        char* m_data = nullptr;
        size_t m_size = 0;
    };

    struct Record;
    struct Segment {
        bool owners = true; // records carry their owner (the shared segment)
        std::vector<std::shared_ptr<const Block>> blocks;
        std::vector<const char*> data; // blocks' data, by number
        std::vector<uint32_t> used;    // bytes used in each
        size_t records = 0;
        size_t keys = 0; // distinct kind and key pairs
        bool hasKind[4] = {};
        Block fingerprints; // uint16_t per slot, 0: empty
        Block offsets;      // uint32_t per slot
        uint32_t capacity = 0;

        Record RecordAt(uint32_t offset) const;
        template <class Visit>
        void Probe(uint64_t hash, Visit&& visit) const;
        void Prefetch(uint64_t hash) const;
        void BuildTable(); // over the blocks, once they are complete
    };
    struct ListSegment { // a list's own segment in this index
        std::shared_ptr<const Segment> segment;
        int64_t listId = 0; // in the store
        uint32_t list = 0;  // number in this index
    };

    std::shared_ptr<const Segment> m_shared; // the rules and the smaller lists
    std::vector<ListSegment> m_lists;        // sorted by list number
    bool m_hasKind[4] = {};                  // by RuleKind: lookups of absent kinds are skipped
    size_t m_ruleCount = 0;
    size_t m_keyCount = 0;
    struct NameHash {
        using is_transparent = void;
        size_t operator()(std::string_view name) const { return std::hash<std::string_view>{}(name); }
    };
    std::unordered_map<std::string, Account, NameHash, std::equal_to<>> m_accounts;
    const Account* m_stranger = nullptr;
    std::vector<std::string> m_listNames;
    uint64_t m_generation = 0;
    uint64_t m_logKeep = kDefaultLogKeep;
};

// Builds a RuleIndex from a store snapshot.
class IndexBuilder final : public SnapshotSink {
public:
    // Lists of at least this many entries get a segment of their own.
    static constexpr size_t kOwnSegmentFrom = 65536;

    // previous: the index this one will replace, whose unchanged lists are taken over.
    explicit IndexBuilder(std::shared_ptr<const RuleIndex> previous = nullptr,
                          size_t ownSegmentFrom = kOwnSegmentFrom);
    ~IndexBuilder() override;

    void Setting(std::string_view key, std::string_view value) override;
    void Account(const AccountRecord& account) override;
    void List(int64_t id, std::string_view name) override;
    void Rule(std::optional<int64_t> accountId, RuleKind kind, std::string_view key, Action action) override;
    void ListEntry(int64_t listId, RuleKind kind, std::string_view key) override;
    void Attachment(std::optional<int64_t> accountId, int64_t listId, Action action) override;

    // Entries that named an unknown account or list, or were too large to index.
    uint64_t Dropped() const { return m_dropped; }
    // Lists of the previous index taken over whole by the last finish().
    size_t TakenOver() const { return m_takenOver; }

    std::shared_ptr<const RuleIndex> Finish(uint64_t generation);

private:
    using Segment = RuleIndex::Segment;
    // The records of the rules, or of one list, as they come.
    struct Run {
        std::shared_ptr<Segment> segment = std::make_shared<Segment>();
        std::shared_ptr<RuleIndex::Block> open; // the block being written
        uint32_t openUsed = 0;
        uint32_t list = 0; // number, for a list
        // The previous index's own segment of this list while every record so far came out the
        // same as its records: then nothing is written, only compared. match_block and
        // match_at point at its next record.
        std::shared_ptr<const Segment> previous;
        uint32_t matchBlock = 0;
        uint32_t matchAt = 0;
    };
    bool Encode(RuleKind kind, std::string_view key, bool withOwner, uint32_t owner, Action action);
    void Add(Run& run, RuleKind kind);
    void Append(Run& run, std::string_view bytes);
    bool StillMatching(Run& run, std::string_view bytes);
    void Diverge(Run& run);
    void Seal(Run& run);
    Run* ListRun(int64_t listId);

    std::unique_ptr<RuleIndex> m_index;
    std::shared_ptr<const RuleIndex> m_previous;
    size_t m_ownSegmentFrom;
    Run m_rules;
    std::unordered_map<int64_t, Run> m_lists; // by store list id
    int64_t m_lastListId = 0;
    Run* m_lastListRun = nullptr;
    std::string m_record; // the record being added, m_recordSize bytes of it
    size_t m_recordSize = 0;
    std::unordered_map<int64_t, std::string> m_accountNames; // store id -> name
    std::unordered_map<int64_t, uint32_t> m_accountSlots;    // store id -> slot
    std::unordered_map<int64_t, uint32_t> m_listNumbers;     // store id -> list number
    std::vector<std::pair<uint32_t, Action>> m_globalLists;
    uint64_t m_dropped = 0;
    size_t m_takenOver = 0;
};

} // namespace pv::check
