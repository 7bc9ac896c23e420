#include "checkingservice/index/rule_index.h"

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
uint64_t Mix(uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ull;
    h ^= h >> 33;
    return h;
}

uint64_t HashAddress(std::string_view text) {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ text.size();
    const char* p = text.data();
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
    return Mix(h);
}

// Host keys are hashed from their last byte backwards, so that one pass over a host yields
// the hash of every parent domain on the way.
constexpr uint64_t kHostSeed = 0x2545F4914F6CDD1Dull;
inline uint64_t HostStep(uint64_t state, char c) {
    return (state + static_cast<unsigned char>(c) + 1) * 0x9E3779B97F4A7C15ull;
}
inline uint64_t HostHash(uint64_t state, size_t length) { return Mix(state ^ length); }

uint64_t HashHost(std::string_view text) {
    uint64_t state = kHostSeed;
    for (size_t i = text.size(); i-- > 0;) state = HostStep(state, text[i]);
    return HostHash(state, text.size());
}

uint64_t HashKey(RuleKind kind, std::string_view key) {
    return kind == RuleKind::Exact ? HashAddress(key) : HashHost(key);
}

uint16_t FingerprintOf(uint64_t h) {
    const auto f = static_cast<uint16_t>(h >> 48);
    return f ? f : 1;
}

uint32_t HomeOf(uint64_t h, uint32_t capacity) {
    return static_cast<uint32_t>((static_cast<uint64_t>(static_cast<uint32_t>(h)) * capacity) >> 32);
}

uint32_t ReadVarint(const unsigned char*& p) {
    uint32_t value = 0;
    for (unsigned shift = 0;; shift += 7) {
        const unsigned char byte = *p++;
        value |= static_cast<uint32_t>(byte & 0x7f) << shift;
        if (!(byte & 0x80)) return value;
    }
}

size_t PutVarint(unsigned char* out, uint32_t value) {
    size_t n = 0;
    while (value >= 0x80) {
        out[n++] = static_cast<unsigned char>(value | 0x80);
        value >>= 7;
    }
    out[n++] = static_cast<unsigned char>(value);
    return n;
}

constexpr uint32_t kMaxOwner = uint32_t{1} << 29;

using ListActions = std::vector<std::pair<uint32_t, Action>>; // sorted by list number

// The list's attachment among an account's, or end().
ListActions::const_iterator Attached(const ListActions& lists, uint32_t list) {
    const auto it = std::lower_bound(
        lists.begin(), lists.end(), list,
        [](const std::pair<uint32_t, Action>& entry, uint32_t value) { return entry.first < value; });
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

    void Offer(int newRank, uint32_t newLength, Action newAction, RuleKind newKind, uint32_t newList) {
        bool better = !found || newRank > rank || (newRank == rank && newLength > length);
        if (found && newRank == rank && newLength == length) {
            better = newAction != action ? newAction == Action::Forbid : newList < list;
        }
        if (better) {
            found = true;
            rank = newRank;
            length = newLength;
            action = newAction;
            kind = newKind;
            list = newList;
        }
    }
};

} // namespace

RuleIndex::Block::Block(size_t size) : m_size(size) {
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    m_data = static_cast<char*>(p);
}

RuleIndex::Block::Block(Block&& other) noexcept
    : m_data(std::exchange(other.m_data, nullptr)), m_size(std::exchange(other.m_size, 0)) {}

RuleIndex::Block& RuleIndex::Block::operator=(Block&& other) noexcept {
    if (this != &other) {
        if (m_data) munmap(m_data, m_size);
        m_data = std::exchange(other.m_data, nullptr);
        m_size = std::exchange(other.m_size, 0);
    }
    return *this;
}

RuleIndex::Block::~Block() {
    if (m_data) munmap(m_data, m_size);
}

struct RuleIndex::Record {
    RuleKind kind;
    std::string_view key;
    uint32_t owner;        // 0 global, slot << 1 account, list << 1 | 1 list; 0 in a list's segment
    Action action;         // forbid in a list's segment
    std::string_view path; // prefix rules
    uint32_t size;         // bytes the record takes
};

