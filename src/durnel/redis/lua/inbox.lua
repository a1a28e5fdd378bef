-- inbox: the pending messages, oldest first, left in place. In front of them come the
-- messages of the batches in flight (drain.lua) whose visibility timeout has passed, in the
-- order they left the inbox: the next drain by any session takes them there. Batches still in flight are not shown. Writes
-- nothing but the settling of earlier drains (common.lua).
-- KEYS: inbox, the inbox's in-flight hash, [in-flight hashes to settle...]
-- ARGV: session id, visibility timeout (s), [settled requests...]
local inbox, inflight = KEYS[1], KEYS[2]
local sid, visibility = ARGV[1], tonumber(ARGV[2])

if KEYS[3] then settle(KEYS, ARGV, 3, 3) end
local pending, batches, bad
pending, bad = read_inbox(inbox)
if bad then return bad end
batches, bad = read_batches(inflight)
if bad then return bad end
local reply = {REPLY.LISTED}
if #batches == 0 then
  for i = 1, #pending do reply[i + 1] = pending[i] end
  return reply
end
local seconds, micros = server_time()
if not seconds then return micros end
local now, lapse = seconds * 1000000 + micros, visibility * 1000000
gather(reply, batches, function(b) return now - b.stamp >= lapse end, pending, now)
return reply
