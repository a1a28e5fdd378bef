-- status: the agent's status, 'idle' for an agent without one.
-- KEYS: statuses
-- ARGV: agent
local bad = wrong_type(KEYS[1], 'hash')
if bad then return bad end
return {'s', redis.call('HGET', KEYS[1], ARGV[1]) or 'idle'}
