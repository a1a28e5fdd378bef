-- abandon_claim: a claim, or a step of a claim wait, whose caller will not use its reply (a
-- cancelled task, an interrupted thread, a wait that gives up or fails) hands back what it
-- took, so that the caller, who raises, holds nothing:
--   - fence: the session's latest request becomes at least the call's, so that the call, if
--     it has not reached the server yet, runs nothing when it does (S1, or S2 replaying the
--     fence's STALE). A later request of the session is left as it is;
--   - if the call ran and claimed, and the claim is still the one it took (its token is this
--     request: common.lua's take_claim), the claim is released as release.lua would (the
--     Released event, the agent idle, the waiters woken). A later claim of the same agent,
--     whatever its stamp, has another token and is left alone;
--   - the wait's ticket, if any, leaves the queue with its step record, and the waiters of the
--     resource are woken so that the next one in line takes its turn at once.
-- Running it twice changes nothing more: the claim taken is gone, the ticket too.
-- KEYS: claims, statuses, log, session, queue, turns
-- ARGV: session id, request id, request ttl, log maxlen, agent, resource key, ticket ('' for
--       a plain claim), wake channel
local claims, statuses, log, session, queue, turns =
  KEYS[1], KEYS[2], KEYS[3], KEYS[4], KEYS[5], KEYS[6]
local request, ttl, maxlen = ARGV[2], ARGV[3], ARGV[4]
local agent, resource, ticket, channel = ARGV[5], ARGV[6], ARGV[7], ARGV[8]

local stored, bad = checked(redis.pcall('GET', session), session, 'string')
if bad then return bad end
local latest
if stored then
  latest = parse_session(stored)
  if not latest then return foreign(session, 'is not a durnel session') end
end
local taken
taken, bad = checked(redis.pcall('HMGET', claims, resource, '#' .. resource), claims, 'hash')
if bad then return bad end
local _
_, bad = checked(redis.pcall('ZCARD', queue), queue, 'zset')
if bad then return bad end
_, bad = checked(redis.pcall('HLEN', turns), turns, 'hash')
if bad then return bad end

if not latest or latest < tonumber(request) then
  remember(session, request, ttl, REPLY.STALE)
end
if taken[2] == ARGV[1] .. ':' .. request and taken[1]
    and string.match(taken[1], '^%d+:(.*)$') == agent then
  local now, clock_error, at = server_time()
  if not now then return clock_error end
  bad = drop_claim(claims, statuses, log, maxlen, agent, resource, at, channel)
  if bad then return bad end
end
if ticket ~= '' and redis.call('ZREM', queue, ticket) > 0 then
  redis.call('HDEL', turns, ticket, 'who:' .. ticket)
  if redis.call('EXISTS', queue) == 0 then
    redis.call('DEL', turns)
    redis.pcall('SREM', sibling(turns, 'queues'), resource)
  end
  wake(channel)
end
return {REPLY.OK}
