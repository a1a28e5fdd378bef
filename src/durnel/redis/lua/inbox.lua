-- inbox: the pending messages, oldest first, left in place.
-- KEYS: inbox
local messages, bad = checked(redis.pcall('LRANGE', KEYS[1], 0, -1), KEYS[1], 'list')
if bad then return bad end
local reply = {REPLY.LISTED}
for i = 1, #messages do reply[i + 1] = messages[i] end
return reply
