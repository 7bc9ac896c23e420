#include "checkingservice/rule_index.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <limits>
#include <numeric>

namespace pv::check {
namespace {

constexpr char kExactKey = 'E';
constexpr char kPrefixKey = 'P';
constexpr char kHostKey = 'H';
constexpr char kDomainKey = 'D';

char key_kind(RuleKind kind) {
  switch (kind) {
    case RuleKind::Exact: return kExactKey;
    case RuleKind::Prefix: return kPrefixKey;
    case RuleKind::Host: return kHostKey;
    case RuleKind::Domain: return kDomainKey;
  }
  return kExactKey;
}

uint64_t hash_key(char kind, std::string_view text) {
  uint64_t h = 0x9E3779B97F4A7C15ull * (static_cast<unsigned char>(kind) + 1) ^ text.size();
  const char *p = text.data();
  size_t n = text.size();
  while (n >= 8) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    h ^= v * 0x9E3779B97F4A7C15ull;
    h = std::rotl(h, 31) * 0xBF58476D1CE4E5B9ull;
    p += 8;
    n -= 8;
  }
  uint64_t tail = 0;
  std::memcpy(&tail, p, n);
  h ^= tail * 0x9E3779B97F4A7C15ull;
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdull;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ull;
  h ^= h >> 33;
  return h;
}

// Most specific first: exact, then prefix, host, domain; longer beats shorter within a kind.
struct Best {
  bool found = false;
  int rank = 0;
  uint32_t length = 0;
  Action action = Action::Allow;
  RuleKind kind = RuleKind::Exact;
  uint32_t list = 0;

  void offer(int new_rank, uint32_t new_length, Action new_action, RuleKind new_kind,
             uint32_t new_list) {
    const bool better = !found || new_rank > rank || (new_rank == rank && new_length > length);
    const bool tie_forbids = found && new_rank == rank && new_length == length &&
                             new_action == Action::Forbid && action == Action::Allow;
    if (better || tie_forbids) {
      found = true;
      rank = new_rank;
      length = new_length;
      action = new_action;
      kind = new_kind;
      list = new_list;
    }
  }
};

}  // namespace

const RuleIndex::Account *RuleIndex::find_account(std::string_view name) const {
  const auto it = accounts_.find(name);
  return it == accounts_.end() ? nullptr : &it->second;
}

const RuleIndex::Slot *RuleIndex::lookup(char kind, std::string_view key) const {
  if (slots_.empty()) return nullptr;
  const uint64_t h = hash_key(kind, key);
  const uint32_t fingerprint = static_cast<uint32_t>(h >> 32);
  const size_t mask = slots_.size() - 1;
  for (size_t i = h & mask;; i = (i + 1) & mask) {
    const Slot &slot = slots_[i];
    if (slot.count == 0) return nullptr;
    if (slot.fingerprint == fingerprint && slot.key_length == key.size() + 1 &&
        keys_[slot.key_offset] == kind &&
        std::memcmp(keys_.data() + slot.key_offset + 1, key.data(), key.size()) == 0) {
      return &slot;
    }
  }
}

RuleIndex::Decision RuleIndex::decide(const Account &account, const AddressParts &address) const {
  Decision decision;
  if (!account.relocation.empty()) {
    decision.verdict = Verdict::Relocate;
    decision.layer = Layer::Relocation;
    return decision;
  }

  Best best[3];  // account, global, lists
  const auto consider = [&](const Slot *slot, RuleKind kind, int rank, auto &&length_of) {
    if (!slot) return;
    for (uint32_t i = slot->first; i < slot->first + slot->count; ++i) {
      const Posting &posting = postings_[i];
      const std::optional<uint32_t> length = length_of(posting);
      if (!length) continue;
      if (posting.owner == 0) {
        best[1].offer(rank, *length, posting.action, kind, 0);
      } else if (posting.owner & kListBit) {
        const uint32_t list = posting.owner & ~kListBit;
        const auto it = std::lower_bound(
            account.lists.begin(), account.lists.end(), list,
            [](const std::pair<uint32_t, Action> &entry, uint32_t value) {
              return entry.first < value;
            });
        if (it != account.lists.end() && it->first == list) {
          best[2].offer(rank, *length, it->second, kind, list);
        }
      } else if (posting.owner == account.slot) {
        best[0].offer(rank, *length, posting.action, kind, 0);
      }
    }
  };
  const auto whole = [](const Posting &) { return std::optional<uint32_t>(0); };

  const auto has = [&](RuleKind kind) { return has_kind_[static_cast<int>(kind)]; };
  if (has(RuleKind::Exact)) {
    consider(lookup(kExactKey, address.canonical), RuleKind::Exact, 4, whole);
  }
  if (!address.host.empty() && has(RuleKind::Prefix)) {
    consider(lookup(kPrefixKey, address.host), RuleKind::Prefix, 3,
             [&](const Posting &posting) -> std::optional<uint32_t> {
               const std::string_view prefix(keys_.data() + posting.path_offset,
                                             posting.path_length);
               if (!address.path.starts_with(prefix)) return std::nullopt;
               return posting.path_length;
             });
  }
  if (!address.host.empty() && has(RuleKind::Host)) {
    consider(lookup(kHostKey, address.host), RuleKind::Host, 2, whole);
  }
  if (!address.host.empty() && has(RuleKind::Domain)) {
    std::string_view domain = address.host;
    for (;;) {
      consider(lookup(kDomainKey, domain), RuleKind::Domain, 1,
               [&](const Posting &) { return std::optional<uint32_t>(domain.size()); });
      const size_t dot = domain.find('.');
      if (address.host_is_ip || dot == std::string_view::npos) break;
      domain.remove_prefix(dot + 1);
    }
  }

  static constexpr Layer kLayers[3] = {Layer::Account, Layer::Global, Layer::List};
  for (int layer = 0; layer < 3; ++layer) {
    if (best[layer].found) {
      decision.verdict = best[layer].action == Action::Forbid ? Verdict::Forbid : Verdict::Allow;
      decision.layer = kLayers[layer];
      decision.kind = best[layer].kind;
      decision.list = best[layer].list;
      return decision;
    }
  }
  decision.verdict = account.policy == Action::Forbid ? Verdict::Forbid : Verdict::Allow;
  decision.layer = Layer::Default;
  return decision;
}

