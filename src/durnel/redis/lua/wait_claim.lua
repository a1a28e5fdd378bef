-- wait_claim: one step of wait_claim_file / wait_claim_task, first come first served across
-- processes. The resource's queue (a sorted set) holds the tickets of its waiters,
-- '<hub id>:<number>', scored by arrival (server time in us). Only the ticket at the head may
-- claim. A ticket is alive while its hub, the process's subscriber (hub.py), is subscribed to
-- its own channel '<hub channel prefix><hub id>': a process that died or lost its connection
-- has no subscriber, so its tickets are dropped by the next step that meets them at the head,
-- and nobody is held back by them. A waiter whose ticket was dropped while it lived (its
-- connection came back, it was paused) puts it back at its first arrival, so it keeps its
-- place.
--
-- Turns. A process that is paused (SIGSTOP, a debugger, a laptop asleep) keeps its connection
-- and so its ticket alive, but never takes its turn. The resource's turns hash records when
-- each ticket last stepped and, under the field 'free', when a step first found the resource
-- free (no claim, or a lapsed one) since it was last held. Every live waiter steps when the
-- resource is released (the wake-up) and at least every few seconds while it is free
-- (waits.py), so once the resource has been free for `grace`, a ticket ahead of the stepping
-- one that has not stepped since it became free belongs to a paused process: it leaves the
-- queue (with its step record), and the others are woken to look again. A live waiter behind any number of
-- paused ones thus claims a free resource within grace plus one check interval.
--
-- The queue and the turns hash expire `queue ttl` seconds after the last step, which is longer
-- than any live waiter goes without stepping (a lease and a margin): a waiter killed while no
-- other waiter came leaves nothing behind for longer.
--
-- Modes: 'try' claims only when nobody waits alive and the resource is free, and queues no
-- ticket (a wait's first step, before it listens for wake-ups); 'queue' also puts the ticket
-- in the queue when it cannot claim (every later step).
-- Replies: OK '<stamp>' (claimed at that stamp; the ticket left the queue; '<stamp> <holder>'
-- when it was the claim of a dead object's holder, common.lua's orphaned); WAIT_HELD '<stamp>
-- <now s> <now us> <arrival> <holder>' (at the head, or nobody queued, while the claim holds:
-- the waiter sleeps until a release wakes it or until the lapse that the stamp and the
-- server's time give); WAIT_QUEUED '<arrival>' (another waiter is ahead of a free resource:
-- the waiter steps again within a check interval, which is how a paused head loses its
-- turn), or WAIT_QUEUED '<arrival> <stamp> <now s> <now us> <holder>' (another waiter is
-- ahead while the claim holds: like WAIT_HELD, nothing needs a step before the release or the
-- lapse, so waiters behind a holder write nothing meanwhile). A step that passed paused
-- waiters over says how many as a third element, which is not remembered. Every reply is
-- remembered in
-- the session (S1-S3), so a lost reply is replayed and a late request runs nothing.
-- KEYS: claims, statuses, log, session, queue, turns, [in-flight hashes to settle...]
-- ARGV: session id, request id, request ttl, log maxlen, agent, resource key, lease, mode,
--       ticket, arrival ('' until queued), hub channel prefix, wake channel, grace (us),
--       queue ttl (s), [settled requests...]
local claims, statuses, log, session = KEYS[1], KEYS[2], KEYS[3], KEYS[4]
local queue, turns = KEYS[5], KEYS[6]
local request, ttl, maxlen = ARGV[2], ARGV[3], ARGV[4]
local agent, resource, lease = ARGV[5], ARGV[6], tonumber(ARGV[7])
local mode, ticket, arrival, hubs = ARGV[8], ARGV[9], ARGV[10], ARGV[11]
local channel, grace, queue_ttl = ARGV[12], tonumber(ARGV[13]), ARGV[14]

