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
  size_t rule_count() const { return postings_.size(); }
  size_t key_count() const { return key_count_; }

 private:
  friend class IndexBuilder;

  struct Slot {
    uint32_t fingerprint = 0;
    uint32_t key_offset = 0;  // in keys_: kind byte, then the key text
    uint32_t key_length = 0;
    uint32_t first = 0;  // postings_[first, first + count)
    uint32_t count = 0;  // 0: empty slot
  };
  struct Posting {
    uint32_t owner = 0;        // 0 global, account slot, or kListBit | list number
    uint32_t path_offset = 0;  // prefix rules: the path prefix in keys_
    uint32_t path_length = 0;
    Action action = Action::Forbid;  // unused for list entries: attachments decide
  };
  static constexpr uint32_t kListBit = 0x80000000u;

  const Slot *lookup(char kind, std::string_view key) const;

  std::string keys_;
  bool has_kind_[4] = {};  // by RuleKind: lookups of absent kinds are skipped
  std::vector<Slot> slots_;
  std::vector<Posting> postings_;
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
  IndexBuilder();
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

  std::shared_ptr<const RuleIndex> finish(uint64_t generation);

 private:
  struct Pending;
  void add(uint32_t owner, RuleKind kind, std::string_view key, Action action);

  std::unique_ptr<RuleIndex> index_;
  std::string pending_keys_;
  std::vector<Pending> pending_;
  std::unordered_map<int64_t, std::string> account_names_;  // store id -> name
  std::unordered_map<int64_t, uint32_t> account_slots_;     // store id -> slot
  std::unordered_map<int64_t, uint32_t> list_numbers_;      // store id -> list number
  std::vector<std::pair<uint32_t, Action>> global_lists_;
  uint64_t dropped_ = 0;
};

}  // namespace pv::check
