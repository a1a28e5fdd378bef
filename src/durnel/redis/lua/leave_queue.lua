-- leave_queue: a claim waiter gives up (a timeout, a cancellation, an error): its ticket
-- leaves the resource's queue (wait_claim.lua) and the other waiters are woken, so that the
-- next one in line takes its turn at once. Idempotent: no session.
-- KEYS: queue
-- ARGV: ticket, the resource's wake channel
local removed, bad = checked(redis.pcall('ZREM', KEYS[1], ARGV[1]), KEYS[1], 'zset')
if bad then return bad end
if removed > 0 then wake(ARGV[2]) end
return {REPLY.OK}