if KEYS[7] then settle(KEYS, ARGV, 7, 15) end
local early = begin(session, request)
if early then return early end
local stamp, previous, bad = read_claim(claims, resource)
if bad then return bad end
local now, clock_error, at, micros = server_time()
if not now then return clock_error end
local now_text = stamp_us(at, micros)  -- written as TIME printed it: Lua would round it
local now_us = tonumber(now_text)
local _
_, bad = checked(redis.pcall('ZCARD', queue), queue, 'zset')
if bad then return bad end
_, bad = checked(redis.pcall('HGET', turns, 'free'), turns, 'hash')
if bad then return bad end
if arrival ~= '' then
  redis.call('ZADD', queue, 'NX', arrival, ticket)
  redis.call('HSET', turns, ticket, now_text)
  joined(turns, resource, ticket)
end

-- The first live ticket; dead ones before it leave the queue.
local alive = {}
local function first_live()
  while true do
    local head = redis.call('ZRANGE', queue, 0, 0)[1]
    if not head or head == ticket then return head end
    local hub = string.match(head, '^(.*):%d+$') or ''
    if alive[hub] == nil then
      alive[hub] = redis.call('PUBSUB', 'SHARDNUMSUB', hubs .. hub)[2] > 0
    end
    if alive[hub] then return head end
    redis.call('ZREM', queue, head)
    redis.call('HDEL', turns, head, 'who:' .. head)
  end
end
local head = first_live()

local lapsed = not previous or now - stamp >= lease
local free = lapsed or orphaned(claims, resource)
local passed = 0  -- paused waiters passed over by this step
if not free then stamp = lapse_stamp(claims, resource, stamp, now, lease) end
if not free then
  redis.call('HDEL', turns, 'free')
elseif head and head ~= ticket then
  local since = tonumber(redis.call('HGET', turns, 'free'))
  if not since then
    since = now_us
    redis.call('HSET', turns, 'free', now_text)
  end
  if now_us - since >= grace then  -- those ahead that did not step since are paused
    passed = 0
    for _, waiting in ipairs(redis.call('ZRANGE', queue, 0, -1)) do
      if waiting == ticket then break end
      if (tonumber(redis.call('HGET', turns, waiting)) or 0) < since then
        redis.call('ZREM', queue, waiting)
        redis.call('HDEL', turns, waiting, 'who:' .. waiting)
        passed = passed + 1
      end
    end
    if passed > 0 then
      wake(channel)
      head = first_live()
    end
  end
end

local function queued()
  if arrival == '' and mode == 'queue' then
    arrival = now_text
    redis.call('ZADD', queue, arrival, ticket)
    redis.call('HSET', turns, ticket, now_text)
    joined(turns, resource, ticket)
  end
  return arrival
end

local encoded
if head and head ~= ticket then
  encoded = REPLY.WAIT_QUEUED .. queued()
  if not free then
    encoded = encoded .. ' ' .. stamp .. ' ' .. at .. ' ' .. micros .. ' ' .. previous
  end
elseif not free then
  encoded = REPLY.WAIT_HELD .. stamp .. ' ' .. at .. ' ' .. micros .. ' ' .. queued() .. ' '
    .. previous
else
  bad = take_claim(claims, statuses, log, maxlen, agent, resource, at, previous,
                   ARGV[1] .. ':' .. request)
  if bad then return bad end
  tie(claims, resource, not previous)
  redis.call('ZREM', queue, ticket)
  redis.call('HDEL', turns, ticket, 'who:' .. ticket, 'free')
  encoded = REPLY.OK .. at
  if not lapsed then encoded = encoded .. ' ' .. previous end  -- a dead object's claim
end
if redis.call('EXISTS', queue) == 1 then
  redis.call('EXPIRE', queue, queue_ttl)
  redis.call('EXPIRE', turns, queue_ttl)
else
  redis.call('DEL', turns)
  redis.pcall('SREM', sibling(turns, 'queues'), resource)
end
remember(session, request, ttl, encoded)
local reply = as_reply(encoded)
if passed > 0 then reply[3] = passed end  -- for the client's log; a replay does without
return reply
