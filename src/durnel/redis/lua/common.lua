-- The head of the durnel function library: the session (replay and order of requests), the
-- settling of drains, type checks, the server clock and the log. It runs once, when the
-- library is loaded; each script below it is the body of one registered function, whose
-- parameters are named KEYS and ARGV.
--
-- Replies are arrays whose first element is a tag from the table REPLY, defined before this
-- file from the class Reply of scripts.py, which says what each tag's reply holds. Refusals
-- carry only the holder; the engine words them.
--
-- Every script changes everything it means to or nothing at all: each key is checked before
-- the first write that could leave a change behind. A key the script reads is checked by that
-- read (run with pcall); the first write checks its own key (pcall); a later write whose key
-- was not read is undone if it fails (the session put back, XDEL of the events just added,
-- RPOP of copies just pushed), which leaves nothing behind but the stream's last id. No TYPE
-- is ever run but to name the type found in a refusal.
--
-- Sessions. A session is one client thread (or task): a random id and a counter that gives
-- each call a request id. The session key holds '<request id>|<encoded reply>' of the latest
-- request that changed anything. Invariants:
--   S1 a session's request ids only grow, so a request below the latest one is stale (a
--      delayed packet, a retry overtaken by a later call): nothing runs, the reply is STALE;
--   S2 the latest request arriving again (a retry after a lost reply) gets its first reply
--      and runs nothing;
--   S3 a request above the latest one is new; a call that changes nothing (a refusal is a
--      change: it is remembered) may leave the session key as it was.
-- A script works its reply out from reads, then writes the session and reads its previous
-- value in one command (enter); on S1, S2 or a foreign value it puts the previous value back.
-- Settling. Trailing KEYS beyond a script's own are in-flight hashes (see drain.lua) and the
-- trailing ARGV beyond its own the drain request ids whose replies reached the client: each
-- such batch is deleted, for it has been delivered. Settling is idempotent (the batch's field
-- names its request), so a retried call may carry it again. Every script settles first,
-- whatever it answers afterwards (a refusal, foreign data, a stale or replayed request):
-- settling only acknowledges what was delivered, so it is right whenever it runs, and the
-- client counts the batches settled on any reply. A key that is not a hash holds no batch.
-- (Scripts call settle() only when there is something to settle: most calls carry nothing.)

-- The reply of a pcall on `key`, or nil and the wrong-type reply when the key holds another
-- type; any other error is raised as it is.
local function checked(reply, key, wanted)
  if type(reply) == 'table' and reply.err then
    if string.find(reply.err, 'WRONGTYPE', 1, true) then
      return nil, {REPLY.WRONG_TYPE, key, redis.call('TYPE', key)['ok'], wanted}
    end
    error(reply)
  end
  return reply
end

local function foreign(key, what)
  return {REPLY.FOREIGN, key, what}
end

local function as_reply(encoded)
  return {string.sub(encoded, 1, 1), string.sub(encoded, 2)}
end

-- The session's latest request id and its encoded reply from a stored value; nil if the value
-- is not one that durnel writes.
local function parse_session(stored)
  local latest, encoded = string.match(stored, '^(%d+)|(.*)$')
  return tonumber(latest), encoded
end

