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

#include "checkingservice/address.h"
#include "checkingservice/store.h"

namespace pv::check {

enum class Verdict : unsigned char { Allow, Forbid, Relocate };

class RuleIndex {
 public:
  struct Account {
    uint32_t slot = 0;  // owner number in the postings
    std::string name;
    std::optional<std::string> password_hash;
    Action policy = Action::Allow;
    std::string relocation;
    std::vector<std::pair<uint32_t, Action>> lists;  // attached lists, sorted by list number
    // Those of them with segments of their own: positions in lists_, and their actions.
    std::vector<std::pair<uint32_t, Action>> own_lists;
  };

  enum class Layer : unsigned char { Relocation, Account, Global, List, Default };

  struct Decision {
    Verdict verdict = Verdict::Allow;
    Layer layer = Layer::Default;
    RuleKind kind = RuleKind::Exact;  // of the deciding rule
    uint32_t list = 0;                // for Layer::List
  };

  const Account *find_account(std::string_view name) const;
  const Account &stranger() const { return *stranger_; }
  Decision decide(const Account &account, const AddressParts &address) const;
  std::string describe(const Decision &decision) const;

  uint64_t generation() const { return generation_; }
  uint64_t log_keep() const { return log_keep_; }
  size_t rule_count() const { return rule_count_; }
  size_t key_count() const { return key_count_; }
  // Blocks of rules this index holds in common with another (see IndexBuilder).
  size_t shared_blocks(const RuleIndex &other) const;
  // Lists held in a segment of their own (see IndexBuilder).
  size_t own_segments() const { return lists_.size(); }

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
    explicit Block(size_t size);  // zero-filled; throws std::bad_alloc
    Block(Block &&other) noexcept;
    Block &operator=(Block &&other) noexcept;
    ~Block();
    char *data() const { return data_; }

   private:
    char *data_ = nullptr;
    size_t size_ = 0;
  };

  struct Record;
  struct Segment {
    bool owners = true;  // records carry their owner (the shared segment)
    std::vector<std::shared_ptr<const Block>> blocks;
    std::vector<const char *> data;  // blocks' data, by number
    std::vector<uint32_t> used;      // bytes used in each
    size_t records = 0;
    size_t keys = 0;  // distinct kind and key pairs
    bool has_kind[4] = {};
    Block fingerprints;  // uint16_t per slot, 0: empty
    Block offsets;       // uint32_t per slot
    uint32_t capacity = 0;

    Record record(uint32_t offset) const;
    template <class Visit>
    void probe(uint64_t hash, Visit &&visit) const;
    void prefetch(uint64_t hash) const;
    void build_table();  // over the blocks, once they are complete
  };
  struct ListSegment {  // a list's own segment in this index
    std::shared_ptr<const Segment> segment;
    int64_t list_id = 0;  // in the store
    uint32_t list = 0;    // number in this index
  };

  std::shared_ptr<const Segment> shared_;  // the rules and the smaller lists
  std::vector<ListSegment> lists_;          // sorted by list number
  bool has_kind_[4] = {};  // by RuleKind: lookups of absent kinds are skipped
  size_t rule_count_ = 0;
  size_t key_count_ = 0;
  struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view name) const { return std::hash<std::string_view>{}(name); }
  };
  std::unordered_map<std::string, Account, NameHash, std::equal_to<>> accounts_;
  const Account *stranger_ = nullptr;
  std::vector<std::string> list_names_;
  uint64_t generation_ = 0;
  uint64_t log_keep_ = kDefaultLogKeep;
};

// Builds a RuleIndex from a store snapshot.
class IndexBuilder final : public SnapshotSink {
 public:
  // Lists of at least this many entries get a segment of their own.
  static constexpr size_t kOwnSegmentFrom = 65536;

  // previous: the index this one will replace, whose unchanged lists are taken over.
  explicit IndexBuilder(std::shared_ptr<const RuleIndex> previous = nullptr,
                        size_t own_segment_from = kOwnSegmentFrom);
  ~IndexBuilder() override;

  void setting(std::string_view key, std::string_view value) override;
  void account(const AccountRecord &account) override;
  void list(int64_t id, std::string_view name) override;
  void rule(std::optional<int64_t> account_id, RuleKind kind, std::string_view key,
            Action action) override;
  void list_entry(int64_t list_id, RuleKind kind, std::string_view key) override;
  void attachment(std::optional<int64_t> account_id, int64_t list_id, Action action) override;

  // Entries that named an unknown account or list, or were too large to index.
  uint64_t dropped() const { return dropped_; }
  // Lists of the previous index taken over whole by the last finish().
  size_t taken_over() const { return taken_over_; }

  std::shared_ptr<const RuleIndex> finish(uint64_t generation);

 private:
  using Segment = RuleIndex::Segment;
  // The records of the rules, or of one list, as they come.
  struct Run {
    std::shared_ptr<Segment> segment = std::make_shared<Segment>();
    std::shared_ptr<RuleIndex::Block> open;  // the block being written
    uint32_t open_used = 0;
    uint32_t list = 0;  // number, for a list
    // The previous index's own segment of this list while every record so far came out the
    // same as its records: then nothing is written, only compared. match_block and
    // match_at point at its next record.
    std::shared_ptr<const Segment> previous;
    uint32_t match_block = 0;
    uint32_t match_at = 0;
  };
  bool encode(RuleKind kind, std::string_view key, bool with_owner, uint32_t owner,
              Action action);
  void add(Run &run, RuleKind kind);
  void append(Run &run, std::string_view bytes);
  bool still_matching(Run &run, std::string_view bytes);
  void diverge(Run &run);
  void seal(Run &run);
  Run *list_run(int64_t list_id);

  std::unique_ptr<RuleIndex> index_;
  std::shared_ptr<const RuleIndex> previous_;
  size_t own_segment_from_;
  Run rules_;
  std::unordered_map<int64_t, Run> lists_;  // by store list id
  int64_t last_list_id_ = 0;
  Run *last_list_run_ = nullptr;
  std::string record_;  // the record being added, record_size_ bytes of it
  size_t record_size_ = 0;
  std::unordered_map<int64_t, std::string> account_names_;  // store id -> name
  std::unordered_map<int64_t, uint32_t> account_slots_;     // store id -> slot
  std::unordered_map<int64_t, uint32_t> list_numbers_;      // store id -> list number
  std::vector<std::pair<uint32_t, Action>> global_lists_;
  uint64_t dropped_ = 0;
  size_t taken_over_ = 0;
};

}  // namespace pv::check
