-- renew_claim: restamps the caller's claim, lapsed or not. No status, no log event.
-- KEYS: claims, session, [in-flight hashes to settle...]
-- ARGV: session id, request id, request ttl, agent, resource key, [settled requests...]
local claims, session = KEYS[1], KEYS[2]
local sid, request, ttl, agent, resource = ARGV[1], ARGV[2], ARGV[3], ARGV[4], ARGV[5]

local early = begin(session, request)
if early then return early end
settle(KEYS, ARGV, 3, 6)
local _, holder, bad = read_claim(claims, resource)
if bad then return bad end

local encoded
if not holder then
  encoded = REPLY.NO_CLAIM
elseif holder ~= agent then
  encoded = REPLY.NOT_HOLDER .. holder
else
  local now, clock_error = server_time()
  if not now then return clock_error end
  redis.call('HSET', claims, resource, now .. ':' .. agent)
  encoded = REPLY.OK
end
remember(session, request, ttl, encoded)
return as_reply(encoded)
