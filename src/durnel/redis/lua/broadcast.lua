-- broadcast: one copy in the inbox of every agent with a status, the sender included (it is
-- registered first), then one BroadcastSent event. The recipients are the statuses' keys at
-- the moment the script runs: no agent can register halfway through. One wake-up on the
-- namespace's broadcast channel reaches every waiter of its messages, whoever they wait for.
--
-- The inbox keys are built here, not declared. On a Redis Cluster whose slot is being
-- migrated, a script could then write to an inbox that has not moved yet as if it were new
-- (the ASKING flag covers the script's own commands on the importing node). The guard key is
-- declared and never written: while the slot migrates it is missing on both nodes, so the
-- cluster answers TRYAGAIN instead of running the script anywhere, and the engine retries
-- with the same request id until the slot has moved.
-- KEYS: statuses, log, session, guard, [in-flight hashes to settle...]
-- ARGV: session id, request id, request ttl, log maxlen, from, content, inbox key prefix,
--       broadcast wake channel, [settled requests...]
local statuses, log, session = KEYS[1], KEYS[2], KEYS[3]
local request, ttl, maxlen = ARGV[2], ARGV[3], ARGV[4]
local from, content, inbox_prefix = ARGV[5], ARGV[6], ARGV[7]

if KEYS[5] then settle(KEYS, ARGV, 5, 9) end
local recipients, bad = checked(redis.pcall('HKEYS', statuses), statuses, 'hash')
if bad then return bad end
local now, clock_error, at = server_time()
if not now then return clock_error end
local early, old = enter(session, request, ttl, REPLY.SENT .. at)
if early then return early end

if redis.call('HEXISTS', statuses, from) == 0 then recipients[#recipients + 1] = from end

-- Each push checks its inbox's type itself: a push that fails takes back the copies pushed
-- before it (nothing else ran in between), which is far cheaper than a TYPE per recipient.
local message = encode_message(at, from, content)
local function take_back(count)
  for j = 1, count do redis.call('RPOP', inbox_prefix .. recipients[j]) end
  leave(session, old, ttl)
end
for i, agent in ipairs(recipients) do
  local pushed = redis.pcall('RPUSH', inbox_prefix .. agent, message)
  if type(pushed) == 'table' and pushed.err then
    take_back(i - 1)
    local _, wrong = checked(pushed, inbox_prefix .. agent, 'list')
    return wrong
  end
end
local _
_, bad = log_event(log, maxlen, 'event', 'BroadcastSent', 'from_agent', from, 'content', content,
                   'at', at)
if bad then
  take_back(#recipients)
  return bad
end
redis.call('HSETNX', statuses, from, 'idle')
wake(ARGV[8])
return {REPLY.SENT, at}
