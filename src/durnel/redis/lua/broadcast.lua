-- broadcast: one copy in the inbox of every agent with a status, the sender included (it is
-- registered first), then one BroadcastSent event. The recipients are the statuses' keys at
-- the moment the script runs: no agent can register halfway through.
-- KEYS: statuses, log, session
-- ARGV: request id, request ttl, log maxlen, from, content, inbox key prefix
local statuses, log, session = KEYS[1], KEYS[2], KEYS[3]
local request, ttl, maxlen, from, content, inbox_prefix =
  ARGV[1], ARGV[2], ARGV[3], ARGV[4], ARGV[5], ARGV[6]

local early = replay(session, request)
if early then return early end
local bad
local recipients
recipients, bad = checked(redis.pcall('HKEYS', statuses), statuses, 'hash')
if bad then return bad end
local now, clock_error = server_seconds()
if not now then return clock_error end

if redis.call('HEXISTS', statuses, from) == 0 then recipients[#recipients + 1] = from end

-- The pushes come first and check each inbox's type themselves: a push onto a foreign key
-- takes back the copies pushed before it (nothing else ran in between), which is far
-- cheaper than a TYPE call per recipient on every broadcast.
local message = cjson.encode({now, from, content})
for i, agent in ipairs(recipients) do
  local pushed = redis.pcall('RPUSH', inbox_prefix .. agent, message)
  if type(pushed) == 'table' and pushed.err then
    for j = 1, i - 1 do redis.call('RPOP', inbox_prefix .. recipients[j]) end
    local _, wrong = checked(pushed, inbox_prefix .. agent, 'list')
    return wrong
  end
end
bad = log_event(log, maxlen, 'event', 'BroadcastSent', 'from_agent', from, 'content', content,
                'at', now)
if bad then
  for _, agent in ipairs(recipients) do redis.call('RPOP', inbox_prefix .. agent) end
  return bad
end
redis.call('HSETNX', statuses, from, 'idle')
remember(session, request, ttl, REPLY.SENT .. now)
return {REPLY.SENT, tostring(now)}
