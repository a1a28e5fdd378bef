-- renew_claim: restamps the caller's claim, lapsed or not, and ties it to the caller's object
-- or to none (common.lua's tie). No status, no log event.
-- KEYS: claims, session, [in-flight hashes to settle...]
-- ARGV: session id, request id, request ttl, agent, resource key, [settled requests...]
local claims, session = KEYS[1], KEYS[2]
local request, ttl, agent, resource = ARGV[2], ARGV[3], ARGV[4], ARGV[5]

if KEYS[3] then settle(KEYS, ARGV, 3, 6) end
local _, holder, bad = read_claim(claims, resource)
if bad then return bad end

local encoded = REPLY.OK
if not holder then
  encoded = REPLY.NO_CLAIM
elseif holder ~= agent then
  encoded = REPLY.NOT_HOLDER .. holder
end
local now, clock_error, at
if encoded == REPLY.OK then
  now, clock_error, at = server_time()
  if not now then return clock_error end
end
local early = enter(session, request, ttl, encoded)
if early then return early end
if now then
  redis.call('HSET', claims, resource, at .. ':' .. agent)
  tie(claims, resource)
end
return as_reply(encoded)
