-- renew_claim: restamps the caller's claim, lapsed or not. No status, no log event.
-- KEYS: claims, session
-- ARGV: request id, request ttl, agent, resource key
local claims, session = KEYS[1], KEYS[2]
local request, ttl, agent, resource = ARGV[1], ARGV[2], ARGV[3], ARGV[4]

local early = replay(session, request)
if early then return early end
local bad
local _, holder
_, holder, bad = read_claim(claims, resource)
if bad then return bad end
local now, clock_error = server_seconds()
if not now then return clock_error end

local encoded
if not holder then
  encoded = REPLY.NO_CLAIM
elseif holder ~= agent then
  encoded = REPLY.NOT_HOLDER .. holder
else
  redis.call('HSET', claims, resource, now .. ':' .. agent)
  encoded = REPLY.OK
end
remember(session, request, ttl, encoded)
return as_reply(encoded)
