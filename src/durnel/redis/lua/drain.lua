-- drain_inbox: the inbox moves aside under the caller's session (RENAME: no copy) and is
-- returned from there, so a drain whose reply is lost is never lost itself:
--   - a retry of the same request finds its request id at the head of the moved-aside list
--     and returns the same messages again;
--   - a later drain by the same session names the last request whose reply it received; a
--     moved-aside list of any other request never reached the caller, so its messages stay
--     in front of this drain's.
-- The moved-aside list lives until the session's next drain of the same inbox, or the
-- request ttl.
-- KEYS: inbox, moved-aside list of this session and inbox
-- ARGV: request id, request ttl, id of the last drain whose reply arrived ('' if none)
local inbox, drained = KEYS[1], KEYS[2]
local request, ttl, received = ARGV[1], ARGV[2], ARGV[3]

local bad = wrong_type(inbox, 'list') or wrong_type(drained, 'list')
if bad then return bad end

local function drained_reply()
  local reply = {REPLY.DRAINED}
  local messages = redis.call('LRANGE', drained, 1, -1)
  for i = 1, #messages do reply[i + 1] = messages[i] end
  return reply
end

local head = redis.call('LINDEX', drained, 0)
if head == request then return drained_reply() end
if head and head == received then
  redis.call('DEL', drained)
  head = nil
end

if head then
  -- an earlier drain's messages that never reached the caller stay first
  local pending = redis.call('LRANGE', inbox, 0, -1)
  for i = 1, #pending do redis.call('RPUSH', drained, pending[i]) end
  redis.call('DEL', inbox)
  redis.call('LSET', drained, 0, request)
elseif redis.call('EXISTS', inbox) == 1 then
  redis.call('RENAME', inbox, drained)
  redis.call('LPUSH', drained, request)
else
  redis.call('RPUSH', drained, request)
end
redis.call('EXPIRE', drained, ttl)
return drained_reply()
