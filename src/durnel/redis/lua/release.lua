-- release: removes the caller's claim, lapsed or not; the caller becomes idle; whoever waits
-- for the resource is woken (its wake channel, common.lua).
-- KEYS: claims, statuses, log, session, [in-flight hashes to settle...]
-- ARGV: session id, request id, request ttl, log maxlen, agent, resource key, wake channel,
--       [settled requests...]
local claims, statuses, log, session = KEYS[1], KEYS[2], KEYS[3], KEYS[4]
local request, ttl, maxlen, agent, resource = ARGV[2], ARGV[3], ARGV[4], ARGV[5], ARGV[6]

if KEYS[5] then settle(KEYS, ARGV, 5, 8) end
local _, holder, bad = read_claim(claims, resource)
if bad then return bad end

if holder ~= agent then
  local encoded = holder and REPLY.NOT_HOLDER .. holder or REPLY.NO_CLAIM
  local early = enter(session, request, ttl, encoded)
  if early then return early end
  return as_reply(encoded)
end

local now, clock_error, at = server_time()
if not now then return clock_error end
local early, old = enter(session, request, ttl, REPLY.OK)
if early then return early end
bad = drop_claim(claims, statuses, log, maxlen, agent, resource, at, ARGV[7])
if bad then
  leave(session, old, ttl)
  return bad
end
return {REPLY.OK}
