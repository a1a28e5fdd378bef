-- status: the agent's status, 'idle' for an agent without one. Writes nothing but the
-- settling of earlier drains (common.lua).
-- KEYS: statuses, [in-flight hashes to settle...]
-- ARGV: session id, agent, [settled requests...]
if KEYS[2] then settle(KEYS, ARGV, 2, 3) end
local status, bad = checked(redis.pcall('HGET', KEYS[1], ARGV[2]), KEYS[1], 'hash')
if bad then return bad end
return {REPLY.STATUS, status or 'idle'}
