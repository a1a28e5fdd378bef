-- inbox: the pending messages, oldest first, left in place.
-- KEYS: inbox
local bad = wrong_type(KEYS[1], 'list')
if bad then return bad end
local reply = {'l'}
for _, message in ipairs(redis.call('LRANGE', KEYS[1], 0, -1)) do reply[#reply + 1] = message end
return reply