RuleIndex::Record RuleIndex::Segment::RecordAt(uint32_t offset) const {
    const auto* p =
        reinterpret_cast<const unsigned char*>(data[offset >> kBlockBits]) + (offset & (kBlockSize - 1));
    const unsigned char* start = p;
    Record r;
    const uint32_t head = ReadVarint(p);
    r.kind = static_cast<RuleKind>(head & 3);
    r.key = std::string_view(reinterpret_cast<const char*>(p), head >> 2);
    p += head >> 2;
    r.owner = 0;
    r.action = Action::Forbid;
    if (owners) {
        const uint32_t code = ReadVarint(p);
        r.owner = code >> 1;
        r.action = code & 1 ? Action::Forbid : Action::Allow;
    }
    if (r.kind == RuleKind::Prefix) {
        const uint32_t length = ReadVarint(p);
        r.path = std::string_view(reinterpret_cast<const char*>(p), length);
        p += length;
    }
    r.size = static_cast<uint32_t>(p - start);
    return r;
}

void RuleIndex::Segment::Prefetch(uint64_t hash) const {
    const uint32_t at = HomeOf(hash, capacity);
    __builtin_prefetch(reinterpret_cast<const uint16_t*>(fingerprints.data()) + at);
    __builtin_prefetch(reinterpret_cast<const uint32_t*>(offsets.data()) + at);
}

template <class Visit>
void RuleIndex::Segment::Probe(uint64_t hash, Visit&& visit) const {
    const auto* fps = reinterpret_cast<const uint16_t*>(fingerprints.data());
    const auto* offs = reinterpret_cast<const uint32_t*>(offsets.data());
    const uint16_t fingerprint = FingerprintOf(hash);
    for (uint32_t i = HomeOf(hash, capacity);;) {
        const uint16_t f = fps[i];
        if (f == 0) return;
        if (f == fingerprint) visit(RecordAt(offs[i]));
        if (++i == capacity) i = 0;
    }
}

void RuleIndex::Segment::BuildTable() {
    // A quarter of the slots stay free: misses then end after a few neighbouring fingerprints.
    capacity = static_cast<uint32_t>(std::max<size_t>(16, records + records / 3 + 1));
    fingerprints = Block(capacity * sizeof(uint16_t));
    offsets = Block(capacity * sizeof(uint32_t));
    auto* fps = reinterpret_cast<uint16_t*>(fingerprints.data());
    auto* offs = reinterpret_cast<uint32_t*>(offsets.data());
    keys = 0;

    // Records are placed in small batches whose table lines are fetched ahead.
    constexpr size_t kBatch = 16;
    uint32_t batchOffsets[kBatch];
    uint64_t batchHashes[kBatch];
    Record batchRecords[kBatch];
    size_t pending = 0;
    const auto place = [&] {
        for (size_t k = 0; k < pending; ++k) {
            const Record& r = batchRecords[k];
            const uint16_t fingerprint = FingerprintOf(batchHashes[k]);
            bool repeated = false;
            uint32_t i = HomeOf(batchHashes[k], capacity);
            for (; fps[i] != 0; i = i + 1 == capacity ? 0 : i + 1) {
                if (!repeated && fps[i] == fingerprint) {
                    const Record other = RecordAt(offs[i]);
                    repeated = other.kind == r.kind && other.key == r.key;
                }
            }
            fps[i] = fingerprint;
            offs[i] = batchOffsets[k];
            if (!repeated) ++keys;
        }
        pending = 0;
    };
    for (uint32_t block = 0; block < used.size(); ++block) {
        for (uint32_t at = 0; at < used[block];) {
            if (pending == kBatch) place();
            const uint32_t offset = block << kBlockBits | at;
            const Record& r = batchRecords[pending] = RecordAt(offset);
            at += r.size;
            batchOffsets[pending] = offset;
            batchHashes[pending] = HashKey(r.kind, r.key);
            Prefetch(batchHashes[pending]);
            ++pending;
        }
    }
    place();
}

size_t RuleIndex::SharedBlocks(const RuleIndex& other) const {
    const auto allBlocks = [](const RuleIndex& index) {
        std::vector<const Block*> blocks;
        for (const auto& block : index.m_shared->blocks) blocks.push_back(block.get());
        for (const auto& list : index.m_lists) {
            for (const auto& block : list.segment->blocks) blocks.push_back(block.get());
        }
        return blocks;
    };
    const auto ours = allBlocks(*this);
    const auto theirs = allBlocks(other);
    return static_cast<size_t>(std::count_if(ours.begin(), ours.end(), [&](const Block* block) {
        return std::find(theirs.begin(), theirs.end(), block) != theirs.end();
    }));
}

