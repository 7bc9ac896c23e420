#include "checkingservice/rule_index.h"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <new>
#include <utility>

namespace pv::check {
namespace {

// Exact keys are whole addresses, hashed eight bytes at a time.
uint64_t mix(uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdull;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ull;
  h ^= h >> 33;
  return h;
}

uint64_t hash_address(std::string_view text) {
  uint64_t h = 0x9E3779B97F4A7C15ull ^ text.size();
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
  return mix(h);
}

// Host keys are hashed from their last byte backwards, so that one pass over a host yields
// the hash of every parent domain on the way.
constexpr uint64_t kHostSeed = 0x2545F4914F6CDD1Dull;
inline uint64_t host_step(uint64_t state, char c) {
  return (state + static_cast<unsigned char>(c) + 1) * 0x9E3779B97F4A7C15ull;
}
inline uint64_t host_hash(uint64_t state, size_t length) { return mix(state ^ length); }

uint64_t hash_host(std::string_view text) {
  uint64_t state = kHostSeed;
  for (size_t i = text.size(); i-- > 0;) state = host_step(state, text[i]);
  return host_hash(state, text.size());
}

uint64_t hash_key(RuleKind kind, std::string_view key) {
  return kind == RuleKind::Exact ? hash_address(key) : hash_host(key);
}

uint16_t fingerprint_of(uint64_t h) {
  const auto f = static_cast<uint16_t>(h >> 48);
  return f ? f : 1;
}

uint32_t home_of(uint64_t h, uint32_t capacity) {
  return static_cast<uint32_t>((static_cast<uint64_t>(static_cast<uint32_t>(h)) * capacity) >> 32);
}

uint32_t read_varint(const unsigned char *&p) {
  uint32_t value = 0;
  for (unsigned shift = 0;; shift += 7) {
    const unsigned char byte = *p++;
    value |= static_cast<uint32_t>(byte & 0x7f) << shift;
    if (!(byte & 0x80)) return value;
  }
}

size_t put_varint(unsigned char *out, uint32_t value) {
  size_t n = 0;
  while (value >= 0x80) {
    out[n++] = static_cast<unsigned char>(value | 0x80);
    value >>= 7;
  }
  out[n++] = static_cast<unsigned char>(value);
  return n;
}

constexpr uint32_t kMaxOwner = uint32_t{1} << 29;

using ListActions = std::vector<std::pair<uint32_t, Action>>;  // sorted by list number

// The list's attachment among an account's, or end().
ListActions::const_iterator attached(const ListActions &lists, uint32_t list) {
  const auto it = std::lower_bound(
      lists.begin(), lists.end(), list,
      [](const std::pair<uint32_t, Action> &entry, uint32_t value) { return entry.first < value; });
  return it != lists.end() && it->first == list ? it : lists.end();
}

// Most specific first: exact, then prefix, host, domain; longer beats shorter within a kind.
// Equal matches: forbid wins, then the lower list number, so that the answer and its reason
// do not depend on the order rules are met in.
struct Best {
  bool found = false;
  int rank = 0;
  uint32_t length = 0;
  Action action = Action::Allow;
  RuleKind kind = RuleKind::Exact;
  uint32_t list = 0;

