-- claim_file / claim_task: a fresh claim, a refusal while the stored claim holds, or the
-- takeover of a lapsed one (claim, status and both log events together). A claim whose
-- holder's object has died (common.lua's orphaned) is lapsed; taking one over answers
-- OK '' <its holder>.
-- KEYS: claims, statuses, log, session, [in-flight hashes to settle...]
-- ARGV: session id, request id, request ttl, log maxlen, agent, resource key, lease,
--       [settled requests...]
local claims, statuses, log, session = KEYS[1], KEYS[2], KEYS[3], KEYS[4]
local request, ttl, maxlen = ARGV[2], ARGV[3], ARGV[4]
local agent, resource, lease = ARGV[5], ARGV[6], tonumber(ARGV[7])

if KEYS[5] then settle(KEYS, ARGV, 5, 8) end
local stamp, previous, bad = read_claim(claims, resource)
if bad then return bad end
local now, clock_error, at = server_time()
if not now then return clock_error end

-- A clock that went back makes the claim young (a negative age holds).
local held = previous and now - stamp < lease
if held and not orphaned(claims, resource) then
  local encoded = REPLY.HELD .. previous
  local early = enter(session, request, ttl, encoded)
  if early then return early end
  return as_reply(encoded)
end

-- The claim's token is this request: a cancelled caller's abandon_claim.lua tells this claim
-- from any later one by it.
local early, old = enter(session, request, ttl, REPLY.OK .. at)
if early then return early end
bad = take_claim(claims, statuses, log, maxlen, agent, resource, at, previous,
                 ARGV[1] .. ':' .. request)
if bad then
  leave(session, old, ttl)
  return bad
end
tie(claims, resource, not previous)
if held then return {REPLY.OK, '', previous} end  -- a dead object's claim: the client logs it
return {REPLY.OK}
