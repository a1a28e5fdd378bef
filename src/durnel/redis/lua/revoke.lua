-- revoke: an operator frees a claim whoever holds it, held or lapsed (common.lua's
-- revoke_claim), once: the reply is remembered in the operator's session, so a retry after
-- a lost reply gets it again rather than a refusal.
-- Reply: OK and the holder, or NO_CLAIM.
-- KEYS: claims, log, session
-- ARGV: session id, request id, request ttl, log maxlen, resource key, who revokes it,
--       wake channel
local claims, log, session = KEYS[1], KEYS[2], KEYS[3]
local request, ttl, maxlen, resource = ARGV[2], ARGV[3], ARGV[4], ARGV[5]

local _, holder, bad = read_claim(claims, resource)
if bad then return bad end
if not holder then
  local early = enter(session, request, ttl, REPLY.NO_CLAIM)
  if early then return early end
  return {REPLY.NO_CLAIM}
end
local now, clock_error, at = server_time()
if not now then return clock_error end
local early, old = enter(session, request, ttl, REPLY.OK .. holder)
if early then return early end
bad = revoke_claim(claims, log, maxlen, resource, holder, ARGV[6], at, ARGV[7])
if bad then
  leave(session, old, ttl)
  return bad
end
return {REPLY.OK, holder}