  void offer(int new_rank, uint32_t new_length, Action new_action, RuleKind new_kind,
             uint32_t new_list) {
    bool better = !found || new_rank > rank || (new_rank == rank && new_length > length);
    if (found && new_rank == rank && new_length == length) {
      better = new_action != action ? new_action == Action::Forbid : new_list < list;
    }
    if (better) {
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

RuleIndex::Block::Block(size_t size) : size_(size) {
  void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  data_ = static_cast<char *>(p);
}

RuleIndex::Block::Block(Block &&other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

RuleIndex::Block &RuleIndex::Block::operator=(Block &&other) noexcept {
  if (this != &other) {
    if (data_) munmap(data_, size_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

RuleIndex::Block::~Block() {
  if (data_) munmap(data_, size_);
}

struct RuleIndex::Record {
  RuleKind kind;
  std::string_view key;
  uint32_t owner;  // 0 global, slot << 1 account, list << 1 | 1 list; 0 in a list's segment
  Action action;   // forbid in a list's segment
  std::string_view path;  // prefix rules
  uint32_t size;          // bytes the record takes
};

RuleIndex::Record RuleIndex::Segment::record(uint32_t offset) const {
  const auto *p = reinterpret_cast<const unsigned char *>(data[offset >> kBlockBits]) +
                  (offset & (kBlockSize - 1));
  const unsigned char *start = p;
  Record r;
  const uint32_t head = read_varint(p);
  r.kind = static_cast<RuleKind>(head & 3);
  r.key = std::string_view(reinterpret_cast<const char *>(p), head >> 2);
  p += head >> 2;
  r.owner = 0;
  r.action = Action::Forbid;
  if (owners) {
    const uint32_t code = read_varint(p);
    r.owner = code >> 1;
    r.action = code & 1 ? Action::Forbid : Action::Allow;
  }
  if (r.kind == RuleKind::Prefix) {
    const uint32_t length = read_varint(p);
    r.path = std::string_view(reinterpret_cast<const char *>(p), length);
    p += length;
  }
  r.size = static_cast<uint32_t>(p - start);
  return r;
}

void RuleIndex::Segment::prefetch(uint64_t hash) const {
  const uint32_t at = home_of(hash, capacity);
  __builtin_prefetch(reinterpret_cast<const uint16_t *>(fingerprints.data()) + at);
  __builtin_prefetch(reinterpret_cast<const uint32_t *>(offsets.data()) + at);
}

template <class Visit>
void RuleIndex::Segment::probe(uint64_t hash, Visit &&visit) const {
  const auto *fps = reinterpret_cast<const uint16_t *>(fingerprints.data());
  const auto *offs = reinterpret_cast<const uint32_t *>(offsets.data());
  const uint16_t fingerprint = fingerprint_of(hash);
  for (uint32_t i = home_of(hash, capacity);;) {
    const uint16_t f = fps[i];
    if (f == 0) return;
    if (f == fingerprint) visit(record(offs[i]));
    if (++i == capacity) i = 0;
  }
}

void RuleIndex::Segment::build_table() {
  // A quarter of the slots stay free: misses then end after a few neighbouring fingerprints.
  capacity = static_cast<uint32_t>(std::max<size_t>(16, records + records / 3 + 1));
  fingerprints = Block(capacity * sizeof(uint16_t));
  offsets = Block(capacity * sizeof(uint32_t));
  auto *fps = reinterpret_cast<uint16_t *>(fingerprints.data());
  auto *offs = reinterpret_cast<uint32_t *>(offsets.data());
  keys = 0;

  // Records are placed in small batches whose table lines are fetched ahead.
  constexpr size_t kBatch = 16;
  uint32_t batch_offsets[kBatch];
  uint64_t batch_hashes[kBatch];
  Record batch_records[kBatch];
  size_t pending = 0;
  const auto place = [&] {
    for (size_t k = 0; k < pending; ++k) {
      const Record &r = batch_records[k];
      const uint16_t fingerprint = fingerprint_of(batch_hashes[k]);
      bool repeated = false;
      uint32_t i = home_of(batch_hashes[k], capacity);
      for (; fps[i] != 0; i = i + 1 == capacity ? 0 : i + 1) {
        if (!repeated && fps[i] == fingerprint) {
          const Record other = record(offs[i]);
          repeated = other.kind == r.kind && other.key == r.key;
        }
      }
      fps[i] = fingerprint;
      offs[i] = batch_offsets[k];
      if (!repeated) ++keys;
    }
    pending = 0;
  };
  for (uint32_t block = 0; block < used.size(); ++block) {
    for (uint32_t at = 0; at < used[block];) {
      if (pending == kBatch) place();
      const uint32_t offset = block << kBlockBits | at;
      const Record &r = batch_records[pending] = record(offset);
      at += r.size;
      batch_offsets[pending] = offset;
      batch_hashes[pending] = hash_key(r.kind, r.key);
      prefetch(batch_hashes[pending]);
      ++pending;
    }
  }
  place();
}

size_t RuleIndex::shared_blocks(const RuleIndex &other) const {
  const auto all_blocks = [](const RuleIndex &index) {
    std::vector<const Block *> blocks;
    for (const auto &block : index.shared_->blocks) blocks.push_back(block.get());
    for (const auto &list : index.lists_) {
      for (const auto &block : list.segment->blocks) blocks.push_back(block.get());
    }
    return blocks;
  };
  const auto ours = all_blocks(*this);
  const auto theirs = all_blocks(other);
  return static_cast<size_t>(std::count_if(ours.begin(), ours.end(), [&](const Block *block) {
    return std::find(theirs.begin(), theirs.end(), block) != theirs.end();
  }));
}

const RuleIndex::Account *RuleIndex::find_account(std::string_view name) const {
  const auto it = accounts_.find(name);
  return it == accounts_.end() ? nullptr : &it->second;
}

RuleIndex::Decision RuleIndex::decide(const Account &account, const AddressParts &address) const {
  Decision decision;
  if (!account.relocation.empty()) {
    decision.verdict = Verdict::Relocate;
    decision.layer = Layer::Relocation;
    return decision;
  }

  Best best[3];  // account, global, lists
  const auto offer_shared = [&](const Record &r, int rank, uint32_t length) {
    if (r.owner == 0) {
      best[1].offer(rank, length, r.action, r.kind, 0);
    } else if (r.owner & 1) {
      const uint32_t list = r.owner >> 1;
      if (const auto it = attached(account.lists, list); it != account.lists.end()) {
        best[2].offer(rank, length, it->second, r.kind, list);
      }
    } else if (r.owner >> 1 == account.slot) {
      best[0].offer(rank, length, r.action, r.kind, 0);
    }
  };

  const auto has = [&](RuleKind kind) { return has_kind_[static_cast<int>(kind)]; };
  const bool exact = has(RuleKind::Exact);
  const std::string_view host = address.host;
  const bool by_host =
      !host.empty() && (has(RuleKind::Prefix) || has(RuleKind::Host) || has(RuleKind::Domain));
  const bool parents = by_host && has(RuleKind::Domain) && !address.host_is_ip;

  // Visits the records of a segment that match a key of the host; offer takes the record,
  // its rank and its length.
  const auto match_host_key = [&](const Segment &segment, uint64_t hash, std::string_view key,
                                  bool whole, const auto &offer) {
    segment.probe(hash, [&](const Record &r) {
      if (r.key != key) return;
      switch (r.kind) {
        case RuleKind::Domain: offer(r, 1, static_cast<uint32_t>(key.size())); break;
        case RuleKind::Host:
          if (whole) offer(r, 2, 0);
          break;
        case RuleKind::Prefix:
          if (whole && address.path.starts_with(r.path)) {
            offer(r, 3, static_cast<uint32_t>(r.path.size()));
          }
          break;
        case RuleKind::Exact: break;
      }
    });
  };
  const auto offer_own = [&](const std::pair<uint32_t, Action> &own) {
    return [&best, list = lists_[own.first].list, action = own.second](
               const Record &r, int rank, uint32_t length) {
      best[2].offer(rank, length, action, r.kind, list);
    };
  };
  const auto prefetch_all = [&](uint64_t hash) {
    shared_->prefetch(hash);
    for (const auto &own : account.own_lists) lists_[own.first].segment->prefetch(hash);
  };

  // The hashes of every key this address can match are computed first and their table lines
  // fetched together, so that the cache misses overlap instead of queueing.
  constexpr size_t kBatch = 16;
  uint64_t hashes[kBatch];
  uint32_t starts[kBatch];  // where in the host the key starts
  size_t count = 0;
  uint64_t exact_hash = 0;
  if (exact) {
    exact_hash = hash_address(address.canonical);
    prefetch_all(exact_hash);
  }
  const auto probe_batch = [&] {
    for (size_t k = 0; k < count; ++k) {
      const std::string_view key = host.substr(starts[k]);
      const bool whole = starts[k] == 0;
      match_host_key(*shared_, hashes[k], key, whole, offer_shared);
      for (const auto &own : account.own_lists) {
        match_host_key(*lists_[own.first].segment, hashes[k], key, whole, offer_own(own));
      }
    }
    count = 0;
  };
  if (by_host) {
    uint64_t state = kHostSeed;
    for (size_t i = host.size(); i-- > 0;) {
      state = host_step(state, host[i]);
      if (i == 0 || (parents && host[i - 1] == '.')) {
        if (count == kBatch) probe_batch();
        hashes[count] = host_hash(state, host.size() - i);
        starts[count] = static_cast<uint32_t>(i);
        prefetch_all(hashes[count]);
        ++count;
      }
    }
  }
  if (exact) {
    const auto match_exact = [&](const Segment &segment, const auto &offer) {
      segment.probe(exact_hash, [&](const Record &r) {
        if (r.kind == RuleKind::Exact && r.key == address.canonical) offer(r, 4, 0);
      });
    };
    match_exact(*shared_, offer_shared);
    for (const auto &own : account.own_lists) {
      match_exact(*lists_[own.first].segment, offer_own(own));
    }
  }
  probe_batch();

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

IndexBuilder::IndexBuilder(std::shared_ptr<const RuleIndex> previous, size_t own_segment_from)
    : index_(std::make_unique<RuleIndex>()),
      previous_(std::move(previous)),
      own_segment_from_(std::max<size_t>(1, own_segment_from)) {}
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

// The record of a rule or list entry into record_; false when it cannot be indexed.
bool IndexBuilder::encode(RuleKind kind, std::string_view key, bool with_owner, uint32_t owner,
                          Action action) {
  std::string_view lookup_key = key;
  std::string_view path;
  if (kind == RuleKind::Prefix) {
    const size_t slash = key.find('/');
    lookup_key = key.substr(0, slash);
    path = slash == std::string_view::npos ? std::string_view("/") : key.substr(slash);
  }
  // Records never straddle blocks. Larger than a block is far beyond anything a request can
  // carry, so such a rule could never match anyway.
  if (key.size() + 16 > RuleIndex::kBlockSize || owner >= kMaxOwner) return false;
  // Written in place: this runs for every rule of every rebuild.
  if (record_.size() < key.size() + 16) record_.resize(key.size() + 16);
  auto *out = reinterpret_cast<unsigned char *>(record_.data());
  size_t n = put_varint(out, static_cast<uint32_t>(lookup_key.size()) << 2 |
                                 static_cast<uint32_t>(kind));
  if (!lookup_key.empty()) std::memcpy(out + n, lookup_key.data(), lookup_key.size());
  n += lookup_key.size();
  if (with_owner) n += put_varint(out + n, owner << 1 | (action == Action::Forbid ? 1 : 0));
  if (kind == RuleKind::Prefix) {
    n += put_varint(out + n, static_cast<uint32_t>(path.size()));
    if (!path.empty()) std::memcpy(out + n, path.data(), path.size());
    n += path.size();
  }
  record_size_ = n;
  return true;
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
    owner = it->second << 1;
  }
  if (!encode(kind, key, true, owner, action)) {
    ++dropped_;
    return;
  }
  add(rules_, kind);
}

IndexBuilder::Run *IndexBuilder::list_run(int64_t list_id) {
  // Entries come list by list, so the last list asked for is nearly always the one.
  if (last_list_run_ && last_list_id_ == list_id) return last_list_run_;
  const auto number = list_numbers_.find(list_id);
  if (number == list_numbers_.end()) return nullptr;
  auto [it, created] = lists_.try_emplace(list_id);
  Run &run = it->second;
  if (created) {
    run.segment->owners = false;
    run.list = number->second;
    if (previous_) {
      for (const auto &old : previous_->lists_) {
        if (old.list_id == list_id) run.previous = old.segment;
      }
    }
  }
  last_list_id_ = list_id;
  last_list_run_ = &run;
  return &run;
}

void IndexBuilder::list_entry(int64_t list_id, RuleKind kind, std::string_view key) {
  Run *run = list_run(list_id);
  if (!run || !encode(kind, key, false, 0, Action::Forbid)) {
    ++dropped_;
    return;
  }
  add(*run, kind);
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

// Adds record_ to the run.
void IndexBuilder::add(Run &run, RuleKind kind) {
  const std::string_view bytes(record_.data(), record_size_);
  if (run.previous && still_matching(run, bytes)) {
    ++run.segment->records;
    run.segment->has_kind[static_cast<int>(kind)] = true;
    return;
  }
  if (run.previous) diverge(run);
  if (!run.open || run.open_used + bytes.size() > RuleIndex::kBlockSize) {
    if (run.open) seal(run);
    if (run.segment->blocks.size() >= RuleIndex::kMaxBlocks) {
      ++dropped_;
      return;
    }
    run.open = std::make_shared<RuleIndex::Block>(RuleIndex::kBlockSize);
  }
  append(run, bytes);
  ++run.segment->records;
  run.segment->has_kind[static_cast<int>(kind)] = true;
}

void IndexBuilder::append(Run &run, std::string_view bytes) {
  std::memcpy(run.open->data() + run.open_used, bytes.data(), bytes.size());
  run.open_used += static_cast<uint32_t>(bytes.size());
}

// Whether the record is the previous segment's next one; if so, it is passed over.
bool IndexBuilder::still_matching(Run &run, std::string_view bytes) {
  const Segment &old = *run.previous;
  while (run.match_block < old.used.size() && run.match_at == old.used[run.match_block]) {
    ++run.match_block;
    run.match_at = 0;
  }
  if (run.match_block == old.used.size() ||
      bytes.size() > old.used[run.match_block] - run.match_at ||
      std::memcmp(old.data[run.match_block] + run.match_at, bytes.data(), bytes.size()) != 0) {
    return false;
  }
  run.match_at += static_cast<uint32_t>(bytes.size());
  return true;
}

// The list differs from the previous segment from here on: the blocks before keep being
// shared, the records already passed over in the current one are copied.
void IndexBuilder::diverge(Run &run) {
  const Segment &old = *run.previous;
  Segment &segment = *run.segment;
  while (run.match_block < old.used.size() && run.match_at == old.used[run.match_block]) {
    ++run.match_block;
    run.match_at = 0;
  }
  for (uint32_t b = 0; b < run.match_block; ++b) {
    segment.blocks.push_back(old.blocks[b]);
    segment.data.push_back(old.data[b]);
    segment.used.push_back(old.used[b]);
  }
  if (run.match_at > 0) {
    run.open = std::make_shared<RuleIndex::Block>(RuleIndex::kBlockSize);
    std::memcpy(run.open->data(), old.data[run.match_block], run.match_at);
    run.open_used = run.match_at;
  }
  run.previous.reset();
}

void IndexBuilder::seal(Run &run) {
  Segment &segment = *run.segment;
  segment.data.push_back(run.open->data());
  segment.used.push_back(run.open_used);
  segment.blocks.push_back(std::move(run.open));
  run.open_used = 0;
}

std::shared_ptr<const RuleIndex> IndexBuilder::finish(uint64_t generation) {
  RuleIndex &index = *index_;
  index.generation_ = generation;
  taken_over_ = 0;

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
      if (attached(account.lists, global.first) == account.lists.end()) {
        account.lists.insert(std::lower_bound(account.lists.begin(), account.lists.end(), global),
                             global);
      }
    }
  }

  // Large lists keep (or get) segments of their own; the records of the others join the
  // rules, with their owner added.
  std::vector<std::pair<int64_t, Run *>> lists;
  for (auto &[id, run] : lists_) lists.emplace_back(id, &run);
  std::sort(lists.begin(), lists.end(),
            [](const auto &a, const auto &b) { return a.second->list < b.second->list; });
  for (auto &[id, run] : lists) {
    std::shared_ptr<const Segment> own;
    if (run->previous) {
      // Came out the same up to here: the whole of it, or a part.
      const Segment &old = *run->previous;
      if (run->segment->records == old.records) {
        own = run->previous;
        ++taken_over_;
      } else {
        diverge(*run);
      }
    }
    if (!own) {
      if (run->open) seal(*run);
      if (run->segment->records >= own_segment_from_) {
        run->segment->build_table();
        own = run->segment;
      } else {
        Segment small = std::move(*run->segment);
        run->segment.reset();
        const uint32_t owner = run->list << 1 | 1;
        for (size_t i = 0; i < small.used.size(); ++i) {
          for (uint32_t at = 0; at < small.used[i];) {
            const RuleIndex::Record r =
                small.record(static_cast<uint32_t>(i) << RuleIndex::kBlockBits | at);
            at += r.size;
            std::string key(r.key);
            if (r.kind == RuleKind::Prefix) key += r.path;
            if (encode(r.kind, key, true, owner, Action::Forbid)) add(rules_, r.kind);
          }
        }
        continue;
      }
    }
    index.lists_.push_back({own, id, run->list});
  }
  if (rules_.open) seal(rules_);
  rules_.segment->build_table();
  index.shared_ = rules_.segment;
  for (auto &[name, account] : index.accounts_) {
    for (uint32_t at = 0; at < index.lists_.size(); ++at) {
      if (const auto it = attached(account.lists, index.lists_[at].list);
          it != account.lists.end()) {
        account.own_lists.emplace_back(at, it->second);
      }
    }
  }

  const auto count_in = [&](const Segment &segment) {
    index.rule_count_ += segment.records;
    index.key_count_ += segment.keys;
    for (int k = 0; k < 4; ++k) index.has_kind_[k] = index.has_kind_[k] || segment.has_kind[k];
  };
  count_in(*index.shared_);
  for (const auto &list : index.lists_) count_in(*list.segment);

  previous_.reset();
  lists_.clear();
  last_list_run_ = nullptr;
  rules_ = Run();
  std::shared_ptr<const RuleIndex> done(std::move(index_));
  index_ = std::make_unique<RuleIndex>();
  return done;
}

}  // namespace pv::check
