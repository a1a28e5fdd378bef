-- snapshot: the whole namespace at one moment, for durnel show / watch; writes nothing.
-- Every mailbox that holds messages belongs to an agent of the roster (a send registers its
-- recipient, a broadcast reaches only registered agents), so the roster's inboxes are all the
-- mailboxes there are and no key needs to be scanned.
-- Reply: {REPLY.OK, json} where json is the array
--   [now, roster, claims, mailboxes, log length, log tail]
-- roster and claims as HGETALL gives them (field, value, ...), mailboxes as
-- (agent, length, sent_at of the oldest message, ...), the log tail newest first as XREVRANGE
-- gives it. One JSON string is far cheaper for the client to read than thousands of replies.
-- KEYS: claims, statuses, log
-- ARGV: log tail (events), inbox key prefix
local claims, statuses, log = KEYS[1], KEYS[2], KEYS[3]
local tail, inbox_prefix = tonumber(ARGV[1]), ARGV[2]

local bad
local roster, held, length
roster, bad = checked(redis.pcall('HGETALL', statuses), statuses, 'hash')
if bad then return bad end
held, bad = checked(redis.pcall('HGETALL', claims), claims, 'hash')
if bad then return bad end
length, bad = checked(redis.pcall('XLEN', log), log, 'stream')
if bad then return bad end
local now, clock_error = server_seconds()
if not now then return clock_error end
local events = {}
if tail > 0 and length > 0 then events = redis.call('XREVRANGE', log, '+', '-', 'COUNT', tail) end

-- Two commands per agent are most of the script's time: the loop keeps to them and inlines
-- the type check (a function call per agent shows).
local boxes = {}
for i = 1, #roster, 2 do
  local inbox = inbox_prefix .. roster[i]
  local count = redis.pcall('LLEN', inbox)
  if type(count) == 'table' then
    local _, wrong = checked(count, inbox, 'list')
    return wrong
  end
  if count > 0 then
    -- a message is '[sent_at, "from", "content"]': the stamp is all that is needed
    local sent_at = tonumber(string.match(redis.call('LINDEX', inbox, 0), '^%[(%-?%d+)[,%]]'))
    if not sent_at then
      return {REPLY.FOREIGN, inbox, 'its oldest element is not a message that durnel wrote'}
    end
    boxes[#boxes + 1] = roster[i]
    boxes[#boxes + 1] = count
    boxes[#boxes + 1] = sent_at
  end
end
return {REPLY.OK, cjson.encode({now, roster, held, boxes, length, events})}