const RuleIndex::Account* RuleIndex::FindAccount(std::string_view name) const {
    const auto it = m_accounts.find(name);
    return it == m_accounts.end() ? nullptr : &it->second;
}

RuleIndex::Decision RuleIndex::Decide(const Account& account, const AddressParts& address) const {
    Decision decision;
    if (!account.relocation.empty()) {
        decision.verdict = Verdict::Relocate;
        decision.layer = Layer::Relocation;
        return decision;
    }

    Best best[3]; // account, global, lists
    const auto offerShared = [&](const Record& r, int rank, uint32_t length) {
        if (r.owner == 0) {
            best[1].Offer(rank, length, r.action, r.kind, 0);
        } else if (r.owner & 1) {
            const uint32_t list = r.owner >> 1;
            if (const auto it = Attached(account.lists, list); it != account.lists.end()) {
                best[2].Offer(rank, length, it->second, r.kind, list);
            }
        } else if (r.owner >> 1 == account.slot) {
            best[0].Offer(rank, length, r.action, r.kind, 0);
        }
    };

    const auto has = [&](RuleKind kind) { return m_hasKind[static_cast<int>(kind)]; };
    const bool exact = has(RuleKind::Exact);
    const std::string_view host = address.host;
    const bool byHost =
        !host.empty() && (has(RuleKind::Prefix) || has(RuleKind::Host) || has(RuleKind::Domain));
    const bool parents = byHost && has(RuleKind::Domain) && !address.hostIsIp;

    // Visits the records of a segment that match a key of the host; offer takes the record,
    // its rank and its length.
    const auto matchHostKey = [&](const Segment& segment, uint64_t hash, std::string_view key, bool whole,
                                  const auto& offer) {
        segment.Probe(hash, [&](const Record& r) {
            if (r.key != key) return;
            switch (r.kind) {
            case RuleKind::Domain:
                offer(r, 1, static_cast<uint32_t>(key.size()));
                break;
            case RuleKind::Host:
                if (whole) offer(r, 2, 0);
                break;
            case RuleKind::Prefix:
                if (whole && address.path.starts_with(r.path)) {
                    offer(r, 3, static_cast<uint32_t>(r.path.size()));
                }
                break;
            case RuleKind::Exact:
                break;
            }
        });
    };
    const auto offerOwn = [&](const std::pair<uint32_t, Action>& own) {
        return [&best, list = m_lists[own.first].list, action = own.second](const Record& r, int rank,
                                                                            uint32_t length) {
            best[2].Offer(rank, length, action, r.kind, list);
        };
    };
    const auto prefetchAll = [&](uint64_t hash) {
        m_shared->Prefetch(hash);
        for (const auto& own : account.ownLists) m_lists[own.first].segment->Prefetch(hash);
    };

    // The hashes of every key this address can match are computed first and their table lines
    // fetched together, so that the cache misses overlap instead of queueing.
    constexpr size_t kBatch = 16;
    uint64_t hashes[kBatch];
    uint32_t starts[kBatch]; // where in the host the key starts
    size_t count = 0;
    uint64_t exactHash = 0;
    if (exact) {
        exactHash = HashAddress(address.canonical);
        prefetchAll(exactHash);
    }
    const auto probeBatch = [&] {
        for (size_t k = 0; k < count; ++k) {
            const std::string_view key = host.substr(starts[k]);
            const bool whole = starts[k] == 0;
            matchHostKey(*m_shared, hashes[k], key, whole, offerShared);
            for (const auto& own : account.ownLists) {
                matchHostKey(*m_lists[own.first].segment, hashes[k], key, whole, offerOwn(own));
            }
        }
        count = 0;
    };
    if (byHost) {
        uint64_t state = kHostSeed;
        for (size_t i = host.size(); i-- > 0;) {
            state = HostStep(state, host[i]);
            if (i == 0 || (parents && host[i - 1] == '.')) {
                if (count == kBatch) probeBatch();
                hashes[count] = HostHash(state, host.size() - i);
                starts[count] = static_cast<uint32_t>(i);
                prefetchAll(hashes[count]);
                ++count;
            }
        }
    }
    if (exact) {
        const auto matchExact = [&](const Segment& segment, const auto& offer) {
            segment.Probe(exactHash, [&](const Record& r) {
                if (r.kind == RuleKind::Exact && r.key == address.canonical) offer(r, 4, 0);
            });
        };
        matchExact(*m_shared, offerShared);
        for (const auto& own : account.ownLists) {
            matchExact(*m_lists[own.first].segment, offerOwn(own));
        }
    }
    probeBatch();

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

std::string RuleIndex::Describe(const Decision& decision) const {
    switch (decision.layer) {
    case Layer::Relocation:
        return "relocated";
    case Layer::Account:
        return "account " + std::string(KindName(decision.kind));
    case Layer::Global:
        return "global " + std::string(KindName(decision.kind));
    case Layer::List: {
        std::string text = "list ";
        text += decision.list < m_listNames.size() ? m_listNames[decision.list] : "?";
        text += ' ';
        text += KindName(decision.kind);
        return text;
    }
    case Layer::Default:
        return "default";
    }
    return "?";
}

IndexBuilder::IndexBuilder(std::shared_ptr<const RuleIndex> previous, size_t ownSegmentFrom)
    : m_index(std::make_unique<RuleIndex>()), m_previous(std::move(previous)),
      m_ownSegmentFrom(std::max<size_t>(1, ownSegmentFrom)) {}
IndexBuilder::~IndexBuilder() = default;

void IndexBuilder::Setting(std::string_view key, std::string_view value) {
    if (key == "log_keep") {
        uint64_t keep = 0;
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), keep);
        if (ec == std::errc() && end == value.data() + value.size()) m_index->m_logKeep = keep;
    }
}

