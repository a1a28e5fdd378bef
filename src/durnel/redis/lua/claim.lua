-- claim_file / claim_task: a fresh claim, a refusal while the stored claim holds, or the
-- takeover of a lapsed one (claim, status and both log events together).
-- KEYS: claims, statuses, log, session
-- ARGV: request id, request ttl, log maxlen, agent, resource key, lease
local claims, statuses, log, session = KEYS[1], KEYS[2], KEYS[3], KEYS[4]
local request, ttl, maxlen = ARGV[1], ARGV[2], ARGV[3]
local agent, resource, lease = ARGV[4], ARGV[5], tonumber(ARGV[6])

local early = replay(session, request)
if early then return early end
local bad
local stamp, previous
stamp, previous, bad = read_claim(claims, resource)
if bad then return bad end
bad = wrong_type(statuses, 'hash')
if bad then return bad end
local now, clock_error = server_seconds()
if not now then return clock_error end

if previous then
  local age = now - stamp
  if age < 0 then age = 0 end  -- a clock that went back makes the claim young
  if age < lease then
    local encoded = REPLY.HELD .. previous
    remember(session, request, ttl, encoded)
    return as_reply(encoded)
  end
end

bad = log_event(log, maxlen, 'event', 'Claimed', 'agent', agent, 'resource', resource, 'at', now)
if bad then return bad end
if previous then
  log_event(log, maxlen, 'event', 'Released', 'agent', previous, 'resource', resource, 'at', now)
end
redis.call('HSET', claims, resource, now .. ':' .. agent)
redis.call('HSET', statuses, agent, 'busy')
remember(session, request, ttl, REPLY.OK)
return {REPLY.OK}
