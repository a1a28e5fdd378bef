-- The head of every durnel script: type checks, the server clock, request replay and the log.
--
-- Replies are arrays whose first element is a tag from the table REPLY, defined before this
-- file from the class Reply of scripts.py, which says what each tag's reply holds. Refusals
-- carry only the holder; the engine words them.
-- Every key's type is known to be right before the first write, so a script changes
-- everything it means to or nothing at all: a key the script reads is checked by that read
-- (run with pcall), the key of the first write by that write, any other key by TYPE.
if redis.replicate_commands then redis.replicate_commands() end

local function wrong_type(key, wanted)
  local found = redis.call('TYPE', key)['ok']
  if found == 'none' or found == wanted then return nil end
  return {REPLY.WRONG_TYPE, key, found, wanted}
end

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

-- The claim stored under `resource`, '<last stamp>:<holder>', as its stamp and holder; nil
-- when there is none; or nil, nil and the reply for a claims key of another type or a field
-- that durnel did not write.
local function read_claim(claims, resource)
  local stored, bad = checked(redis.pcall('HGET', claims, resource), claims, 'hash')
  if bad then return nil, nil, bad end
  if not stored then return nil end
  local colon = string.find(stored, ':', 1, true)
  local stamp = colon and tonumber(string.sub(stored, 1, colon - 1))
  if not stamp then
    return nil, nil, {REPLY.FOREIGN, claims, 'field ' .. resource .. ' is not a claim'}
  end
  return stamp, string.sub(stored, colon + 1)
end

-- Whole seconds of the server's clock, or nil and the clock error reply before 1970.
local function server_seconds()
  local time = redis.call('TIME')
  local seconds = tonumber(time[1])
  if seconds < 0 then return nil, {REPLY.CLOCK, time[1], time[2]} end
  return seconds
end

local function as_reply(encoded)
  return {string.sub(encoded, 1, 1), string.sub(encoded, 2)}
end

-- A session key holds '<request id>|<encoded reply>' of the session's latest request, so a
-- request retried after a lost reply gets its first reply instead of running twice.
-- Returns that reply or nil, and the wrong-type reply if the session key is not a string.
local function replayed(session, request)
  local stored, bad = checked(redis.pcall('GET', session), session, 'string')
  if not stored then return nil, bad end
  local bar = string.find(stored, '|', 1, true)
  if bar and string.sub(stored, 1, bar - 1) == request then return string.sub(stored, bar + 1) end
  return nil
end

-- The reply to give at once: the first reply of a retried request, or the wrong-type reply
-- of a foreign session key; nil for a new request.
local function replay(session, request)
  local again, bad = replayed(session, request)
  if bad then return bad end
  if again then return as_reply(again) end
  return nil
end

local function remember(session, request, ttl, encoded)
  redis.call('SET', session, request .. '|' .. encoded, 'EX', ttl)
end

-- Appends one event to the log; returns the wrong-type reply instead if the log key is not
-- a stream (only possible on a script's first write, which is always a log event or a
-- key checked before).
local function log_event(log, maxlen, ...)
  local reply
  if maxlen == '' then
    reply = redis.pcall('XADD', log, '*', ...)
  else
    reply = redis.pcall('XADD', log, 'MAXLEN', '~', maxlen, '*', ...)
  end
  local _, bad = checked(reply, log, 'stream')
  return bad
end
