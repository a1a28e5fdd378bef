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
--   D4 a drain that finds nothing to deliver writes nothing (no session, no batch) and reads
--      no session;
--   D5 foreign data in the inbox or the hash is found before anything moves.
-- KEYS: inbox, the inbox's in-flight hash, session, [in-flight hashes to settle...]
-- ARGV: session id, request id, request ttl, visibility timeout (s), [settled requests...]
local inbox, inflight, session = KEYS[1], KEYS[2], KEYS[3]
local sid, request, ttl, visibility = ARGV[1], ARGV[2], ARGV[3], tonumber(ARGV[4])

-- Reads and the taking of the inbox come first; the session is entered (S1-S3) only when
-- there is something to deliver, so an empty drain writes nothing and reads no session: a
-- retry or a stale copy of a drain that finds nothing returns nothing, as it should.
settle(KEYS, ARGV, 4, 5)  -- first: a delivered batch of this session is no longer its own
local batches, pending, bad
batches, bad = read_batches(inflight)
if bad then return bad end
pending, bad = take_inbox(inbox)  -- the last check: it moves the messages when it passes
if bad then return bad end
if #pending == 0 and #batches == 0 then return {REPLY.DRAINED} end

local seconds, clock_error, whole, micros = server_time()
if not seconds then
  push_all(inbox, pending)
  return clock_error
end
-- microseconds, from TIME's own digits (formatting Lua numbers is dear)
local stamp = whole .. string.rep('0', 6 - #micros) .. micros
local now = tonumber(stamp)
local lapse = visibility * 1000000
local function takeable(b) return b.sid == sid or now - b.stamp >= lapse end
local reply = {REPLY.DRAINED}
for _, batch in ipairs(batches) do
  if takeable(batch) then reply[2] = true break end
end
if #pending == 0 and not reply[2] then return {REPLY.DRAINED} end  -- others' batches only

local early = enter(session, request, ttl, REPLY.DRAINED)
if early then
  push_all(inbox, pending)  -- the inbox was emptied: this restores it exactly
  if early[1] ~= REPLY.DRAINED then return early end
  -- S2: a retry of this drain gets its batch if the batch is still this session's
  reply = {REPLY.DRAINED}
  gather(reply, batches, function(b) return b.field == sid .. ':' .. request end, {})
  return reply
end
reply = {REPLY.DRAINED}
local fields = gather(reply, batches, takeable, pending)
if #fields > 0 then redis.call('HDEL', inflight, unpack(fields)) end
local messages = {}
for i = 2, #reply do messages[i - 1] = reply[i] end
redis.call('HSET', inflight, sid .. ':' .. request, stamp .. '|' .. table.concat(messages, '\n'))
return reply
