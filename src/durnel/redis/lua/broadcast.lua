-- broadcast: one copy in the inbox of every agent with a status, the sender included (it is
-- registered first), then one BroadcastSent event. The recipients are the statuses' keys at
-- the moment the script runs: no agent can register halfway through.
-- KEYS: statuses, log, session
-- ARGV: request id, request ttl, log maxlen, from, content, inbox key prefix
local statuses, log, session = KEYS[1], KEYS[2], KEYS[3]
local request, ttl, maxlen, from, content, inbox_prefix =
  ARGV[1], ARGV[2], ARGV[3], ARGV[4], ARGV[5], ARGV[6]

local bad = wrong_type(statuses, 'hash') or wrong_type(log, 'stream')
  or wrong_type(session, 'string')
if bad then return bad end
local again = replayed(session, request)
if again then return as_reply(again) end
local now, clock_error = server_seconds()
if not now then return clock_error end

local recipients = redis.call('HKEYS', statuses)
if redis.call('HEXISTS', statuses, from) == 0 then recipients[#recipients + 1] = from end
for _, agent in ipairs(recipients) do
  bad = wrong_type(inbox_prefix .. agent, 'list')
  if bad then return bad end
end

redis.call('HSETNX', statuses, from, 'idle')
local message = cjson.encode({now, from, content})
for _, agent in ipairs(recipients) do
  redis.call('RPUSH', inbox_prefix .. agent, message)
end
log_event(log, maxlen, 'event', 'BroadcastSent', 'from_agent', from, 'content', content, 'at', now)
remember(session, request, ttl, 't' .. now)
return {'t', tostring(now)}
