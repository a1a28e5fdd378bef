-- abandon: a drain whose caller went away before it read the reply (a cancelled task, an
-- interrupted thread) gives its batch back to the front of the inbox, where the next drain
-- of any session takes it at once instead of after the visibility timeout.
-- Fence first: the session's latest request becomes at least the drain's, as if the drain
-- had run and found nothing, so that the drain, if it has not reached the server yet, runs
-- nothing when it does (S1, or S2 whose batch is gone: drain.lua, D3). A later request of
-- the session (it went on meanwhile) is left as it is. Then the batch, if the drain ran and
-- its batch is still in flight, goes back in front of the inbox, oldest first (D1, D2), and
-- whoever waits for the inbox is woken.
-- KEYS: inbox, the inbox's in-flight hash, session
-- ARGV: session id, request id, request ttl, the inbox's wake channel
local inbox, inflight, session = KEYS[1], KEYS[2], KEYS[3]
local sid, request, ttl, channel = ARGV[1], ARGV[2], ARGV[3], ARGV[4]

local stored, bad = checked(redis.pcall('GET', session), session, 'string')
if bad then return bad end
local latest = stored and parse_session(stored)
if stored and not latest then return foreign(session, 'is not a durnel session') end
local field = sid .. ':' .. request
local body
body, bad = checked(redis.pcall('HGET', inflight, field), inflight, 'hash')
if bad then return bad end
local messages = {}
if body then
  for blob in string.gmatch(string.match(body, '^%d+|(.+)$') or '', '[^\n]+') do
    messages[#messages + 1] = blob
  end
  local _
  _, bad = checked(redis.pcall('LLEN', inbox), inbox, 'list')
  if bad then return bad end
end

if not latest or latest < tonumber(request) then
  remember(session, request, ttl, REPLY.DRAINED)
end
if not body then return {REPLY.OK} end
for i = #messages, 1, -1 do redis.call('LPUSH', inbox, messages[i]) end
redis.call('HDEL', inflight, field)
wake(channel)
return {REPLY.OK}
