#!lua name=lattice
-- The shared peer registry of cluster mode, as Redis Functions. Each call
-- works on one share, atomically, on the primary that owns the share's slot:
-- both keys of a share carry the hash tag {share-hex}. docs/cluster.md gives
-- the key layout, the record format, the time limits and how to call these.
--
-- A record (one peer in one share) is 8 bytes, the earliest expiry of its
-- parts as a big-endian double, followed by a MessagePack array:
--   lp, up, pv, la, la_list, then five entries per part:
--   node id, node epoch, expiry (ms, Redis clock), connection count, conns
-- The header lets a listed record be checked without decoding it. The
-- sorted set indexes every record by a score at most that header.
-- One part per tracker node that holds connections of the peer; "conns" is
-- that node's opaque list of the connections (addresses and tokens).
-- A part is live while its expiry is in the future and no newer epoch of
-- its node is known (the "epochs" argument); dead parts are ignored and
-- removed when seen, and a record without a live part is removed.

local MAX_LISTED = 15
local FIELDS = 5         -- lp, up, pv, la, la_list
local PART = 5           -- node, epoch, expiry, count, conns
local ID_BYTES = 20
local PURGE_PER_CALL = 8 -- records with expired parts handled per announce, at most
local DRAW_ROUNDS = 3    -- HRANDFIELD rounds; each short one removed a dead record
local MAX_PWL = 1024     -- pwl entries looked at, at most

local function now_ms()
  local t = redis.call('TIME')
  return tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
end

local function int_arg(v, name, low, high)
  local n = tonumber(v)
  if n == nil or n ~= math.floor(n) or n < low or n > high then
    error('lattice: bad ' .. name .. ': ' .. tostring(v))
  end
  return n
end

local function id_arg(v, name)
  if type(v) ~= 'string' or #v ~= ID_BYTES then error('lattice: ' .. name .. ' must be 20 bytes') end
  return v
end

-- "node:epoch,node:epoch": the newest epoch known of each listed node.
-- What every function on one peer of one share starts with: the two keys,
-- then peer, node and epoch as its first three arguments.
local function peer_call(fname, keys, args, count)
  local hkey, zkey = keys[1], keys[2]
  if hkey == nil or zkey == nil or #args ~= count then
    error(fname .. ': 2 keys and ' .. count .. ' arguments')
  end
  return hkey, zkey, id_arg(args[1], 'peer'), args[2], int_arg(args[3], 'epoch', 0, 2 ^ 53)
end

local function parse_epochs(s)
  if s == nil or s == '' then return nil end
  local t = {}
  for node, epoch in string.gmatch(s, '([^:,]+):(%d+)') do t[node] = tonumber(epoch) end
  return t
end

local function part_live(r, i, now, epochs)
  if r[i + 2] <= now then return false end
  if epochs ~= nil then
    local newest = epochs[r[i]]
    if newest ~= nil and r[i + 1] < newest then return false end
  end
  return true
end

local function decode(blob)
  return cmsgpack.unpack(string.sub(blob, 9))
end

local function header(blob)
  return (struct.unpack('>d', blob))
end

-- Writes a record with at least one part; returns the stored bytes. The
-- index score of a record is at most the earliest expiry of its parts (its
-- header): `indexed` is the header the record had (nil: new), and the score
-- is set only when the earliest expiry moved below it. Scores left lower
-- are raised by purge_expired.
local function store(hkey, zkey, id, record, indexed)
  local earliest = math.huge
  for i = FIELDS + 3, #record, PART do
    if record[i] < earliest then earliest = record[i] end
  end
  local blob = struct.pack('>d', earliest) .. cmsgpack.pack(record)
  redis.call('HSET', hkey, id, blob)
  if indexed == nil or earliest < indexed then redis.call('ZADD', zkey, earliest, id) end
  return blob
end

local function remove_record(hkey, zkey, id)
  redis.call('HDEL', hkey, id)
  redis.call('ZREM', zkey, id)
end

