// pvcheck_lookup: the service's rule lookup alone, behind the line protocol of a proxy's URL
// redirector, so that it can be timed against another filter on the same address stream.
// Each input line "URL client ident method" is answered with OK rewrite-url="REDIRECT" for a
// forbidden address and ERR otherwise. --buffered reads the
// whole stream first and times the lookups in one stretch: the lookup cost without the
// protocol's reads, writes and clock readings.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "checkingservice/index/rule_index.h"
#include "checkingservice/rules/address.h"
#include "checkingservice/storage/sqlite_store.h"

using namespace pv::check;

int main(int argc, char** argv) {
    std::string db;
    std::string accountName = std::string(kStrangerAccount);
    std::string redirect = "http://blocked.invalid/";
    bool buffered = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--db" && i + 1 < argc)
            db = argv[++i];
        else if (arg == "--account" && i + 1 < argc)
            accountName = argv[++i];
        else if (arg == "--redirect" && i + 1 < argc)
            redirect = argv[++i];
        else if (arg == "--buffered")
            buffered = true;
        else {
            std::fprintf(stderr, "usage: pvcheck_lookup --db FILE [--account NAME] [--redirect URL] "
                                 "[--buffered]\n");
            return 2;
        }
    }
    try {
        const auto t0 = std::chrono::steady_clock::now();
        SqliteStore store(db);
        IndexBuilder builder;
        const uint64_t generation = store.Load(builder);
        const auto index = builder.Finish(generation);
        const RuleIndex::Account* account = index->FindAccount(accountName);
        if (!account) account = &index->Stranger();
        const auto t1 = std::chrono::steady_clock::now();

        const std::string forbidLine = "OK rewrite-url=\"" + redirect + "\"\n";
        const std::string allowLine = "ERR\n";
        AddressParts address; // reused, as a serving thread does
        const auto decide = [&](std::string_view line) {
            if (line.ends_with('\n')) line.remove_suffix(1);
            ParseAddress(line.substr(0, line.find(' ')), address);
            return index->Decide(*account, address).verdict == Verdict::Forbid;
        };
        uint64_t lines = 0;
        uint64_t forbidden = 0;
        std::chrono::nanoseconds lookupTime{0};
        if (buffered) {
            // All input first, then the lookups alone in one timed stretch, then the answers.
            std::string input;
            char chunk[65536];
            for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, stdin)) > 0;) {
                input.append(chunk, got);
            }
            std::vector<std::string_view> stream;
            for (size_t at = 0; at < input.size();) {
                const size_t end = std::min(input.find('\n', at), input.size());
                stream.emplace_back(input.data() + at, end - at);
                at = end + 1;
            }
            std::vector<char> verdicts(stream.size());
            const auto a = std::chrono::steady_clock::now();
            for (size_t i = 0; i < stream.size(); ++i) verdicts[i] = decide(stream[i]);
            lookupTime = std::chrono::steady_clock::now() - a;
            for (const char forbid : verdicts) {
                const std::string& answer = forbid ? forbidLine : allowLine;
                std::fwrite(answer.data(), 1, answer.size(), stdout);
                forbidden += forbid;
            }
            lines = stream.size();
        } else {
            // Every line gets its answer; the answers to the lines of one read go out together, as
            // soon as that input is used up, so a proxy sending one line at a time is answered at
            // once and a stream of lines does not cost a write per line.
            std::string pending;
            std::string answers;
            char chunk[65536];
            for (bool more = true; more;) {
                const ssize_t got = ::read(0, chunk, sizeof chunk);
                if (got < 0 && errno == EINTR) continue;
                if (got < 0) throw std::runtime_error("cannot read the input");
                more = got > 0;
                pending.append(chunk, static_cast<size_t>(got));
                const auto a = std::chrono::steady_clock::now();
                size_t at = 0;
                while (at < pending.size()) {
                    size_t end = pending.find('\n', at);
                    if (end == std::string::npos && more) break; // the rest of the line is to come
                    if (end == std::string::npos) end = pending.size();
                    const bool forbid = decide(std::string_view(pending).substr(at, end - at));
                    ++lines;
                    forbidden += forbid;
                    answers += forbid ? forbidLine : allowLine;
                    at = end + 1;
                }
                lookupTime += std::chrono::steady_clock::now() - a;
                pending.erase(0, std::min(at, pending.size()));
                for (size_t done = 0; done < answers.size();) {
                    const ssize_t put = ::write(1, answers.data() + done, answers.size() - done);
                    if (put < 0 && errno == EINTR) continue;
                    if (put <= 0) throw std::runtime_error("cannot write the answers");
                    done += static_cast<size_t>(put);
                }
                answers.clear();
            }
        }
        std::fflush(stdout);
        // The stream: from the index being ready to the last answer written, reads included.
        const auto t2 = std::chrono::steady_clock::now();
        const double loadMs = std::chrono::duration<double, std::milli>(t1 - t0).count();
        const double streamMs = std::chrono::duration<double, std::milli>(t2 - t1).count();
        const double lookupMs = std::chrono::duration<double, std::milli>(lookupTime).count();
        const double n = lines ? static_cast<double>(lines) : 1.0;
        std::fprintf(stderr,
                     "pvcheck_lookup: %zu rules indexed in %.0f ms; %llu lookups (%llu forbidden) in "
                     "%.1f ms, %.0f ns each; stream answered in %.1f ms, %.0f ns per line\n",
                     index->RuleCount(), loadMs, static_cast<unsigned long long>(lines),
                     static_cast<unsigned long long>(forbidden), lookupMs, lookupMs * 1e6 / n, streamMs,
                     streamMs * 1e6 / n);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pvcheck_lookup: %s\n", e.what());
        return 1;
    }
}
