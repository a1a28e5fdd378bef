-- drain_inbox: the pending messages, oldest first; the inbox is empty afterwards. A drain
-- whose reply is lost loses nothing and delivers nothing twice.
--
-- The batch a drain returns stays in flight, in the field '<session id>:<request id>' of the
-- inbox's in-flight hash ('<server time in us>|<message>\n<message>...', common.lua's
-- parse_batch), until:
--   - the same session's next call settles it (common.lua): its reply arrived; deleted;
--   - the same session's next drain of this inbox finds it unsettled: its reply never
--     arrived, so its messages come first in that drain;
--   - the visibility timeout passes: the next drain by any session takes it, in front of
--     the inbox (inbox.lua shows it there meanwhile).
-- Invariants:
--   D1 a message is in exactly one place: the inbox or one in-flight batch (or delivered);
--   D2 what a drain delivers is in the order it left the inbox: the messages of the batches
--      it takes by when each left the inbox (a batch records it for messages that left
--      before its stamp), then the inbox's. So one drain's messages are in send order; a
--      batch that comes back follows what other drains took while it was in flight;
--   D3 a retry of a drain (S2), or a late copy of it, returns its batch only while that
--      batch is still its session's under the same request id and within its visibility
--      timeout, and never stamps it again; after the timeout it returns no message and
--      leaves the batch where it is, takeable by any drain (its own session's next one
--      included). So a batch is in one place at a time, and a lost one is takeable once the
--      timeout has passed since the drain that took it, however many retries follow (each
--      could otherwise be lost too, and hold it back again); a stale drain (S1) runs nothing;
--   D4 a first attempt that finds nothing to deliver writes nothing (no session, no batch);
--      a retry that finds nothing enters its session, so that a delayed copy of an earlier
--      attempt, arriving after it, runs nothing (S2);
--   D5 foreign data in the inbox or the hash is found before anything moves.
-- An empty drain that found only other sessions' batches still in flight answers IN_FLIGHT
-- with the microseconds until the first of them becomes takeable: a waiter sleeps no longer.
-- KEYS: inbox, the inbox's in-flight hash, session, [in-flight hashes to settle...]
-- ARGV: session id, request id, request ttl, visibility timeout (s), '1' on a retry else '',
--       [settled requests...]
local inbox, inflight, session = KEYS[1], KEYS[2], KEYS[3]
local sid, request, ttl, visibility = ARGV[1], ARGV[2], ARGV[3], tonumber(ARGV[4])
local retried = ARGV[5] ~= ''

-- Reads and the taking of the inbox come first; a first attempt enters the session only when
-- there is something to deliver, so an empty poll writes nothing.
-- Settling first: a delivered batch of this session is no longer its own.
if KEYS[4] then settle(KEYS, ARGV, 4, 6) end
local batches, pending, bad
batches, bad = read_batches(inflight)
if bad then return bad end
pending, bad = take_inbox(inbox)  -- the last check: it moves the messages when it passes
if bad then return bad end
if #pending == 0 and #batches == 0 and not retried then return {REPLY.DRAINED} end

local seconds, clock_error, whole, micros = server_time()
if not seconds then
  push_all(inbox, pending)
  return clock_error
end
local stamp = whole .. string.rep('0', 6 - #micros) .. micros  -- stamp_us(), inlined
local now = tonumber(stamp)
local lapse = visibility * 1000000
local function takeable(b) return b.sid == sid or now - b.stamp >= lapse end
local some = #pending > 0
for _, batch in ipairs(batches) do
  if some then break end
  some = takeable(batch)
end
if not some and not retried then return nothing(batches, now, lapse) end  -- others' only

local early = enter(session, request, ttl, REPLY.DRAINED)
if early then
  push_all(inbox, pending)  -- the inbox was emptied: this restores it exactly
  if early[1] ~= REPLY.DRAINED then return early end
  -- S2: a retry of this drain gets its batch while it is this session's and not lapsed (D3)
  local reply = {REPLY.DRAINED}
  local field = sid .. ':' .. request
  for _, batch in ipairs(batches) do
    if batch.field == field and now - batch.stamp < lapse then
      for _, blob in ipairs(batch.messages) do reply[#reply + 1] = blob end
    end
  end
  return reply
end
if not some then return nothing(batches, now, lapse) end  -- a retry: its session has its mark
local reply = {REPLY.DRAINED}
local fields, messages, orders = gather(reply, batches, takeable, pending, now)
if #fields > 0 then redis.call('HDEL', inflight, unpack(fields)) end
redis.call('HSET', inflight, sid .. ':' .. request, stamp .. '|' .. body_of(messages, orders, now))
return reply
