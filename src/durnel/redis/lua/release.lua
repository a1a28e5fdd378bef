-- release: removes the caller's claim, lapsed or not; the caller becomes idle.
-- KEYS: claims, statuses, log, session, [in-flight hashes to settle...]
-- ARGV: session id, request id, request ttl, log maxlen, agent, resource key,
--       [settled requests...]
local claims, statuses, log, session = KEYS[1], KEYS[2], KEYS[3], KEYS[4]
local sid, request, ttl, maxlen, agent, resource =
  ARGV[1], ARGV[2], ARGV[3], ARGV[4], ARGV[5], ARGV[6]

local early = begin(session, request)
if early then return early end
settle(KEYS, ARGV, 5, 7)
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
  local id
  id, bad = log_event(log, maxlen, 'event', 'Released', 'agent', agent, 'resource', resource,
                      'at', now)
  if bad then return bad end
  bad = set_or_undo('HSET', statuses, agent, 'idle', log, {id})
  if bad then return bad end
  redis.call('HDEL', claims, resource)
  encoded = REPLY.OK
end
remember(session, request, ttl, encoded)
return as_reply(encoded)
