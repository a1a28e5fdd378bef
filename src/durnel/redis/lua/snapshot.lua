-- snapshot: the whole namespace at one moment, for durnel.snapshot (durnel show and watch).
-- Registered with the flag no-writes and called with FCALL_RO: it writes nothing, not even
-- the settling of earlier drains, and the server would refuse any write.
--
-- Every mailbox that holds messages belongs to an agent of the roster (a send registers its
-- recipient, a broadcast reaches only registered agents), so the roster's inboxes and
-- in-flight hashes are all the mailboxes there are and no key needs to be scanned.
-- A mailbox's length is what inbox() lists at this moment: the pending messages, behind the
-- in-flight batches (drain.lua) whose visibility timeout has passed, which the next drain
-- delivers again. Batches still within their timeout are not counted: their drain's reply
-- reached a client, whose next call (or whose settler, a second later) settles them. The
-- oldest message is the first of that list.
-- The log's events are numbered by the stream's count of the entries ever added to it (XINFO
-- STREAM's entries-added): the newest is that count, the one before it one less, and so on.
-- That holds while entries leave the stream only from its front, as trimming (MAXLEN) takes
-- them; an entry deleted from the middle (XDEL, which durnel never does) shows as a
-- max-deleted-entry-id at or past the first entry left, and is refused as foreign data.
-- Reply: {REPLY.OK, json} where json is the array
--   [now, roster, claims, mailboxes, log length, log tail, number of the newest event,
--    presence, claim waiters, mail waiters, claims whose holder's object died]
-- roster and claims as HGETALL gives them (field, value, ...; the claims without their
-- tokens), mailboxes as
-- (agent, length, sent_at of the oldest message, ...), the log tail newest first as XREVRANGE
-- gives it. One JSON string is far cheaper for the client to read than thousands of replies.
-- After them come the presence hash as HGETALL gives it, and the claim waiters: for each
-- resource of the index of queues, its live tickets in line order (a ticket whose process's
-- hub is gone is not waiting: wait_claim.lua) as [resource, position, arrival (us), who]
-- with who as the ticket's record (common.lua's caller_record) or null; and the mail
-- waiters of live hubs as [member, since] (common.lua's looked()).
-- KEYS: claims, statuses, log, presence, queues, mail waiters
-- ARGV: log tail (events), inbox key prefix, in-flight key prefix, visibility timeout (s),
--       queue key prefix, turns key prefix, hub channel prefix
local claims, statuses, log = KEYS[1], KEYS[2], KEYS[3]
local tail, inbox_prefix, inflight_prefix = tonumber(ARGV[1]), ARGV[2], ARGV[3]
local visibility = tonumber(ARGV[4])
local presence, queues, mailwaiters = KEYS[4], KEYS[5], KEYS[6]
local queue_prefix, turns_prefix, hub_prefix = ARGV[5], ARGV[6], ARGV[7]

local bad
local roster, held, length
roster, bad = checked(redis.pcall('HGETALL', statuses), statuses, 'hash')
if bad then return bad end
local fields
fields, bad = checked(redis.pcall('HGETALL', claims), claims, 'hash')
if bad then return bad end
held = {}
local orphans = {}  -- claims tied to an object whose alive key is gone (common.lua's tie)
for i = 1, #fields, 2 do  -- the claims, not their tokens ('#<resource>': take_claim)
  if string.byte(fields[i]) ~= 35 then
    held[#held + 1] = fields[i]
    held[#held + 1] = fields[i + 1]
  elseif string.byte(fields[i], 2) == 64
      and redis.call('EXISTS', sibling(claims, 'alive:' .. fields[i + 1])) == 0 then
    orphans[#orphans + 1] = string.sub(fields[i], 3)
  end
end
length, bad = checked(redis.pcall('XLEN', log), log, 'stream')
if bad then return bad end
local now, micros = server_time()
if not now then return micros end
local now_us, lapse = now * 1000000 + micros, visibility * 1000000
local events, newest = {}, 0
if length > 0 then
  local info = redis.call('XINFO', 'STREAM', log)
  local field = {}
  for i = 1, #info, 2 do field[info[i]] = info[i + 1] end
  local function parts(id)
    local ms, seq = string.match(id, '^(%d+)-(%d+)$')
    return tonumber(ms), tonumber(seq)
  end
  local deleted_ms, deleted_seq = parts(field['max-deleted-entry-id'])
  local first_ms, first_seq = parts(field['first-entry'][1])
  if deleted_ms > first_ms or (deleted_ms == first_ms and deleted_seq >= first_seq) then
    return foreign(log, 'entries were deleted from its middle (XDEL), which durnel never does')
  end
  newest = field['entries-added']
  if tail > 0 then events = redis.call('XREVRANGE', log, '+', '-', 'COUNT', tail) end
end

-- a message is '[sent_at,"from","content"]': the stamp is all that is needed
local function sent_at(blob)
  return tonumber(string.match(blob, '^%[(%d+),"'))
end

-- Two commands per agent are most of the script's time: the loop keeps to them and inlines
-- the type checks (a function call per agent shows). In-flight hashes are few and short-lived
-- (settled within a second), so one EXISTS per CHUNK agents finds most chunks without any,
-- and only the agents of a chunk that has one are looked at one by one.
local CHUNK = 100
local boxes = {}
for first = 1, #roster, 2 * CHUNK do
  local last = math.min(first + 2 * CHUNK - 2, #roster - 1)
  local inflights = {}
  for i = first, last, 2 do inflights[#inflights + 1] = inflight_prefix .. roster[i] end
  local some_inflight = redis.call('EXISTS', unpack(inflights)) > 0
  for i = first, last, 2 do
    local inbox = inbox_prefix .. roster[i]
    local count = redis.pcall('LLEN', inbox)
    if type(count) == 'table' then
      local _, wrong = checked(count, inbox, 'list')
      return wrong
    end
    local oldest
    if count > 0 then
      oldest = sent_at(redis.call('LINDEX', inbox, 0))
      if not oldest then
        return {REPLY.FOREIGN, inbox, 'its oldest element is not a message that durnel wrote'}
      end
    end
    if some_inflight then
      local inflight = inflights[(i - first) / 2 + 1]
      local batches = redis.pcall('HLEN', inflight)
      if type(batches) == 'table' then
        local _, wrong = checked(batches, inflight, 'hash')
        return wrong
      end
      if batches > 0 then
        batches, bad = read_batches(inflight)  -- oldest first
        if bad then return bad end
        local head
        for _, batch in ipairs(batches) do
          if now_us - batch.stamp >= lapse then
            local at = sent_at(batch.messages[1])
            if not at then
              return foreign(inflight, 'field ' .. batch.field .. ' is not a batch')
            end
            head = head or at
            count = count + #batch.messages
          end
        end
        oldest = head or oldest
      end
    end
    if count > 0 then
      boxes[#boxes + 1] = roster[i]
      boxes[#boxes + 1] = count
      boxes[#boxes + 1] = oldest
    end
  end
end
local seen
seen, bad = checked(redis.pcall('HGETALL', presence), presence, 'hash')
if bad then return bad end
local resources
resources, bad = checked(redis.pcall('SMEMBERS', queues), queues, 'set')
if bad then return bad end
table.sort(resources)
local lines, alive = {}, {}
local function live(ticket)
  local hub = string.match(ticket, '^(.*):%d+$') or ''
  if alive[hub] == nil then
    alive[hub] = redis.call('PUBSUB', 'SHARDNUMSUB', hub_prefix .. hub)[2] > 0
  end
  return alive[hub]
end
for _, resource in ipairs(resources) do
  local queue, turns = queue_prefix .. resource, turns_prefix .. resource
  local tickets
  tickets, bad = checked(redis.pcall('ZRANGE', queue, 0, -1, 'WITHSCORES'), queue, 'zset')
  if bad then return bad end
  local position = 0
  for i = 1, #tickets, 2 do
    local ticket = tickets[i]
    if live(ticket) then
      local who
      who, bad = checked(redis.pcall('HGET', turns, 'who:' .. ticket), turns, 'hash')
      if bad then return bad end
      position = position + 1
      lines[#lines + 1] = {resource, position, tickets[i + 1], who or cjson.null}
    end
  end
end
local mail, waiting = {}
waiting, bad = checked(redis.pcall('ZRANGE', mailwaiters, 0, -1, 'WITHSCORES'), mailwaiters,
                       'zset')
if bad then return bad end
for i = 1, #waiting, 2 do
  if live(string.match(waiting[i], '^([^|]*)|') or '') then
    mail[#mail + 1] = {waiting[i], waiting[i + 1]}
  end
end
return {REPLY.OK, cjson.encode({now, roster, held, boxes, length, events, newest, seen, lines,
                                mail, orphans})}
