-- drain_inbox: the pending messages, oldest first; the inbox is empty afterwards. A drain
-- whose reply is lost loses nothing and delivers nothing twice.
--
-- The batch a drain returns stays in flight, in the field '<session id>:<request id>' of the
-- inbox's in-flight hash ('<server time in us>|<message>\n<message>...'), until:
--   - the same session's next call settles it (common.lua): its reply arrived; deleted;
--   - the same session's next drain of this inbox finds it unsettled: its reply never
--     arrived, so its messages come first in that drain;
--   - the visibility timeout passes: the next drain by any session takes it, in front of
--     the inbox (inbox.lua shows it there meanwhile).
-- Invariants:
--   D1 a message is in exactly one place: the inbox or one in-flight batch (or delivered);
--   D2 batches leave the hash oldest first and in front of the inbox, so order is kept;
--   D3 a retry of a drain (S2) returns its batch only while that batch is still its
--      session's under the same request id; once the batch has gone to another drain the
--      retry returns no message, and a stale drain (S1) runs nothing;
--   D4 a drain that finds nothing to deliver writes nothing (no session, no batch);
--   D5 foreign data in the inbox or the hash is found before anything moves.
-- KEYS: inbox, the inbox's in-flight hash, session, [in-flight hashes to settle...]
-- ARGV: session id, request id, request ttl, visibility timeout (s), [settled requests...]
local inbox, inflight, session = KEYS[1], KEYS[2], KEYS[3]
local sid, request, ttl, visibility = ARGV[1], ARGV[2], ARGV[3], tonumber(ARGV[4])

local early = begin(session, request)
if early then
  if early[1] ~= REPLY.DRAINED then return early end
  local reply = {REPLY.DRAINED}
  local held, bad = checked(redis.pcall('HGET', inflight, sid .. ':' .. request), inflight, 'hash')
  if bad then return bad end
  if held then
    local body = string.match(held, '^%d+|(.+)$')
    for blob in string.gmatch(body or '', '[^\n]+') do reply[#reply + 1] = blob end
  end
  return reply
end
settle(KEYS, ARGV, 4, 5)
local batches, pending, bad
batches, bad = read_batches(inflight)
if bad then return bad end
pending, bad = take_inbox(inbox)  -- the last check: it moves the messages when it passes
if bad then return bad end
if #pending == 0 and #batches == 0 then return {REPLY.DRAINED} end

local seconds, micros = server_time()
if not seconds then
  push_all(inbox, pending)
  return micros
end
local stamp = seconds .. string.format('%06d', micros)  -- us, printed exactly
local now = tonumber(stamp)
local lapse = visibility * 1000000
local reply = {REPLY.DRAINED}
local fields = gather(reply, batches, function(b)
  return b.sid == sid or now - b.stamp >= lapse
end, pending)
if #reply == 1 then return reply end  -- only other sessions' batches, still theirs

if #fields > 0 then redis.call('HDEL', inflight, unpack(fields)) end
local messages = {}
for i = 2, #reply do messages[i - 1] = reply[i] end
redis.call('HSET', inflight, sid .. ':' .. request, stamp .. '|' .. table.concat(messages, '\n'))
remember(session, request, ttl, REPLY.DRAINED)
return reply