void IndexBuilder::Account(const AccountRecord& record) {
    if (m_index->m_accounts.contains(record.name)) {
        ++m_dropped;
        return;
    }
    RuleIndex::Account account;
    account.slot = static_cast<uint32_t>(m_index->m_accounts.size() + 1);
    account.name = record.name;
    account.passwordHash = record.passwordHash;
    account.policy = record.policy;
    account.relocation = record.relocation;
    m_accountSlots[record.id] = account.slot;
    m_accountNames[record.id] = record.name;
    m_index->m_accounts.emplace(record.name, std::move(account));
}

void IndexBuilder::List(int64_t id, std::string_view name) {
    m_listNumbers[id] = static_cast<uint32_t>(m_index->m_listNames.size());
    m_index->m_listNames.emplace_back(name);
}

// The record of a rule or list entry into m_record; false when it cannot be indexed.
bool IndexBuilder::Encode(RuleKind kind, std::string_view key, bool withOwner, uint32_t owner,
                          Action action) {
    std::string_view lookupKey = key;
    std::string_view path;
    if (kind == RuleKind::Prefix) {
        const size_t slash = key.find('/');
        lookupKey = key.substr(0, slash);
        path = slash == std::string_view::npos ? std::string_view("/") : key.substr(slash);
    }
    // Records never straddle blocks. Larger than a block is far beyond anything a request can
    // carry, so such a rule could never match anyway.
    if (key.size() + 16 > RuleIndex::kBlockSize || owner >= kMaxOwner) return false;
    // Written in place: this runs for every rule of every rebuild.
    if (m_record.size() < key.size() + 16) m_record.resize(key.size() + 16);
    auto* out = reinterpret_cast<unsigned char*>(m_record.data());
    size_t n = PutVarint(out, static_cast<uint32_t>(lookupKey.size()) << 2 | static_cast<uint32_t>(kind));
    if (!lookupKey.empty()) std::memcpy(out + n, lookupKey.data(), lookupKey.size());
    n += lookupKey.size();
    if (withOwner) n += PutVarint(out + n, owner << 1 | (action == Action::Forbid ? 1 : 0));
    if (kind == RuleKind::Prefix) {
        n += PutVarint(out + n, static_cast<uint32_t>(path.size()));
        if (!path.empty()) std::memcpy(out + n, path.data(), path.size());
        n += path.size();
    }
    m_recordSize = n;
    return true;
}

