#include "checkingservice/checking/check_service.h"

#include <algorithm>
#include <chrono>

#include "checkingservice/base/events.h"
#include "checkingservice/rules/query.h"

namespace pv::check {
namespace {

Reply Malformed(int status, std::string_view what, std::string_view peer) {
    LogEvent("malformed request from " + Printable(peer, 64) + ": " + std::string(what));
    return {status, "000"};
}

bool HostFits(std::string_view host) {
    return host.size() <= kMaxHostBytes &&
           static_cast<size_t>(std::count(host.begin(), host.end(), '.')) < kMaxHostLabels;
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

CheckService::CheckService(ServiceOptions options)
    : m_options(std::move(options)), m_credentials(m_options.verifyPerSecond, m_options.verifyBurst) {
    IndexBuilder empty;
    Publish(empty.Finish(0));
}

void CheckService::Publish(std::shared_ptr<const RuleIndex> index) {
    std::lock_guard lock(m_indexMutex);
    m_index = std::move(index);
    m_indexVersion.fetch_add(1, std::memory_order_release);
}

std::shared_ptr<const RuleIndex> CheckService::Index() const {
    std::lock_guard lock(m_indexMutex);
    return m_index;
}

CheckService::Context& CheckService::NewContext(bool gated) {
    std::lock_guard lock(m_contextsMutex);
    m_contexts.push_back(std::make_unique<Context>(gated));
    return *m_contexts.back();
}

const RuleIndex& CheckService::Current(Context& context) {
    if (const uint64_t version = m_indexVersion.load(std::memory_order_acquire);
        version != context.m_version) {
        std::lock_guard lock(m_indexMutex);
        context.m_index = m_index;
        context.m_version = m_indexVersion.load(std::memory_order_relaxed);
    }
    return *context.m_index;
}

namespace {

// The hash a name's password is checked against: an account's own, or none (empty) for a
// name that cannot log in, which the checker then compares with a decoy of the same cost.
const std::string& HashOf(const RuleIndex& index, const RuleIndex::Account* named) {
    static const std::string kNone;
    if (!named || named == &index.Stranger() || !named->passwordHash) return kNone;
    return *named->passwordHash;
}

} // namespace

bool CheckService::Prepare(Context& context, std::string_view target, std::string_view client,
                           const CredentialChecker::MakeDone& makeResume) {
    context.m_preparedTarget = nullptr;
    const CheckQuery query = ParseCheckTarget(target);
    if (!query.url || !query.log || query.log->empty() || !query.pwd || query.pwd->empty()) {
        return true;
    }
    const RuleIndex& index = Current(context);
    const CredentialChecker::Later later = m_credentials.CheckLater(
        *query.log, HashOf(index, index.FindAccount(*query.log)), *query.pwd, makeResume, client);
    if (later.waiting) return false;
    context.m_preparedTarget = target.data();
    context.m_preparedSize = target.size();
    context.m_preparedVersion = context.m_version;
    context.m_prepared = later.outcome;
    return true;
}

Reply CheckService::Answer(Context& context, std::string_view method, std::string_view target,
                           std::string_view peer) {
    if (method != "GET" && method != "HEAD") {
        return Malformed(405, "method " + Printable(method, 16), peer);
    }
    const CheckQuery query = ParseCheckTarget(target);
    if (m_options.path != "*" && query.path != m_options.path) {
        return Malformed(404, "unknown path " + Printable(query.path, 100), peer);
    }
    if (!query.url) return Malformed(400, "no url= in the query", peer);

    const RuleIndex& index = Current(context);

    const RuleIndex::Account* account = &index.Stranger();
    // A pair whose check could not be made in time: answered by the stricter of its account and
    // the stranger profile.
    const RuleIndex::Account* unchecked = nullptr;
    bool verified = false;
    const std::string_view name = query.log.value_or(std::string_view());
    const std::string_view password = query.pwd.value_or(std::string_view());
    if (!name.empty() && !password.empty()) {
        const RuleIndex::Account* named = index.FindAccount(name);
        const std::string& hash = HashOf(index, named);
        std::optional<bool> ok;
        if (context.m_gated) {
            // Only for the same request, answered from the same index (whose hash was checked).
            const bool prepared = context.m_preparedTarget == target.data() &&
                                  context.m_preparedSize == target.size() &&
                                  context.m_preparedVersion == context.m_version;
            context.m_preparedTarget = nullptr;
            switch (prepared ? context.m_prepared : m_credentials.Known(name, hash, password)) {
            case CredentialChecker::Outcome::Verified:
                ok = true;
                break;
            case CredentialChecker::Outcome::Rejected:
                ok = false;
                break;
            case CredentialChecker::Outcome::Unknown:
                break;
            }
        } else {
            ok = m_credentials.CheckNow(name, hash, password, peer);
        }
        if (!hash.empty()) {
            if (!ok) {
                LogEvent("password not checked in time: \"" + Printable(name, 64) +
                         "\" answered by the stricter of its account and the stranger profile");
                unchecked = named;
            } else if (*ok) {
                account = named;
                verified = true;
            }
        }
    }

    Reply reply;
    std::string reason;
    if (query.url->empty()) {
        reply.body = "000";
        reason = "empty address";
    } else if (ParseAddress(*query.url, context.m_address); !HostFits(context.m_address.host)) {
        // No name server resolves such a host, so nothing is lost by forbidding it; matching it
        // would cost time in the number of its labels.
        reply.body = "001";
        reason = "invalid host";
    } else {
        const AddressParts& address = context.m_address;
        RuleIndex::Decision decision = index.Decide(*account, address);
        if (unchecked && decision.verdict != Verdict::Forbid) {
            const RuleIndex::Decision own = index.Decide(*unchecked, address);
            if (own.verdict == Verdict::Forbid) decision = own;
        }
        switch (decision.verdict) {
        case Verdict::Allow:
            reply.body = "000";
            break;
        case Verdict::Forbid:
            reply.body = "001";
            break;
        case Verdict::Relocate:
            reply.body = "004" + account->relocation;
            break;
        }
        if (m_options.queryLog) {
            reason = index.Describe(decision);
            if (unchecked) reason += ", password not checked";
        }
    }

    if (m_options.queryLog) {
        QueryLogRecord entry;
        entry.timeMs = NowMs();
        entry.account = std::string(name.substr(0, kLoggedAccountBytes));
        entry.verified = verified;
        entry.address = std::string(query.url->substr(0, kLoggedAddressBytes));
        entry.verdict = reply.body.substr(0, 3);
        if (reason.size() > kLoggedReasonBytes) reason.resize(kLoggedReasonBytes);
        entry.reason = std::move(reason);
        Record(context, std::move(entry));
    }
    return reply;
}

size_t QueuedBytes(const QueryLogRecord& record) {
    // What the allocator takes for a string's bytes: nothing for a short one held inside the
    // string, else its capacity, the terminating NUL and the chunk header, in 16-byte steps.
    const auto heap = [](const std::string& text) -> size_t {
        return text.capacity() <= 15 ? 0 : (text.capacity() + 24) & ~size_t{15};
    };
    return sizeof record + heap(record.account) + heap(record.address) + heap(record.verdict) +
           heap(record.reason);
}

void CheckService::Record(Context& context, QueryLogRecord entry) {
    const size_t bytes = QueuedBytes(entry);
    const size_t queued = m_queuedLogBytes.fetch_add(bytes, std::memory_order_relaxed) + bytes;
    if (queued > m_options.logQueueBytes) {
        m_queuedLogBytes.fetch_sub(bytes, std::memory_order_relaxed);
        m_droppedLog.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    // Read first, so that the threads past the mark do not all write the flag's cache line.
    if (queued >= m_options.logQueueBytes / 4 && m_onLogBacklog &&
        !m_logBacklogSignalled.load(std::memory_order_relaxed) &&
        !m_logBacklogSignalled.exchange(true, std::memory_order_relaxed)) {
        m_onLogBacklog();
    }
    std::lock_guard lock(context.m_logMutex);
    context.m_log.push_back(std::move(entry));
}

std::vector<QueryLogRecord> CheckService::TakeLog(size_t* held) {
    // Before the records go: one queued after them may signal again.
    m_logBacklogSignalled.store(false, std::memory_order_relaxed);
    std::vector<std::vector<QueryLogRecord>> taken;
    size_t count = 0;
    size_t bytes = 0;
    {
        std::lock_guard lock(m_contextsMutex);
        for (auto& context : m_contexts) {
            std::vector<QueryLogRecord> records;
            {
                std::lock_guard logLock(context->m_logMutex);
                records.swap(context->m_log);
            }
            for (const auto& entry : records) bytes += QueuedBytes(entry);
            count += records.size();
            if (!records.empty()) taken.push_back(std::move(records));
        }
    }
    std::vector<QueryLogRecord> all;
    if (taken.size() == 1) {
        all.swap(taken.front());
    } else {
        all.reserve(count);
        for (auto& records : taken) {
            all.insert(all.end(), std::make_move_iterator(records.begin()),
                       std::make_move_iterator(records.end()));
            std::vector<QueryLogRecord>().swap(records);
        }
    }
    if (held) {
        *held = bytes;
    } else {
        ReleaseLog(bytes);
    }
    // Oldest first, in place: the order is found on positions (ties keep it) and then applied
    // cycle by cycle, so that the batch is never held twice.
    if (!std::is_sorted(all.begin(), all.end(),
                        [](const auto& a, const auto& b) { return a.timeMs < b.timeMs; })) {
        std::vector<uint32_t> order(all.size());
        for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
        std::stable_sort(order.begin(), order.end(),
                         [&](uint32_t a, uint32_t b) { return all[a].timeMs < all[b].timeMs; });
        for (uint32_t start = 0; start < order.size(); ++start) {
            if (order[start] == start) continue;
            QueryLogRecord carried = std::move(all[start]);
            uint32_t at = start;
            while (order[at] != start) {
                all[at] = std::move(all[order[at]]);
                const uint32_t next = order[at];
                order[at] = at;
                at = next;
            }
            all[at] = std::move(carried);
            order[at] = at;
        }
    }
    return all;
}

void CheckService::ReleaseLog(size_t held) { m_queuedLogBytes.fetch_sub(held, std::memory_order_relaxed); }

} // namespace pv::check
