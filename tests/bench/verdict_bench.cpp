// JudgeURL on large local lists, for an address on neither list (so the whole of both lists is
// consulted), beside a plain linear scan of the same entries. The checking service is the fake
// transport answering "000" at once, so the figures are the local part plus a trivial reply.
//
//   verdict_bench [entries...]     default: 1000 100000 1000000
//
// Prints the median nanoseconds per verdict over repeated batches.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "guard/verdict.h"
#include "store/vigil_app.h"
#include "tests/support/fake_platform.h"

namespace {

using Clock = std::chrono::steady_clock;
using pv::test::FakePlatform;
using pv::test::W;

constexpr int kSamples = 41;

std::string Address(std::mt19937_64& rng, std::size_t i) {
    // Realistic lengths and shared prefixes: hashing and comparing see ordinary addresses.
    static const char* const schemes[] = {"http://www.", "https://", "http://"};
    std::string s = schemes[rng() % 3];
    s += "site" + std::to_string(rng() % 1000000) + ".example/";
    s += "path/" + std::to_string(i);
    if (rng() % 2) s += "/index.html";
    return s;
}

template <class F>
double MedianNs(int batch, F&& f) {
    std::vector<double> samples;
    samples.reserve(kSamples);
    for (int s = 0; s < kSamples; ++s) {
        const auto start = Clock::now();
        for (int i = 0; i < batch; ++i) f(i);
        const auto ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
        samples.push_back(ns / batch);
    }
    std::nth_element(samples.begin(), samples.begin() + kSamples / 2, samples.end());
    return samples[kSamples / 2];
}

volatile int g_sink;

void Run(std::size_t entries) {
    FakePlatform fake;
    fake.SetRegString("checkURL", "http://svc.test/cgi-bin/checker");
    fake.server = [](const std::string&) { return std::optional<std::string>("000"); };
    pv::CVigilApp app(fake);
    app.Startup();

    std::mt19937_64 rng(entries);
    std::vector<std::string> prohibited, allowed;
    prohibited.reserve(entries);
    allowed.reserve(entries);
    for (std::size_t i = 0; i < entries; ++i) {
        prohibited.push_back(Address(rng, i));
        allowed.push_back(Address(rng, entries + i));
        app.m_data.Append(pv::ListKind::Prohibited, prohibited.back());
        app.m_data.Append(pv::ListKind::Allowed, allowed.back());
    }
    // Addresses on neither list, converted once, as the browser's strings arrive converted.
    std::vector<pv::WideString> probes;
    std::vector<std::string> ansiProbes;
    for (int i = 0; i < 64; ++i) {
        ansiProbes.push_back(Address(rng, 3 * entries + i));
        probes.push_back(W(ansiProbes.back()));
    }

    for (const std::string& a : ansiProbes)
        if (app.m_data.Classify(a) != pv::Listed::Neither) std::abort();

    auto clearRequests = [&] {
        std::lock_guard lock(fake.mutex);
        fake.requests.clear();
    };
    const double judge = MedianNs(2000, [&](int i) {
        g_sink = pv::JudgeURL(app, probes[i % probes.size()], std::nullopt, std::nullopt);
        if (i % 1024 == 1023) clearRequests();
    });
    clearRequests();
    const double classify = MedianNs(2000, [&](int i) {
        g_sink = static_cast<int>(app.m_data.Classify(ansiProbes[i % ansiProbes.size()]));
    });
    const int linearBatch = entries >= 1000000 ? 3 : entries >= 100000 ? 20 : 2000;
    const double linear = MedianNs(linearBatch, [&](int i) {
        const std::string& a = ansiProbes[i % ansiProbes.size()];
        int verdict = 2;
        for (const std::string& e : prohibited)
            if (e == a) {
                verdict = 0;
                break;
            }
        if (verdict == 2)
            for (const std::string& e : allowed)
                if (e == a) {
                    verdict = 1;
                    break;
                }
        g_sink = verdict;
    });
    std::printf("%9zu entries per list | JudgeURL %9.0f ns | Classify %9.0f ns | linear scan %12.0f ns\n",
                entries, judge, classify, linear);
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::size_t> sizes;
    for (int i = 1; i < argc; ++i) sizes.push_back(std::strtoull(argv[i], nullptr, 10));
    if (sizes.empty()) sizes = {0, 1000, 100000, 1000000}; // 0: the fake service alone
    std::printf("median of %d batches; address on neither list; fake service reply \"000\"\n", kSamples);
    for (std::size_t n : sizes) Run(n);
    return 0;
}