void IndexBuilder::Rule(std::optional<int64_t> accountId, RuleKind kind, std::string_view key,
                        Action action) {
    uint32_t owner = 0;
    if (accountId) {
        const auto it = m_accountSlots.find(*accountId);
        if (it == m_accountSlots.end()) {
            ++m_dropped;
            return;
        }
        owner = it->second << 1;
    }
    if (!Encode(kind, key, true, owner, action)) {
        ++m_dropped;
        return;
    }
    Add(m_rules, kind);
}

IndexBuilder::Run* IndexBuilder::ListRun(int64_t listId) {
    // Entries come list by list, so the last list asked for is nearly always the one.
    if (m_lastListRun && m_lastListId == listId) return m_lastListRun;
    const auto number = m_listNumbers.find(listId);
    if (number == m_listNumbers.end()) return nullptr;
    auto [it, created] = m_lists.try_emplace(listId);
    Run& run = it->second;
    if (created) {
        run.segment->owners = false;
        run.list = number->second;
        if (m_previous) {
            for (const auto& old : m_previous->m_lists) {
                if (old.listId == listId) run.previous = old.segment;
            }
        }
    }
    m_lastListId = listId;
    m_lastListRun = &run;
    return &run;
}

void IndexBuilder::ListEntry(int64_t listId, RuleKind kind, std::string_view key) {
    Run* run = ListRun(listId);
    if (!run || !Encode(kind, key, false, 0, Action::Forbid)) {
        ++m_dropped;
        return;
    }
    Add(*run, kind);
}

void IndexBuilder::Attachment(std::optional<int64_t> accountId, int64_t listId, Action action) {
    const auto list = m_listNumbers.find(listId);
    if (list == m_listNumbers.end()) {
        ++m_dropped;
        return;
    }
    if (!accountId) {
        m_globalLists.emplace_back(list->second, action);
        return;
    }
    const auto name = m_accountNames.find(*accountId);
    if (name == m_accountNames.end()) {
        ++m_dropped;
        return;
    }
    m_index->m_accounts.at(name->second).lists.emplace_back(list->second, action);
}

// Adds m_record to the run.
void IndexBuilder::Add(Run& run, RuleKind kind) {
    const std::string_view bytes(m_record.data(), m_recordSize);
    if (run.previous && StillMatching(run, bytes)) {
        ++run.segment->records;
        run.segment->hasKind[static_cast<int>(kind)] = true;
        return;
    }
    if (run.previous) Diverge(run);
    if (!run.open || run.openUsed + bytes.size() > RuleIndex::kBlockSize) {
        if (run.open) Seal(run);
        if (run.segment->blocks.size() >= RuleIndex::kMaxBlocks) {
            ++m_dropped;
            return;
        }
        run.open = std::make_shared<RuleIndex::Block>(RuleIndex::kBlockSize);
    }
    Append(run, bytes);
    ++run.segment->records;
    run.segment->hasKind[static_cast<int>(kind)] = true;
}

void IndexBuilder::Append(Run& run, std::string_view bytes) {
    std::memcpy(run.open->data() + run.openUsed, bytes.data(), bytes.size());
    run.openUsed += static_cast<uint32_t>(bytes.size());
}

// Whether the record is the previous segment's next one; if so, it is passed over.
bool IndexBuilder::StillMatching(Run& run, std::string_view bytes) {
    const Segment& old = *run.previous;
    while (run.matchBlock < old.used.size() && run.matchAt == old.used[run.matchBlock]) {
        ++run.matchBlock;
        run.matchAt = 0;
    }
    if (run.matchBlock == old.used.size() || bytes.size() > old.used[run.matchBlock] - run.matchAt ||
        std::memcmp(old.data[run.matchBlock] + run.matchAt, bytes.data(), bytes.size()) != 0) {
        return false;
    }
    run.matchAt += static_cast<uint32_t>(bytes.size());
    return true;
}

// The list differs from the previous segment from here on: the blocks before keep being
// shared, the records already passed over in the current one are copied.
void IndexBuilder::Diverge(Run& run) {
    const Segment& old = *run.previous;
    Segment& segment = *run.segment;
    while (run.matchBlock < old.used.size() && run.matchAt == old.used[run.matchBlock]) {
        ++run.matchBlock;
        run.matchAt = 0;
    }
    for (uint32_t b = 0; b < run.matchBlock; ++b) {
        segment.blocks.push_back(old.blocks[b]);
        segment.data.push_back(old.data[b]);
        segment.used.push_back(old.used[b]);
    }
    if (run.matchAt > 0) {
        run.open = std::make_shared<RuleIndex::Block>(RuleIndex::kBlockSize);
        std::memcpy(run.open->data(), old.data[run.matchBlock], run.matchAt);
        run.openUsed = run.matchAt;
    }
    run.previous.reset();
}

