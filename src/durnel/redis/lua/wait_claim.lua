-- wait_claim: one step of wait_claim_file / wait_claim_task, first come first served across
-- processes. The resource's queue (a sorted set) holds the tickets of its waiters,
-- '<hub id>:<number>', scored by arrival (server time in us). Only the ticket at the head may
-- claim. A ticket is alive while its hub, the process's subscriber (hub.py), is subscribed to
-- its own channel '<hub channel prefix><hub id>': a process that died or lost its connection
-- has no subscriber, so its tickets are dropped by the next step that meets them at the head,
-- and nobody is held back by them. A waiter whose ticket was dropped while it lived (its
-- connection came back) puts it back at its first arrival, so it keeps its place.
--
-- Modes: 'try' claims only when nobody waits alive and the resource is free, and queues no
-- ticket (a wait's first step, before it listens for wake-ups); 'queue' also puts the ticket
-- in the queue when it cannot claim (every later step).
-- Replies: OK (claimed; the ticket left the queue); WAIT_HELD '<stamp> <now s> <now us>
-- <arrival> <holder>' (at the head, or nobody queued, while the claim holds: the waiter
-- sleeps until a release wakes it or until the lapse that the stamp and the server's time
-- give); WAIT_QUEUED '<arrival>' (another waiter is ahead). Every reply is remembered in the
-- session (S1-S3), so a lost reply is replayed and a late request runs nothing.
-- KEYS: claims, statuses, log, session, queue, [in-flight hashes to settle...]
-- ARGV: session id, request id, request ttl, log maxlen, agent, resource key, lease, mode,
--       ticket, arrival ('' until queued), hub channel prefix, [settled requests...]
local claims, statuses, log, session, queue = KEYS[1], KEYS[2], KEYS[3], KEYS[4], KEYS[5]
local request, ttl, maxlen = ARGV[2], ARGV[3], ARGV[4]
local agent, resource, lease = ARGV[5], ARGV[6], tonumber(ARGV[7])
local mode, ticket, arrival, hubs = ARGV[8], ARGV[9], ARGV[10], ARGV[11]

local early = begin(session, request)
if early then return early end
local stamp, previous, bad = read_claim(claims, resource)
if bad then return bad end
local now, clock_error, at, micros = server_time()
if not now then return clock_error end
local _
_, bad = checked(redis.pcall('ZCARD', queue), queue, 'zset')
if bad then return bad end
if arrival ~= '' then redis.call('ZADD', queue, 'NX', arrival, ticket) end

-- The first live ticket; dead ones before it leave the queue.
local alive = {}
local head
while true do
  head = redis.call('ZRANGE', queue, 0, 0)[1]
  if not head or head == ticket then break end
  local hub = string.match(head, '^(.*):%d+$') or ''
  if alive[hub] == nil then
    alive[hub] = redis.call('PUBSUB', 'SHARDNUMSUB', hubs .. hub)[2] > 0
  end
  if alive[hub] then break end
  redis.call('ZREM', queue, head)
end

local function queued()
  if arrival == '' and mode == 'queue' then
    arrival = stamp_us(at, micros)
    redis.call('ZADD', queue, arrival, ticket)
  end
  return arrival
end

local encoded
if head and head ~= ticket then
  encoded = REPLY.WAIT_QUEUED .. queued()
elseif previous and now - stamp < lease then
  encoded = REPLY.WAIT_HELD .. stamp .. ' ' .. at .. ' ' .. micros .. ' ' .. queued() .. ' '
    .. previous
else
  bad = take_claim(claims, statuses, log, maxlen, agent, resource, at, previous)
  if bad then return bad end
  redis.call('ZREM', queue, ticket)
  encoded = REPLY.OK
end
remember(session, request, ttl, encoded)
settle(KEYS, ARGV, 6, 12)
return as_reply(encoded)
