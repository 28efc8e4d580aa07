-- For wrk against an aligned tidewell-timepage (offset 0): how long after the whole second of
-- this machine's clock each reply arrives. The server holds every request to the next second
-- and answers them all then, so this is how fast it empties its queue at the boundary.
-- Each thread keeps its own samples; done() gathers them and prints one line:
--   boundary-lag-ms count=N p50=X p90=X p99=X max=X

local ffi = require("ffi")
ffi.cdef [[
  typedef struct { long tv_sec; long tv_nsec; } bench_instant;
  int clock_gettime(int clock, bench_instant *now);
]]
local CLOCK_REALTIME = 0
local now = ffi.new("bench_instant")

local threads = {}

function setup(thread)
  table.insert(threads, thread)
end

function init(args)
  lags = {}
end

function response(status, headers, body)
  ffi.C.clock_gettime(CLOCK_REALTIME, now)
  lags[#lags + 1] = tonumber(now.tv_nsec) / 1e6
end

local function rank(sorted, p)
  local at = math.ceil(p / 100 * #sorted)
  if at < 1 then at = 1 end
  return sorted[at]
end

function done(summary, latency, requests)
  local all = {}
  for _, thread in ipairs(threads) do
    for _, lag in ipairs(thread:get("lags") or {}) do
      all[#all + 1] = lag
    end
  end
  table.sort(all)
  if #all == 0 then
    print("boundary-lag-ms count=0")
    return
  end
  print(string.format("boundary-lag-ms count=%d p50=%.3f p90=%.3f p99=%.3f max=%.3f", #all,
                      rank(all, 50), rank(all, 90), rank(all, 99), all[#all]))
end