void IndexBuilder::Seal(Run& run) {
    Segment& segment = *run.segment;
    segment.data.push_back(run.open->data());
    segment.used.push_back(run.openUsed);
    segment.blocks.push_back(std::move(run.open));
    run.openUsed = 0;
}

std::shared_ptr<const RuleIndex> IndexBuilder::Finish(uint64_t generation) {
    RuleIndex& index = *m_index;
    index.m_generation = generation;
    m_takenOver = 0;

    // The stranger profile always exists, even in a store that lost its row.
    if (!index.m_accounts.contains(kStrangerAccount)) {
        RuleIndex::Account stranger;
        stranger.slot = static_cast<uint32_t>(index.m_accounts.size() + 1);
        stranger.name = kStrangerAccount;
        index.m_accounts.emplace(stranger.name, std::move(stranger));
    }
    index.m_stranger = index.FindAccount(kStrangerAccount);

    for (auto& [name, account] : index.m_accounts) {
        std::stable_sort(account.lists.begin(), account.lists.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        for (const auto& global : m_globalLists) {
            if (Attached(account.lists, global.first) == account.lists.end()) {
                account.lists.insert(std::lower_bound(account.lists.begin(), account.lists.end(), global),
                                     global);
            }
        }
    }

    // Large lists keep (or get) segments of their own; the records of the others join the
    // rules, with their owner added.
    std::vector<std::pair<int64_t, Run*>> lists;
    for (auto& [id, run] : m_lists) lists.emplace_back(id, &run);
    std::sort(lists.begin(), lists.end(),
              [](const auto& a, const auto& b) { return a.second->list < b.second->list; });
    for (auto& [id, run] : lists) {
        std::shared_ptr<const Segment> own;
        if (run->previous) {
            // Came out the same up to here: the whole of it, or a part.
            const Segment& old = *run->previous;
            if (run->segment->records == old.records) {
                own = run->previous;
                ++m_takenOver;
            } else {
                Diverge(*run);
            }
        }
        if (!own) {
            if (run->open) Seal(*run);
            if (run->segment->records >= m_ownSegmentFrom) {
                run->segment->BuildTable();
                own = run->segment;
            } else {
                Segment small = std::move(*run->segment);
                run->segment.reset();
                const uint32_t owner = run->list << 1 | 1;
                for (size_t i = 0; i < small.used.size(); ++i) {
                    for (uint32_t at = 0; at < small.used[i];) {
                        const RuleIndex::Record r =
                            small.RecordAt(static_cast<uint32_t>(i) << RuleIndex::kBlockBits | at);
                        at += r.size;
                        std::string key(r.key);
                        if (r.kind == RuleKind::Prefix) key += r.path;
                        if (Encode(r.kind, key, true, owner, Action::Forbid)) Add(m_rules, r.kind);
                    }
                }
                continue;
            }
        }
        index.m_lists.push_back({own, id, run->list});
    }
    if (m_rules.open) Seal(m_rules);
    m_rules.segment->BuildTable();
    index.m_shared = m_rules.segment;
    for (auto& [name, account] : index.m_accounts) {
        for (uint32_t at = 0; at < index.m_lists.size(); ++at) {
            if (const auto it = Attached(account.lists, index.m_lists[at].list); it != account.lists.end()) {
                account.ownLists.emplace_back(at, it->second);
            }
        }
    }

    const auto countIn = [&](const Segment& segment) {
        index.m_ruleCount += segment.records;
        index.m_keyCount += segment.keys;
        for (int k = 0; k < 4; ++k) index.m_hasKind[k] = index.m_hasKind[k] || segment.hasKind[k];
    };
    countIn(*index.m_shared);
    for (const auto& list : index.m_lists) countIn(*list.segment);

    m_previous.reset();
    m_lists.clear();
    m_lastListRun = nullptr;
    m_rules = Run();
    std::shared_ptr<const RuleIndex> done(std::move(m_index));
    m_index = std::make_unique<RuleIndex>();
    return done;
}

} // namespace pv::check
