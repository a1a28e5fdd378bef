-- broadcast: one copy in the inbox of every agent with a status, the sender included (it is
-- registered first), then one BroadcastSent event. The recipients are the statuses' keys at
-- the moment the script runs: no agent can register halfway through.
-- KEYS: statuses, log, session
-- ARGV: request id, request ttl, log maxlen, from, content, inbox key prefix
local statuses, log, session = KEYS[1], KEYS[2], KEYS[3]
local request, ttl, maxlen, from, content, inbox_prefix =
  ARGV[1], ARGV[2], ARGV[3], ARGV[4], ARGV[5], ARGV[6]

local again, bad = replayed(session, request)
if bad then return bad end
if again then return as_reply(again) end
local recipients
recipients, bad = checked(redis.pcall('HKEYS', statuses), statuses, 'hash')
if bad then return bad end
local now, clock_error = server_seconds()
if not now then return clock_error end

if redis.call('HEXISTS', statuses, from) == 0 then recipients[#recipients + 1] = from end
for _, agent in ipairs(recipients) do
  bad = wrong_type(inbox_prefix .. agent, 'list')
  if bad then return bad end
end

bad = log_event(log, maxlen, 'event', 'BroadcastSent', 'from_agent', from, 'content', content,
                'at', now)
if bad then return bad end
redis.call('HSETNX', statuses, from, 'idle')
local message = cjson.encode({now, from, content})
for _, agent in ipairs(recipients) do
  redis.call('RPUSH', inbox_prefix .. agent, message)
end
remember(session, request, ttl, 't' .. now)
return {'t', tostring(now)}
