-- release: removes the caller's claim, lapsed or not; the caller becomes idle.
-- KEYS: claims, statuses, log, session
-- ARGV: request id, request ttl, log maxlen, agent, resource key
local claims, statuses, log, session = KEYS[1], KEYS[2], KEYS[3], KEYS[4]
local request, ttl, maxlen, agent, resource = ARGV[1], ARGV[2], ARGV[3], ARGV[4], ARGV[5]

local early = replay(session, request)
if early then return early end
local bad
local _, holder
_, holder, bad = read_claim(claims, resource)
if bad then return bad end
bad = wrong_type(statuses, 'hash')
if bad then return bad end
local now, clock_error = server_seconds()
if not now then return clock_error end

local encoded
if not holder then
  encoded = REPLY.NO_CLAIM
elseif holder ~= agent then
  encoded = REPLY.NOT_HOLDER .. holder
else
  bad = log_event(log, maxlen, 'event', 'Released', 'agent', agent, 'resource', resource,
                  'at', now)
  if bad then return bad end
  redis.call('HDEL', claims, resource)
  redis.call('HSET', statuses, agent, 'idle')
  encoded = REPLY.OK
end
remember(session, request, ttl, encoded)
return as_reply(encoded)
