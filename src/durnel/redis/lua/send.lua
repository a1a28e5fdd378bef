-- send_message: queues one message, registers the recipient, logs MessageSent.
-- KEYS: statuses, log, session, recipient's inbox
-- ARGV: request id, request ttl, log maxlen, from, to, content
local statuses, log, session, inbox = KEYS[1], KEYS[2], KEYS[3], KEYS[4]
local request, ttl, maxlen, from, to, content = ARGV[1], ARGV[2], ARGV[3], ARGV[4], ARGV[5], ARGV[6]

local early = replay(session, request)
if early then return early end
local bad
bad = wrong_type(statuses, 'hash') or wrong_type(inbox, 'list')
if bad then return bad end
local now, clock_error = server_seconds()
if not now then return clock_error end

bad = log_event(log, maxlen, 'event', 'MessageSent', 'from_agent', from, 'to_agent', to,
                'content', content, 'at', now)
if bad then return bad end
redis.call('RPUSH', inbox, cjson.encode({now, from, content}))
redis.call('HSETNX', statuses, to, 'idle')
remember(session, request, ttl, REPLY.SENT .. now)
return {REPLY.SENT, tostring(now)}