std::string RuleIndex::describe(const Decision &decision) const {
  switch (decision.layer) {
    case Layer::Relocation: return "relocated";
    case Layer::Account: return "account " + std::string(kind_name(decision.kind));
    case Layer::Global: return "global " + std::string(kind_name(decision.kind));
    case Layer::List: {
      std::string text = "list ";
      text += decision.list < list_names_.size() ? list_names_[decision.list] : "?";
      text += ' ';
      text += kind_name(decision.kind);
      return text;
    }
    case Layer::Default: return "default";
  }
  return "?";
}

struct IndexBuilder::Pending {
  uint32_t key_offset;  // in pending_keys_, kind byte included
  uint32_t key_length;
  uint32_t path_offset;
  uint32_t path_length;
  uint32_t owner;
  Action action;
};

IndexBuilder::IndexBuilder() : index_(std::make_unique<RuleIndex>()) {}
IndexBuilder::~IndexBuilder() = default;

void IndexBuilder::setting(std::string_view key, std::string_view value) {
  if (key == "log_keep") {
    uint64_t keep = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), keep);
    if (ec == std::errc() && end == value.data() + value.size()) index_->log_keep_ = keep;
  }
}

void IndexBuilder::account(const AccountRecord &record) {
  if (index_->accounts_.contains(record.name)) {
    ++dropped_;
    return;
  }
  RuleIndex::Account account;
  account.slot = static_cast<uint32_t>(index_->accounts_.size() + 1);
  account.name = record.name;
  account.password_hash = record.password_hash;
  account.policy = record.policy;
  account.relocation = record.relocation;
  account_slots_[record.id] = account.slot;
  account_names_[record.id] = record.name;
  index_->accounts_.emplace(record.name, std::move(account));
}

void IndexBuilder::list(int64_t id, std::string_view name) {
  list_numbers_[id] = static_cast<uint32_t>(index_->list_names_.size());
  index_->list_names_.emplace_back(name);
}

void IndexBuilder::rule(std::optional<int64_t> account_id, RuleKind kind, std::string_view key,
                        Action action) {
  uint32_t owner = 0;
  if (account_id) {
    const auto it = account_slots_.find(*account_id);
    if (it == account_slots_.end()) {
      ++dropped_;
      return;
    }
    owner = it->second;
  }
  add(owner, kind, key, action);
}

void IndexBuilder::list_entry(int64_t list_id, RuleKind kind, std::string_view key) {
  const auto it = list_numbers_.find(list_id);
  if (it == list_numbers_.end()) {
    ++dropped_;
    return;
  }
  add(RuleIndex::kListBit | it->second, kind, key, Action::Forbid);
}

void IndexBuilder::attachment(std::optional<int64_t> account_id, int64_t list_id,
                              Action action) {
  const auto list = list_numbers_.find(list_id);
  if (list == list_numbers_.end()) {
    ++dropped_;
    return;
  }
  if (!account_id) {
    global_lists_.emplace_back(list->second, action);
    return;
  }
  const auto name = account_names_.find(*account_id);
  if (name == account_names_.end()) {
    ++dropped_;
    return;
  }
  index_->accounts_.at(name->second).lists.emplace_back(list->second, action);
}

