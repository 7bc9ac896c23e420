-- wrk script: every request asks about another address of the stream, the way the filter
-- builds its query (nothing escaped); reports p50/p99 latency in a line the bench script reads.
local urls = {}
local index = 0
local account = os.getenv("PV_BENCH_ACCOUNT") or "bench"
local password = os.getenv("PV_BENCH_PASSWORD") or "bench"
local path = os.getenv("PV_BENCH_PATH") or "/cgi-bin/checker"

init = function(args)
  for line in io.lines(args[1]) do
    urls[#urls + 1] = line
  end
  -- Threads start at different places in the stream.
  index = math.random(#urls)
end

request = function()
  index = index % #urls + 1
  return wrk.format("GET", path .. "?log=" .. account .. "&pwd=" .. password .. "&url=" .. urls[index])
end

done = function(summary, latency, requests)
  local seconds = summary.duration / 1e6
  io.write(string.format("PVBENCH requests=%d seconds=%.2f qps=%.0f p50_ms=%.3f p99_ms=%.3f max_ms=%.3f errors=%d\n",
    summary.requests, seconds, summary.requests / seconds,
    latency:percentile(50) / 1000, latency:percentile(99) / 1000, latency.max / 1000,
    summary.errors.connect + summary.errors.read + summary.errors.write +
    summary.errors.status + summary.errors.timeout))
end
