-- status: the agent's status, 'idle' for an agent without one.
-- KEYS: statuses
-- ARGV: agent
local status, bad = checked(redis.pcall('HGET', KEYS[1], ARGV[1]), KEYS[1], 'hash')
if bad then return bad end
return {REPLY.STATUS, status or 'idle'}
