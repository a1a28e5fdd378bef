-- claim_file / claim_task: a fresh claim, a refusal while the stored claim holds, or the
-- takeover of a lapsed one (claim, status and both log events together).
-- KEYS: claims, statuses, log, session, [in-flight hashes to settle...]
-- ARGV: session id, request id, request ttl, log maxlen, agent, resource key, lease,
--       [settled requests...]
local claims, statuses, log, session = KEYS[1], KEYS[2], KEYS[3], KEYS[4]
local sid, request, ttl, maxlen = ARGV[1], ARGV[2], ARGV[3], ARGV[4]
local agent, resource, lease = ARGV[5], ARGV[6], tonumber(ARGV[7])

local early = begin(session, request)
if early then return early end
settle(KEYS, ARGV, 5, 8)
local stamp, previous, bad = read_claim(claims, resource)
if bad then return bad end
local now, clock_error = server_time()
if not now then return clock_error end

-- A clock that went back makes the claim young (a negative age holds).
if previous and now - stamp < lease then
  local encoded = REPLY.HELD .. previous
  remember(session, request, ttl, encoded)
  return as_reply(encoded)
end

local ids = {}
ids[1], bad = log_event(log, maxlen, 'event', 'Claimed', 'agent', agent, 'resource', resource,
                        'at', now)
if bad then return bad end
if previous then
  ids[2] = log_event(log, maxlen, 'event', 'Released', 'agent', previous, 'resource', resource,
                     'at', now)
end
bad = set_or_undo('HSET', statuses, agent, 'busy', log, ids)
if bad then return bad end
redis.call('HSET', claims, resource, now .. ':' .. agent)
remember(session, request, ttl, REPLY.OK)
return {REPLY.OK}
