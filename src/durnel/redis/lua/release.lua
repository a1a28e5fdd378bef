-- release: removes the caller's claim, lapsed or not; the caller becomes idle.
-- KEYS: claims, statuses, log, session
-- ARGV: request id, request ttl, log maxlen, agent, resource key
local claims, statuses, log, session = KEYS[1], KEYS[2], KEYS[3], KEYS[4]
local request, ttl, maxlen, agent, resource = ARGV[1], ARGV[2], ARGV[3], ARGV[4], ARGV[5]

local again, bad = replayed(session, request)
if bad then return bad end
if again then return as_reply(again) end
local stored
stored, bad = checked(redis.pcall('HGET', claims, resource), claims, 'hash')
if bad then return bad end
bad = wrong_type(statuses, 'hash')
if bad then return bad end
local now, clock_error = server_seconds()
if not now then return clock_error end

local encoded
if not stored then
  encoded = 'r' .. 'no claim found for ' .. agent
else
  local stamp, holder = parse_claim(stored)
  if not stamp then return {'x', claims, 'field ' .. resource .. ' is not a claim'} end
  if holder ~= agent then
    encoded = 'r' .. agent .. ' cannot release a claim held by ' .. holder
  else
    bad = log_event(log, maxlen, 'event', 'Released', 'agent', agent, 'resource', resource,
                    'at', now)
    if bad then return bad end
    redis.call('HDEL', claims, resource)
    redis.call('HSET', statuses, agent, 'idle')
    encoded = 'n'
  end
end
remember(session, request, ttl, encoded)
return as_reply(encoded)
