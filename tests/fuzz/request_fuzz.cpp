// The checking service reads its requests by hand: framing, the request line and the query's
// fields, on any bytes a client may send. Beyond not crashing: a request that arrives in two
// reads is framed as it is in one (the framer resumes its search where the last read ended),
// a complete frame lies within what was read, and the query's fields lie within the target.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "checkingservice/http/http_front.h"
#include "checkingservice/rules/query.h"

namespace {

using pv::check::Frame;

constexpr size_t kMaxHead = 1024;
constexpr size_t kMaxBody = 256;

bool Same(const Frame& a, const Frame& b) {
    return a.kind == b.kind && a.length == b.length && a.status == b.status && a.malformed == b.malformed &&
           a.close == b.close && a.keepAlive == b.keepAlive;
}

bool Within(std::string_view part, std::string_view whole) {
    return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

void Require(bool condition) {
    if (!condition) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The first byte says where the first read ends.
    const size_t split = data[0] % size;
    const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);

    size_t scan = 0;
    const Frame whole = pv::check::FrameRequest(input, kMaxHead, kMaxBody, scan);
    size_t resumed = 0;
    const Frame first = pv::check::FrameRequest(input.substr(0, split), kMaxHead, kMaxBody, resumed);
    // A frame complete or refused in the first read is the one the whole input gives;
    // otherwise the second read goes on from where the first left off.
    if (first.kind == Frame::Kind::Incomplete) {
        Require(Same(pv::check::FrameRequest(input, kMaxHead, kMaxBody, resumed), whole));
    } else {
        Require(Same(first, whole));
    }
    if (whole.kind == Frame::Kind::Complete) {
        Require(whole.length <= input.size());
        const pv::check::RequestLine line = pv::check::SplitRequestLine(input.substr(0, whole.length));
        if (line.valid) {
            Require(Within(line.target, input));
            const pv::check::CheckQuery query = pv::check::ParseCheckTarget(line.target);
            Require(Within(query.path, line.target));
            for (const auto& field : {query.log, query.pwd, query.url}) {
                if (field) Require(Within(*field, line.target));
            }
        }
    }
    return 0;
}