-- What to answer at once, or nil for a new request (S1-S3); also the reply for a session key
-- that durnel did not write. Reads only (drain's empty case writes nothing).
local function begin(session, request)
  local stored, bad = checked(redis.pcall('GET', session), session, 'string')
  if bad then return bad end
  if not stored then return nil end
  local latest, encoded = parse_session(stored)
  if not latest then return foreign(session, 'is not a durnel session') end
  request = tonumber(request)
  if request < latest then return {REPLY.STALE} end
  if request == latest then return as_reply(encoded) end
  return nil
end

-- begin() and the write of the session in one command (SET ... GET), for a script that has
-- worked out its reply `encoded` from reads alone: returns nil and the session's previous
-- value (false if none) for a new request; otherwise puts the previous value back and
-- returns what to answer at once (S1, S2 or foreign data).
local function enter(session, request, ttl, encoded)
  local old = redis.pcall('SET', session, request .. '|' .. encoded, 'EX', ttl, 'GET')
  if type(old) == 'table' and old.err then
    local _, bad = checked(old, session, 'string')
    return bad
  end
  if not old then return nil, false end
  local latest, reply = parse_session(old)
  request = tonumber(request)
  if latest and request > latest then return nil, old end
  redis.call('SET', session, old, 'EX', ttl)
  if not latest then return foreign(session, 'is not a durnel session') end
  if request < latest then return {REPLY.STALE} end
  return as_reply(reply)
end

-- Takes back enter(): the session as it was (`old` from enter()).
local function leave(session, old, ttl)
  if old then redis.call('SET', session, old, 'EX', ttl) else redis.call('DEL', session) end
end

local function remember(session, request, ttl, encoded)
  redis.call('SET', session, request .. '|' .. encoded, 'EX', ttl)
end

-- Deletes the delivered batches named by keys[first_key..] and args[first_arg..] (see above);
-- args[1] is always the session id, and a batch's field is '<session id>:<request id>'.
local function settle(keys, args, first_key, first_arg)
  for i = first_key, #keys do
    redis.pcall('HDEL', keys[i], args[1] .. ':' .. args[first_arg + i - first_key])
  end
end

-- The claim stored under `resource`, '<last stamp>:<holder>' with the stamp a non-negative
-- decimal integer as durnel writes it, as its stamp and holder; nil when there is none (a
-- key starting with '#' names a claim's token, never a claim); or nil, nil and the reply for
-- a claims key of another type or a field that durnel did not write (inf, nan, 1e99, 0x10,
-- ' 5', 1.5, -3, 007 are all refused).
local function read_claim(claims, resource)
  if string.byte(resource) == 35 then return nil end  -- '#': a claim's token (take_claim)
  local stored, bad = checked(redis.pcall('HGET', claims, resource), claims, 'hash')
  if bad then return nil, nil, bad end
  if not stored then return nil end
  local stamp, holder = string.match(stored, '^(%d+):(.*)$')
  if not stamp or #stamp > 15 or (#stamp > 1 and string.byte(stamp) == 48) then
    return nil, nil, foreign(claims, 'field ' .. resource .. ' is not a claim')
  end
  return tonumber(stamp), holder
end

-- Seconds and microseconds of the server's clock, and the seconds as TIME printed them (for
-- stamps: formatting a Lua number costs more than the rest of a stamp's work); or nil and the
-- clock error reply before 1970.
local function server_time()
  local time = redis.call('TIME')
  local seconds = tonumber(time[1])
  if seconds < 0 then return nil, {REPLY.CLOCK, time[1], time[2]} end
  return seconds, tonumber(time[2]), time[1], time[2]
end

-- A stamp in microseconds from TIME's two readings as it printed them (no Lua number is
-- formatted: that is dear).
local function stamp_us(whole, micros)
  return whole .. string.rep('0', 6 - #micros) .. micros
end

-- A message as durnel writes it: '[<sent_at>,"<from>","<content>"]' (JSON).
local function encode_message(at, from, content)
  return '[' .. at .. ',' .. cjson.encode(from) .. ',' .. cjson.encode(content) .. ']'
end

-- Appends one event to the log; returns its id, or nil and the reply for a log key that is not
-- a stream or a stream that refuses the event (one whose last id is the highest there is):
-- the caller takes back what it wrote before.
local function log_event(log, maxlen, ...)
  local reply
  if maxlen == '' then
    reply = redis.pcall('XADD', log, '*', ...)
  else
    reply = redis.pcall('XADD', log, 'MAXLEN', '~', maxlen, '*', ...)
  end
  if type(reply) == 'table' and reply.err then
    if string.find(reply.err, 'WRONGTYPE', 1, true) then
      return nil, {REPLY.WRONG_TYPE, log, redis.call('TYPE', log)['ok'], 'stream'}
    end
    return nil, foreign(log, 'refused an event: ' .. reply.err)
  end
  return reply
end

-- Writes `value` into field `field` of the hash `key` with `command` (HSET or HSETNX) as a
-- write that may find a foreign key: on failure the log events `ids` are taken back and the
-- refusal returned (the caller takes back what else it wrote).
local function set_or_undo(command, key, field, value, log, ids)
  local done = redis.pcall(command, key, field, value)
  if type(done) == 'table' and done.err then
    redis.call('XDEL', log, unpack(ids))
    if string.find(done.err, 'WRONGTYPE', 1, true) then
      return {REPLY.WRONG_TYPE, key, redis.call('TYPE', key)['ok'], 'hash'}
    end
    return foreign(key, 'refused a write: ' .. done.err)
  end
  return nil
end

-- Gives `resource` to `agent` at the stamp `at`, over the lapsed claim of `previous` (nil if
-- there was none): the Claimed event (and Released for the previous holder), the agent's busy
-- status, then the claim and its token under '#<resource>': the request that took it
-- ('<session id>:<request id>'), which tells this claim from any later one of the same agent
-- in the same second (abandon_claim.lua). Returns nil, or the refusal with the events taken
-- back; the caller takes back its session.
local function take_claim(claims, statuses, log, maxlen, agent, resource, at, previous, token)
  local ids, bad = {}
  ids[1], bad = log_event(log, maxlen, 'event', 'Claimed', 'agent', agent, 'resource', resource,
                          'at', at)
  if bad then return bad end
  if previous then
    ids[2], bad = log_event(log, maxlen, 'event', 'Released', 'agent', previous, 'resource',
                            resource, 'at', at)
    if bad then
      redis.call('XDEL', log, ids[1])
      return bad
    end
  end
  bad = set_or_undo('HSET', statuses, agent, 'busy', log, ids)
  if bad then return bad end
  redis.call('HSET', claims, resource, at .. ':' .. agent, '#' .. resource, token)
  return nil
end

-- Wakes whoever waits on `channel` (sharded pub/sub: the channel carries the namespace's hash
-- tag, so it lives in the namespace's slot). Nobody subscribed costs one dictionary lookup.
local function wake(channel)
  redis.call('SPUBLISH', channel, '')
end

-- Takes `resource` from `agent` at the stamp `at`: the Released event, the agent idle, the
-- claim and its token gone, and whoever waits for it woken on `channel`. Returns nil, or the
-- refusal with the event taken back (the caller takes back its session).
local function drop_claim(claims, statuses, log, maxlen, agent, resource, at, channel)
  local id, bad = log_event(log, maxlen, 'event', 'Released', 'agent', agent, 'resource',
                            resource, 'at', at)
  if not bad then bad = set_or_undo('HSET', statuses, agent, 'idle', log, {id}) end
  if bad then return bad end
  redis.call('HDEL', claims, resource, '#' .. resource, '#@' .. resource)
  wake(channel)
  return nil
end

-- Whether `text` is valid UTF-8: no stray or missing continuation byte, no overlong form, no
-- surrogate, nothing beyond U+10FFFF (what Python's strict decoder accepts).
local function valid_utf8(text)
  local i, n = 1, #text
  while i <= n do
    local c = string.byte(text, i)
    if c < 128 then
      i = i + 1
    else
      local length, low, high
      if c >= 0xC2 and c <= 0xDF then length, low, high = 2, 0x80, 0xBF
      elseif c == 0xE0 then length, low, high = 3, 0xA0, 0xBF
      elseif c == 0xED then length, low, high = 3, 0x80, 0x9F
      elseif c >= 0xE1 and c <= 0xEF then length, low, high = 3, 0x80, 0xBF
      elseif c == 0xF0 then length, low, high = 4, 0x90, 0xBF
      elseif c >= 0xF1 and c <= 0xF3 then length, low, high = 4, 0x80, 0xBF
      elseif c == 0xF4 then length, low, high = 4, 0x80, 0x8F
      else return false end
      local second = string.byte(text, i + 1)
      if not second or second < low or second > high then return false end
      for j = i + 2, i + length - 1 do
        local next_byte = string.byte(text, j)
        if not next_byte or next_byte < 0x80 or next_byte > 0xBF then return false end
      end
      i = i + length
    end
  end
  return true
end

-- Whether `blob` is a message as durnel writes it: '[<sent_at>,"<from>","<content>"]', the
-- stamp digits without a leading zero, the texts valid UTF-8 with every control character
-- escaped and no surrogate escaped (cjson.encode writes nothing else), so that whatever
-- passes here the engine reads back as durnel wrote it. (No pattern over the whole blob: one
-- with '.*' backtracks and costs more than the decoding.)
local function is_message(blob)
  local digits = string.match(blob, '^%[(%d+),"')
  if not digits or string.sub(blob, -2) ~= '"]' then return false end
  if #digits > 1 and string.byte(digits) == 48 then return false end
  -- (one scan for the rare bytes, one plain search for the rare escape)
  if string.find(blob, '[%z\1-\31\128-\255]') then
    if string.find(blob, '[%z\1-\31]') or not valid_utf8(blob) then return false end
  end
  if string.find(blob, '\\u', 1, true) and string.find(blob, '\\u[dD][89a-fA-F]') then
    return false
  end
  local ok, decoded = pcall(cjson.decode, blob)
  return ok and type(decoded) == 'table' and #decoded == 3 and type(decoded[2]) == 'string'
    and type(decoded[3]) == 'string'
end

-- nil if `messages` are all messages as durnel writes them, else the foreign data reply.
local function foreign_message(inbox, messages)
  for i = 1, #messages do
    if not is_message(messages[i]) then
      return foreign(inbox, 'element ' .. i .. ' is not a message that durnel wrote')
    end
  end
  return nil
end

-- The inbox's messages, oldest first, left in place; or nil and the reply for a key of
-- another type or an element that durnel did not write.
local function read_inbox(inbox)
  local messages, bad = checked(redis.pcall('LRANGE', inbox, 0, -1), inbox, 'list')
  if bad then return nil, bad end
  bad = foreign_message(inbox, messages)
  if bad then return nil, bad end
  return messages
end

-- Appends `messages` to the list `key`, in order.
local function push_all(key, messages)
  for i = 1, #messages, 1000 do
    redis.call('RPUSH', key, unpack(messages, i, math.min(i + 999, #messages)))
  end
end

-- The inbox's messages, oldest first, taken out of it (LPOP with a count: the read and the
-- removal in one command); or nil and the reply for a key of another type or an element that
-- durnel did not write, and then the inbox is as it was.
local function take_inbox(inbox)
  local messages, bad = checked(redis.pcall('LPOP', inbox, 2147483647), inbox, 'list')
  if bad then return nil, bad end
  if not messages then return {} end
  bad = foreign_message(inbox, messages)
  if bad then
    push_all(inbox, messages)  -- the list was emptied: this restores it exactly
    return nil, bad
  end
  return messages
end

-- One batch in flight, from its field '<session id>:<request id>' and its value
-- '<stamp>|<body>' (see drain.lua): {field, sid, request, stamp, messages, orders}, or nil and
-- the reply for a value that durnel did not write. The stamp is the server time (us) from
-- which the batch's visibility timeout counts; the body its messages one a line, oldest first,
-- each checked. A line '@<us>' says when the messages after it left the inbox where that is
-- not the stamp (a batch that gathered earlier ones, one given back: drain.lua,
-- abandon.lua); `orders` holds that moment for each message.
local function parse_batch(inflight, field, value)
  local sid, request = string.match(field, '^(.*):(%d+)$')
  local stamp, body = string.match(value, '^(%d+)|(.+)$')
  if not sid or not stamp then
    return nil, foreign(inflight, 'field ' .. field .. ' is not a batch')
  end
  stamp = tonumber(stamp)
  local messages, orders, order = {}, {}, stamp
  for line in string.gmatch(body, '[^\n]+') do
    if string.byte(line) == 64 then  -- '@'
      order = tonumber(string.match(line, '^@(%d+)$'))
      if not order then return nil, foreign(inflight, 'field ' .. field .. ' is not a batch') end
    elseif is_message(line) then
      messages[#messages + 1] = line
      orders[#orders + 1] = order
    else
      return nil, foreign(inflight, 'field ' .. field .. ' holds an element that is not a '
        .. 'message that durnel wrote')
    end
  end
  if #messages == 0 then return nil, foreign(inflight, 'field ' .. field .. ' is not a batch') end
  return {field = field, sid = sid, request = request, stamp = stamp, messages = messages,
          orders = orders}
end

-- The batches in flight from the inbox whose in-flight hash is `inflight` (parse_batch), in
-- the order their first messages left the inbox; or nil and the reply for a key of another
-- type or a field that durnel did not write.
local function read_batches(inflight)
  local flat, bad = checked(redis.pcall('HGETALL', inflight), inflight, 'hash')
  if bad then return nil, bad end
  local batches = {}
  for i = 1, #flat, 2 do
    local batch
    batch, bad = parse_batch(inflight, flat[i], flat[i + 1])
    if bad then return nil, bad end
    batches[#batches + 1] = batch
  end
  if #batches > 1 then
    table.sort(batches, function(a, b) return a.orders[1] < b.orders[1] end)
  end
  return batches
end

-- The body of a batch stamped `stamp` (parse_batch) holding `messages`, which left the inbox
-- at `orders` (in that order).
local function body_of(messages, orders, stamp)
  local lines, order = {}, stamp
  for i = 1, #messages do
    if orders[i] ~= order then
      order = orders[i]
      lines[#lines + 1] = string.format('@%d', order)
    end
    lines[#lines + 1] = messages[i]
  end
  return table.concat(lines, '\n')
end

-- A drain's reply when it delivers nothing and `batches` are all other sessions' and within
-- their visibility timeout (`lapse` us, at `now` us): IN_FLIGHT with the microseconds until
-- the first of them becomes takeable, or DRAINED when there is none.
local function nothing(batches, now, lapse)
  local first
  for _, batch in ipairs(batches) do
    if not first or batch.stamp < first then first = batch.stamp end
  end
  if not first then return {REPLY.DRAINED} end
  return {REPLY.IN_FLIGHT, string.format('%d', first + lapse - now)}
end

-- Appends to `reply` the messages of `batches` (those for which `take(batch)` holds) in the
-- order they left the inbox, then `rest`, which leaves it at `now`; returns the fields of the
-- batches taken, and the messages delivered and when each left the inbox (body_of).
local function gather(reply, batches, take, rest, now)
  local fields, entries = {}, {}
  for _, batch in ipairs(batches) do
    if take(batch) then
      fields[#fields + 1] = batch.field
      for j, blob in ipairs(batch.messages) do
        entries[#entries + 1] = {batch.orders[j], #entries, blob}
      end
    end
  end
  if #fields > 1 then  -- batches that gathered earlier ones interleave
    table.sort(entries, function(a, b) return a[1] < b[1] or (a[1] == b[1] and a[2] < b[2]) end)
  end
  local messages, orders = {}, {}
  for i, entry in ipairs(entries) do
    messages[i], orders[i] = entry[3], entry[1]
    reply[#reply + 1] = entry[3]
  end
  for i = 1, #rest do
    messages[#messages + 1], orders[#orders + 1] = rest[i], now
    reply[#reply + 1] = rest[i]
  end
  return fields, messages, orders
end

-- Presence (presence.py). The caller of the running function: its agent, its record
-- '<pid>|<object id>|<host>' and, for an object opened with ephemeral_claims, its object id
-- (else ''), set by noted() before the body runs.
local caller = {agent = '', where = '', mortal = ''}

-- The key `name` of the namespace that `key` belongs to ('durnel:{N}:<name>').
local function sibling(key, name)
  return string.match(key, '^(durnel:%b{}:)') .. name
end

-- Who the caller is, as a waiter's record: '["<agent>","<pid>|<object id>|<host>"]' (JSON:
-- an agent id may hold any character).
local function caller_record()
  return cjson.encode({caller.agent, caller.where})
end

-- The members of the mail waiters whose process's hub is gone (a process killed while it
-- waited, which never made its last look): taken out whenever a wait joins or leaves, so that
-- what a dead process left lasts only until the next message wait of the namespace comes or
-- goes. A hub reconnecting at that moment loses its members until its waiters' next looks.
local function forget_dead_mail_waiters(waiters)
  local members = redis.pcall('ZRANGE', waiters, 0, -1)
  if type(members) ~= 'table' or members.err then return end  -- foreign: snapshots say so
  local hubs, alive = sibling(waiters, 'wake:hub:'), {}
  for _, member in ipairs(members) do
    local hub = string.match(member, '^([^|]*):%d+|') or ''
    if alive[hub] == nil then
      alive[hub] = redis.call('PUBSUB', 'SHARDNUMSUB', hubs .. hub)[2] > 0
    end
    if not alive[hub] then redis.call('ZREM', waiters, member) end
  end
end

-- A message wait's look (a drain): '+<ticket>' while it waits on, '-<ticket>' for its last.
-- The namespace's mail waiters (a sorted set, 'mailwaiters') hold '<ticket>|<record>' scored
-- by when the wait's first look found nothing (server seconds); the member leaves with the
-- look that delivers or the last one. (A member whose process's hub is gone is not listed:
-- snapshot.lua, and goes when a wait next joins or leaves; one left by a wait that failed is
-- taken out by the wait itself: unwait.lua.)
local function looked(presence, mail, reply)
  local kind = reply[1]
  if kind ~= REPLY.DRAINED and kind ~= REPLY.IN_FLIGHT then return end
  local waiters = sibling(presence, 'mailwaiters')
  local member = string.sub(mail, 2) .. '|' .. caller_record()
  if string.byte(mail) == 45 or #reply > 1 then  -- '-': the last look; or messages delivered
    if redis.pcall('ZREM', waiters, member) == 1 then forget_dead_mail_waiters(waiters) end
  elseif redis.pcall('ZSCORE', waiters, member) == false then
    forget_dead_mail_waiters(waiters)
    redis.pcall('ZADD', waiters, 'NX', redis.call('TIME')[1], member)
  end
end

-- Runs a function's `body` for a call that carries its caller (presence.py). The call's
-- last argument is its control: '' when there is nothing to do (the presence recorded less
-- than a second ago, no message wait, no ephemeral claims: most calls), run at once; else
-- '<record>|<mail>|<mortal>|<where>', and the agent is the argument before it and the
-- presence hash the last key: <record> '1' writes the agent's presence, <mail> is a message
-- wait's look (looked()), <mortal> the object id of an object opened with ephemeral_claims
-- (tie()), <where> the caller's '<pid>|<object id>|<host>'. All of it is taken off before
-- the body sees KEYS and ARGV. Once the body has answered with anything but an error or a
-- stale request, the agent's presence is written with the server's clock. A presence hash
-- of another type refuses the call before the body runs, after the settling the body would
-- have done (its KEYS from `first_key`, ARGV from `first_arg`). With a record written, the
-- alive key of an object with ephemeral_claims is set again too.
local function noted(body, KEYS, ARGV, first_key, first_arg)
  local last = #ARGV
  local control = ARGV[last]
  ARGV[last] = nil
  if control == '' then
    caller.mortal = ''
    return body(KEYS, ARGV)
  end
  caller.agent = ARGV[last - 1]
  ARGV[last - 1] = nil
  local presence = KEYS[#KEYS]
  KEYS[#KEYS] = nil
  local record, mail, mortal, where = string.match(control, '^(%d)|([^|]*)|([^|]*)|(.*)$')
  caller.mortal, caller.where = mortal, where
  if record == '1' then
    local _, bad = checked(redis.pcall('HLEN', presence), presence, 'hash')
    if bad then
      if KEYS[first_key] then settle(KEYS, ARGV, first_key, first_arg) end
      return bad
    end
    if mortal ~= '' then  -- the keeper's key, set before any claim of this call
      redis.call('SET', sibling(presence, 'alive:' .. mortal), '1', 'EX', ALIVE_TTL)
    end
  end
  local reply = body(KEYS, ARGV)
  local kind = reply[1]
  if kind == REPLY.WRONG_TYPE or kind == REPLY.FOREIGN or kind == REPLY.CLOCK
      or kind == REPLY.STALE then
    return reply
  end
  if record == '1' then
    redis.call('HSET', presence, caller.agent, redis.call('TIME')[1] .. '|' .. where)
  end
  if mail ~= '' then looked(presence, mail, reply) end
  return reply
end

-- Frees `resource` whoever holds it, for an operator (revoke.lua): the Revoked event naming
-- the holder `holder` and `by` at the stamp `at`, the claim and its token gone, the waiters
-- woken on `channel`; the holder's status is left as it is, as a takeover leaves it. Returns
-- nil, or the refusal (nothing changed; the caller takes back its session).
local function revoke_claim(claims, log, maxlen, resource, holder, by, at, channel)
  local _, bad = log_event(log, maxlen, 'event', 'Revoked', 'agent', holder, 'resource',
                           resource, 'from_agent', by, 'at', at)
  if bad then return bad end
  redis.call('HDEL', claims, resource, '#' .. resource, '#@' .. resource)
  wake(channel)
  return nil
end

-- A claim waiter's ticket joins the queue of `resource` (wait_claim.lua): who it is
-- (caller_record(), under 'who:<ticket>' in the turns hash), and the
-- resource in the namespace's index of queues (a set), which snapshots read. A resource
-- leaves the index when its queue empties; one whose queue expired stays in it, empty,
-- until its next waiter.
local function joined(turns, resource, ticket)
  redis.call('HSET', turns, 'who:' .. ticket, caller_record())
  redis.pcall('SADD', sibling(turns, 'queues'), resource)  -- a foreign index: snapshots say so
end

-- Claims that die with their holder (ephemeral_claims, liveness.py). A claim taken or renewed
-- through such an object names it under '#@<resource>' in the claims hash; the object's
-- keeper holds 'durnel:{N}:alive:<object id>' with a TTL of ALIVE_TTL seconds, set again
-- every third of it. A claim whose object's alive key is gone counts as lapsed, as if its
-- lease had run out: whoever claims or waits takes it over, snapshots show it lapsed.

-- Ties the claim on `resource` to the caller's object, or to none (after take_claim, renew);
-- `fresh`: there was no claim before, so no tie to undo (one command less on most claims).
local function tie(claims, resource, fresh)
  if caller.mortal ~= '' then
    redis.call('HSET', claims, '#@' .. resource, caller.mortal)
  elseif not fresh then
    redis.call('HDEL', claims, '#@' .. resource)
  end
end

-- Whether the claim on `resource` is tied to an object whose alive key is gone.
local function orphaned(claims, resource)
  local holder = redis.call('HGET', claims, '#@' .. resource)
  return holder and redis.call('EXISTS', sibling(claims, 'alive:' .. holder)) == 0 or false
end

-- The stamp by which a waiter sleeps on the claim on `resource` stamped `stamp` (a lease of
-- `lease` seconds, at `now`): for a claim tied to an object, one whose lapse comes no later
-- than a second after the object's alive key expires, so that the waiter looks again then.
local function lapse_stamp(claims, resource, stamp, now, lease)
  local holder = redis.call('HGET', claims, '#@' .. resource)
  if not holder then return stamp end
  local left = redis.call('PTTL', sibling(claims, 'alive:' .. holder))
  if left < 0 then return stamp end
  return math.min(stamp, now - lease + math.floor(left / 1000) + 1)
end
