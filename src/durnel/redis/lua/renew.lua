-- renew_claim: restamps the caller's claim, lapsed or not. No status, no log event.
-- KEYS: claims, session
-- ARGV: request id, request ttl, agent, resource key
local claims, session = KEYS[1], KEYS[2]
local request, ttl, agent, resource = ARGV[1], ARGV[2], ARGV[3], ARGV[4]

local again, bad = replayed(session, request)
if bad then return bad end
if again then return as_reply(again) end
local stored
stored, bad = checked(redis.pcall('HGET', claims, resource), claims, 'hash')
if bad then return bad end
local now, clock_error = server_seconds()
if not now then return clock_error end

local encoded
if not stored then
  encoded = 'r' .. 'no claim on ' .. resource .. ' to renew'
else
  local stamp, holder = parse_claim(stored)
  if not stamp then return {'x', claims, 'field ' .. resource .. ' is not a claim'} end
  if holder ~= agent then
    encoded = 'r' .. agent .. ' cannot renew a claim held by ' .. holder
  else
    redis.call('HSET', claims, resource, now .. ':' .. agent)
    encoded = 'o' .. agent
  end
end
remember(session, request, ttl, encoded)
return as_reply(encoded)
