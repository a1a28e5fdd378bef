-- send_message: queues one message, registers the recipient, logs MessageSent, and wakes
-- whoever waits for the recipient's messages (its wake channel, common.lua).
-- KEYS: statuses, log, session, recipient's inbox, [in-flight hashes to settle...]
-- ARGV: session id, request id, request ttl, log maxlen, from, to, content, wake channel,
--       [settled requests...]
local statuses, log, session, inbox = KEYS[1], KEYS[2], KEYS[3], KEYS[4]
local request, ttl, maxlen = ARGV[2], ARGV[3], ARGV[4]
local from, to, content = ARGV[5], ARGV[6], ARGV[7]

if KEYS[5] then settle(KEYS, ARGV, 5, 9) end
local now, clock_error, at = server_time()
if not now then return clock_error end
local early, old = enter(session, request, ttl, REPLY.SENT .. at)
if early then return early end

-- The push checks the inbox's type itself; the log event and the registration are undone
-- by hand if their keys turn out to be foreign.
local _, bad = checked(redis.pcall('RPUSH', inbox, encode_message(at, from, content)),
                       inbox, 'list')
if not bad then
  local id
  id, bad = log_event(log, maxlen, 'event', 'MessageSent', 'from_agent', from, 'to_agent', to,
                      'content', content, 'at', at)
  if not bad then bad = set_or_undo('HSETNX', statuses, to, 'idle', log, {id}) end
  if bad then redis.call('RPOP', inbox) end
end
if bad then
  leave(session, old, ttl)
  return bad
end
wake(ARGV[8])
return {REPLY.SENT, at}