-- The stored record of id as it may be listed: the same bytes when every
-- part lives, rewritten without its dead parts otherwise, nil (and the
-- record removed) when no part lives.
local function live_record(hkey, zkey, id, blob, now, epochs)
  if epochs == nil and header(blob) > now then return blob end
  local r = decode(blob)
  local n = #r
  local dead = false
  for i = FIELDS + 1, n, PART do
    if not part_live(r, i, now, epochs) then dead = true break end
  end
  if not dead then return blob end
  local kept = {r[1], r[2], r[3], r[4], r[5]}
  for i = FIELDS + 1, n, PART do
    if part_live(r, i, now, epochs) then
      for k = 0, PART - 1 do kept[#kept + 1] = r[i + k] end
    end
  end
  if #kept == FIELDS then
    remove_record(hkey, zkey, id)
    return nil
  end
  return store(hkey, zkey, id, kept, header(blob))
end

-- Records whose index score has passed: each loses its expired parts, or
-- goes when none is left, and is indexed by its earliest expiry again.
-- Returns how many were handled: fewer than `limit` means that no record of
-- the share holds an expired part any more.
local function purge_expired(hkey, zkey, now, epochs, limit)
  local ids = redis.call('ZRANGE', zkey, '-inf', now, 'BYSCORE', 'LIMIT', 0, limit)
  for i = 1, #ids do
    local id = ids[i]
    local blob = redis.call('HGET', hkey, id)
    if not blob then
      redis.call('ZREM', zkey, id)
    else
      local kept = live_record(hkey, zkey, id, blob, now, epochs)
      if kept ~= nil then redis.call('ZADD', zkey, header(kept), id) end
    end
  end
  return #ids
end

-- Appends id and its record to out, unless the record is dead (`check`:
-- it may be); returns 1 when it did, else 0.
local function take(out, hkey, zkey, id, blob, check, now, epochs)
  if check then
    blob = live_record(hkey, zkey, id, blob, now, epochs)
    if blob == nil then return 0 end
  end
  -- One string per peer, its id and its record without the expiry header:
  -- a reply of 15 peers is about 225 bytes shorter than id and stored
  -- value apart.
  out[#out + 1] = id .. string.sub(blob, 9)
  return 1
end

-- Peers named in pwl, in pwl order, present in the share, not the
-- requester; more than 15 are sampled without repetition.
local function select_pwl(out, hkey, zkey, requester, pwl, check, now, epochs)
  local ids, seen = {}, {[requester] = true}
  for i = 1, math.min(#pwl, MAX_PWL * ID_BYTES), ID_BYTES do
    local id = string.sub(pwl, i, i + ID_BYTES - 1)
    if not seen[id] then
      seen[id] = true
      ids[#ids + 1] = id
    end
  end
  if #ids == 0 then return end
  local blobs = redis.call('HMGET', hkey, unpack(ids))
  local cand_ids, cand_blobs = {}, {}
  for i = 1, #ids do
    if blobs[i] then
      cand_ids[#cand_ids + 1] = ids[i]
      cand_blobs[#cand_blobs + 1] = blobs[i]
    end
  end
  local n = #cand_ids
  if n > MAX_LISTED then
    -- Partial Fisher-Yates: the drawn order is the listed order; records
    -- found dead are skipped and the draw goes on.
    local got = 0
    for i = 1, n do
      if got >= MAX_LISTED then break end
      local j = math.random(i, n)
      cand_ids[i], cand_ids[j] = cand_ids[j], cand_ids[i]
      cand_blobs[i], cand_blobs[j] = cand_blobs[j], cand_blobs[i]
      got = got + take(out, hkey, zkey, cand_ids[i], cand_blobs[i], check, now, epochs)
    end
  else
    for i = 1, n do take(out, hkey, zkey, cand_ids[i], cand_blobs[i], check, now, epochs) end
  end
end

-- Every other peer when they are at most 15, else 15 drawn at random.
-- `check`: records may hold dead parts and are checked one by one.
local function select_any(out, hkey, zkey, requester, check, now, epochs)
  local got = 0
  local taken = nil  -- ids listed in earlier rounds
  for _ = 1, DRAW_ROUNDS do
    -- 16 distinct, or the whole hash when it holds at most 16: at most the
    -- requester and the `got` listed ones are among them, which leaves
    -- 15 - got new ones (the dead records found before are gone).
    local drawn = redis.call('HRANDFIELD', hkey, MAX_LISTED + 1, 'WITHVALUES')
    local all = #drawn < 2 * (MAX_LISTED + 1)
    local dead = false
    for i = 1, #drawn, 2 do
      if got >= MAX_LISTED then break end
      local id = drawn[i]
      if id ~= requester and (taken == nil or not taken[id]) then
        local added = take(out, hkey, zkey, id, drawn[i + 1], check, now, epochs)
        got = got + added
        if added == 0 then dead = true end
      end
    end
    -- Only dead records found can leave a draw short: draw again.
    if all or not dead or got >= MAX_LISTED then return end
    taken = {}
    for i = 3, #out do taken[string.sub(out[i], 1, ID_BYTES)] = true end
  end
end

-- FCALL lattice_announce 2 <records> <expiries>
--   peer node epoch count conns lp up pv la la_list pwl bound ttl_ms epochs
-- Registers or refreshes the peer's record with this node's part (a refresh
-- that changes nothing is written once a sixth of a ttl only), then
-- selects up to 15 other peers. Returns {1, connections, peer, peer, ...},
-- each peer its 20-byte id followed by its record without the expiry header;
-- {2, connections, requester, peer, peer, ...} when the requester has parts
-- of other nodes too, its own record first in the same form, so its
-- introduction can list all its connections; or, when the node's part would
-- take the peer's connections over the bound, {0, connections} with nothing
-- changed.
local function announce(keys, args)
  local hkey, zkey, peer, node, epoch = peer_call('lattice_announce', keys, args, 14)
  if node == '' or string.find(node, '[:,]') then error('lattice_announce: bad node id') end
  local count = int_arg(args[4], 'count', 1, 2 ^ 31)
  local conns = args[5]
  local lp = int_arg(args[6], 'lp', 0, 2 ^ 53) % 65536
  local up = int_arg(args[7], 'up', 0, 2 ^ 53) % 65536
  local pv = int_arg(args[8], 'pv', 0, 2 ^ 32 - 1)
  local la, la_list, pwl = args[9], args[10], args[11]
  if #pwl % ID_BYTES ~= 0 then error('lattice_announce: pwl must be whole 20-byte ids') end
  local bound = int_arg(args[12], 'bound', 1, 2 ^ 31)
  local ttl = int_arg(args[13], 'ttl', 1, 2 ^ 40)
  local epochs = parse_epochs(args[14])
  local now = now_ms()
  local expiry = now + ttl

  -- First, since it may remove the requester's own record: after a
  -- complete purge no stored part has expired, and unless some node epochs
  -- are news, every record drawn below lives as it is. (A refusal below
  -- leaves the purge done: it removed only what was dead.)
  local check = purge_expired(hkey, zkey, now, epochs, PURGE_PER_CALL) == PURGE_PER_CALL or epochs ~= nil

  -- The record anew: every field from this request, the live parts of the
  -- other nodes, and this node's part.
  local record = {lp, up, pv, la, la_list}
  local connections, own_before = count, 0
  local old = redis.call('HGET', hkey, peer)
  local indexed, own, parts = nil, nil, 0
  if old then
    indexed = header(old)
    local r = decode(old)
    for i = FIELDS + 1, #r, PART do
      parts = parts + 1
      if r[i] == node then
        if r[i + 1] == epoch and part_live(r, i, now, epochs) then own_before, own = r[i + 3], i end
      elseif part_live(r, i, now, epochs) then
        for k = 0, PART - 1 do record[#record + 1] = r[i + k] end
        connections = connections + r[i + 3]
      end
    end
    -- A refresh that changes nothing, of a part written within the last
    -- sixth of a ttl, is not written again: most announces are such
    -- refreshes, and a write costs the replicas as much as the primary.
    -- The part still lives at least 5/6 ttl, and the key expiry set then
    -- covers it.
    if own ~= nil and #record == FIELDS + (parts - 1) * PART and r[own + 2] >= expiry - math.floor(ttl / 6)
        and r[own + 3] == count and r[own + 4] == conns and r[1] == lp and r[2] == up and r[3] == pv
        and r[4] == la and r[5] == la_list then
      record = nil
    end
  end
  local blob = old
  if record ~= nil then
    if count > own_before and connections > bound then
      return {0, connections - count + own_before}
    end
    record[#record + 1] = node
    record[#record + 1] = epoch
    record[#record + 1] = expiry
    record[#record + 1] = count
    record[#record + 1] = conns
    blob = store(hkey, zkey, peer, record, indexed)
    parts = (#record - FIELDS) / PART
    -- A share's keys outlive its latest part, by at most half a ttl: they
    -- are pushed to now + 1.5 ttl when less than one ttl is left (all nodes
    -- use one ttl).
    if redis.call('PTTL', hkey) < ttl then
      redis.call('PEXPIREAT', hkey, expiry + math.floor(ttl / 2))
      redis.call('PEXPIREAT', zkey, expiry + math.floor(ttl / 2))
    end
  end

  local out = {1, connections}
  if parts > 1 then out = {2, connections, peer .. string.sub(blob, 9)} end
  if pwl ~= '' then
    select_pwl(out, hkey, zkey, peer, pwl, check, now, epochs)
  else
    select_any(out, hkey, zkey, peer, check, now, epochs)
  end
  return out
end

-- FCALL lattice_unbind 2 <records> <expiries> peer node epoch count conns epochs
-- This node now holds `count` connections of the peer (0: none; "conns"
-- lists them). Returns 2 when the peer left the share (no live part
-- remains), 1 when it stays, 0 when the share has no record of it.
local function unbind(keys, args)
  local hkey, zkey, peer, node, epoch = peer_call('lattice_unbind', keys, args, 6)
  local count = int_arg(args[4], 'count', 0, 2 ^ 31)
  local conns = args[5]
  local epochs = parse_epochs(args[6])
  local old = redis.call('HGET', hkey, peer)
  if not old then return 0 end
  local now = now_ms()
  local r = decode(old)
  local record = {r[1], r[2], r[3], r[4], r[5]}
  for i = FIELDS + 1, #r, PART do
    local mine = r[i] == node and r[i + 1] <= epoch
    if mine and r[i + 1] == epoch and count > 0 and part_live(r, i, now, epochs) then
      for k = 0, 2 do record[#record + 1] = r[i + k] end
      record[#record + 1] = count
      record[#record + 1] = conns
    elseif not mine and part_live(r, i, now, epochs) then
      for k = 0, PART - 1 do record[#record + 1] = r[i + k] end
    end
  end
  if #record == FIELDS then
    remove_record(hkey, zkey, peer)
    return 2
  end
  store(hkey, zkey, peer, record, header(old))
  return 1
end

-- FCALL lattice_touch 2 <records> <expiries> peer node epoch ttl_ms
-- Extends this node's part of the peer (a connection that stays open
-- without announcing again). Returns 1, or 0 when there is no such part.
local function touch(keys, args)
  local hkey, zkey, peer, node, epoch = peer_call('lattice_touch', keys, args, 4)
  local ttl = int_arg(args[4], 'ttl', 1, 2 ^ 40)
  local old = redis.call('HGET', hkey, peer)
  if not old then return 0 end
  local now = now_ms()
  local r = decode(old)
  for i = FIELDS + 1, #r, PART do
    if r[i] == node and r[i + 1] == epoch and part_live(r, i, now, nil) then
      local expiry = now + ttl
      r[i + 2] = expiry
      store(hkey, zkey, peer, r, header(old))
      if redis.call('PTTL', hkey) < ttl then
        redis.call('PEXPIREAT', hkey, expiry + math.floor(ttl / 2))
        redis.call('PEXPIREAT', zkey, expiry + math.floor(ttl / 2))
      end
      return 1
    end
  end
  return 0
end

-- FCALL lattice_sweep 2 <records> <expiries> limit
-- Drops the expired parts of up to `limit` records of the share, and the
-- records left without a part; returns how many records it handled. (Parts
-- of superseded epochs go when their record is next read, or expire.)
local function sweep(keys, args)
  local hkey, zkey = keys[1], keys[2]
  if hkey == nil or zkey == nil or #args ~= 1 then error('lattice_sweep: 2 keys and 1 argument') end
  return purge_expired(hkey, zkey, now_ms(), nil, int_arg(args[1], 'limit', 1, 4096))
end

-- FCALL lattice_heartbeat 1 <nodes> node epoch forget_ms
-- Records that the node is alive in this epoch, by the engine's clock, and
-- returns every node as it stood before: {node, epoch, age_ms, ...}. Nodes
-- not heard of for forget_ms are dropped from the table.
local function heartbeat(keys, args)
  local key = keys[1]
  if key == nil or #args ~= 3 then error('lattice_heartbeat: 1 key and 3 arguments') end
  local node = args[1]
  if node == '' or string.find(node, '[:,]') then error('lattice_heartbeat: bad node id') end
  local epoch = int_arg(args[2], 'epoch', 0, 2 ^ 53)
  local forget = int_arg(args[3], 'forget_ms', 1, 2 ^ 53)
  local now = now_ms()
  local all = redis.call('HGETALL', key)
  local out = {}
  for i = 1, #all, 2 do
    local e, seen = string.match(all[i + 1], '^(%d+):(%d+)$')
    e, seen = tonumber(e), tonumber(seen)
    if e == nil or (now - seen > forget and all[i] ~= node) then
      redis.call('HDEL', key, all[i])
    else
      out[#out + 1] = all[i]
      out[#out + 1] = e
      out[#out + 1] = now - seen
    end
  end
  redis.call('HSET', key, node, string.format('%d:%d', epoch, now))
  return out
end

redis.register_function('lattice_heartbeat', heartbeat)
redis.register_function('lattice_announce', announce)
redis.register_function('lattice_unbind', unbind)
redis.register_function('lattice_touch', touch)
redis.register_function{function_name = 'lattice_sweep', callback = sweep}