void IndexBuilder::add(uint32_t owner, RuleKind kind, std::string_view key, Action action) {
  std::string_view lookup_key = key;
  std::string_view path;
  if (kind == RuleKind::Prefix) {
    const size_t slash = key.find('/');
    lookup_key = key.substr(0, slash);
    path = slash == std::string_view::npos ? std::string_view("/") : key.substr(slash);
  }
  constexpr size_t kLimit = std::numeric_limits<uint32_t>::max() / 2;
  if (pending_keys_.size() + key.size() + 2 > kLimit || pending_.size() >= kLimit) {
    ++dropped_;
    return;
  }
  Pending pending{};
  pending.key_offset = static_cast<uint32_t>(pending_keys_.size());
  pending.key_length = static_cast<uint32_t>(lookup_key.size() + 1);
  pending_keys_.push_back(key_kind(kind));
  pending_keys_.append(lookup_key);
  pending.path_offset = static_cast<uint32_t>(pending_keys_.size());
  pending.path_length = static_cast<uint32_t>(path.size());
  pending_keys_.append(path);
  pending.owner = owner;
  pending.action = action;
  pending_.push_back(pending);
  index_->has_kind_[static_cast<int>(kind)] = true;
}

std::shared_ptr<const RuleIndex> IndexBuilder::finish(uint64_t generation) {
  RuleIndex &index = *index_;
  index.generation_ = generation;

  // The stranger profile always exists, even in a store that lost its row.
  if (!index.accounts_.contains(kStrangerAccount)) {
    RuleIndex::Account stranger;
    stranger.slot = static_cast<uint32_t>(index.accounts_.size() + 1);
    stranger.name = kStrangerAccount;
    index.accounts_.emplace(stranger.name, std::move(stranger));
  }
  index.stranger_ = index.find_account(kStrangerAccount);

  for (auto &[name, account] : index.accounts_) {
    std::stable_sort(account.lists.begin(), account.lists.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    for (const auto &global : global_lists_) {
      const auto it = std::lower_bound(
          account.lists.begin(), account.lists.end(), global.first,
          [](const std::pair<uint32_t, Action> &entry, uint32_t value) {
            return entry.first < value;
          });
      if (it == account.lists.end() || it->first != global.first) {
        account.lists.insert(it, global);
      }
    }
  }

  const auto key_of = [&](const Pending &p) {
    return std::string_view(pending_keys_.data() + p.key_offset, p.key_length);
  };
  std::vector<uint32_t> order(pending_.size());
  std::iota(order.begin(), order.end(), 0u);
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    const std::string_view ka = key_of(pending_[a]);
    const std::string_view kb = key_of(pending_[b]);
    if (ka != kb) return ka < kb;
    return pending_[a].path_length > pending_[b].path_length;
  });

  size_t unique = 0;
  for (size_t i = 0; i < order.size(); ++i) {
    if (i == 0 || key_of(pending_[order[i]]) != key_of(pending_[order[i - 1]])) ++unique;
  }
  index.key_count_ = unique;
  index.slots_.assign(std::bit_ceil(std::max<size_t>(16, unique * 2)), RuleIndex::Slot{});
  index.postings_.reserve(order.size());
  index.keys_.reserve(pending_keys_.size());
  const size_t mask = index.slots_.size() - 1;

  for (size_t i = 0; i < order.size();) {
    const std::string_view key = key_of(pending_[order[i]]);
    RuleIndex::Slot slot;
    slot.key_offset = static_cast<uint32_t>(index.keys_.size());
    slot.key_length = static_cast<uint32_t>(key.size());
    slot.first = static_cast<uint32_t>(index.postings_.size());
    index.keys_.append(key);
    for (; i < order.size() && key_of(pending_[order[i]]) == key; ++i) {
      const Pending &p = pending_[order[i]];
      RuleIndex::Posting posting;
      posting.owner = p.owner;
      posting.action = p.action;
      posting.path_offset = static_cast<uint32_t>(index.keys_.size());
      posting.path_length = p.path_length;
      index.keys_.append(pending_keys_, p.path_offset, p.path_length);
      index.postings_.push_back(posting);
    }
    slot.count = static_cast<uint32_t>(index.postings_.size()) - slot.first;
    const uint64_t h = hash_key(key.front(), key.substr(1));
    slot.fingerprint = static_cast<uint32_t>(h >> 32);
    size_t at = h & mask;
    while (index.slots_[at].count != 0) at = (at + 1) & mask;
    index.slots_[at] = slot;
  }

  pending_.clear();
  pending_.shrink_to_fit();
  pending_keys_.clear();
  pending_keys_.shrink_to_fit();
  std::shared_ptr<const RuleIndex> done(std::move(index_));
  index_ = std::make_unique<RuleIndex>();
  return done;
}

}  // namespace pv::check
