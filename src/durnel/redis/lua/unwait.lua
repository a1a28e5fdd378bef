-- unwait: a message wait that ended without its last look (an error, a cancellation, a
-- timeout reached during its last look) takes its ticket out of the mail waiters (common.lua's
-- looked()). Running it twice changes nothing more.
-- KEYS: mail waiters
-- ARGV: ticket
local waiters, prefix = KEYS[1], ARGV[1] .. '|'
local members = redis.pcall('ZRANGE', waiters, 0, -1)
if type(members) ~= 'table' or members.err then return {REPLY.OK} end  -- foreign: snapshots say so
for _, member in ipairs(members) do
  if string.sub(member, 1, #prefix) == prefix then redis.call('ZREM', waiters, member) end
end
return {REPLY.OK}
