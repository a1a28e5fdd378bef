-- abandon: a drain whose caller went away before it had the messages (a cancelled task, an
-- interrupted thread) gives its batch back, in front of the inbox, where the next drain of
-- any session takes it at once instead of after the visibility timeout.
-- Fence first: the session's latest request becomes at least the drain's, as if the drain
-- had run and found nothing, so that the drain, if it has not reached the server yet, runs
-- nothing when it does (S1, or S2 whose batch is gone: drain.lua, D3). A later request of
-- the session (it went on meanwhile) is left as it is. Then the batch, if the drain ran and
-- its batch is still in flight under its field, moves to the field 'back:<field>' stamped 0,
-- so that its timeout has passed for every drain, its messages keeping when they left the
-- inbox (drain.lua, D2: they come back in order with any other batch in flight), and
-- whoever waits for the inbox is woken. No session settles or replays that field.
-- KEYS: inbox, the inbox's in-flight hash, session
-- ARGV: session id, request id, request ttl, the inbox's wake channel
local inflight, session = KEYS[2], KEYS[3]
local sid, request, ttl, channel = ARGV[1], ARGV[2], ARGV[3], ARGV[4]

local stored, bad = checked(redis.pcall('GET', session), session, 'string')
if bad then return bad end
local latest = stored and parse_session(stored)
if stored and not latest then return foreign(session, 'is not a durnel session') end
local field = sid .. ':' .. request
local value, batch
value, bad = checked(redis.pcall('HGET', inflight, field), inflight, 'hash')
if bad then return bad end
if value then
  batch, bad = parse_batch(inflight, field, value)
  if bad then return bad end
end

if not latest or latest < tonumber(request) then
  remember(session, request, ttl, REPLY.DRAINED)
end
if not batch then return {REPLY.OK} end
redis.call('HDEL', inflight, field)
redis.call('HSET', inflight, 'back:' .. field, '0|' .. body_of(batch.messages, batch.orders, 0))
wake(channel)
return {REPLY.OK}
