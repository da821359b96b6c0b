-- Wireshark dissector for the anchor datagrams of solver_unit and
-- solver_unit_hr, and the JSON of their configuration port.
--
-- Anchor datagrams (UDP, local_udp_listen_anchor_port, 9100 by default):
--   measurement: one or more records of 54 bytes (solver_unit) or 72 bytes
--     (solver_unit_hr) back to back, each "DW" ... CR LF:
--        0 'D'  1 'W'  2 sequence number  3 anchor id (6)
--        9 reception time (40 bits, little-endian, 0.00468 m per tick)
--       14 tag id (6)  20 not interpreted (6)  26 telemetry (26 or 44)  R-2 CR LF
--   heartbeat: exactly 10 bytes, "DH", anchor id (6), 2 bytes not read.
-- The program takes a datagram by its length alone: whole records are queued
-- even when their framing is wrong (and logged as malformed); any other
-- length is dropped. The expert infos say which of the two happened.
--
-- Installed into Wireshark's global Lua plugin folder (tshark -G folders);
-- or load it by hand: tshark -X lua_script:solver_unit.lua -r capture.pcapng

local loaded, proto = pcall(Proto, "solver_unit", "Solver unit anchor datagrams")
if not loaded then
    -- Registered already: the installed plugin and a copy given with -X
    -- lua_script. The first stays.
    return
end

local METRES_PER_TICK = 0.00468
local HEARTBEAT_SIZE = 10
local TELEMETRY_OFFSET = 26
local KM_PER_MILE = 1.609344

proto.prefs.anchor_port = Pref.uint("Anchor port", 9100,
    "UDP port the anchors send to (local_udp_listen_anchor_port of config.ini)")
proto.prefs.config_port = Pref.uint("Configuration port", 9101,
    "UDP port of the JSON configuration requests (local_udp_listen_parameters_configuration_port); "
    .. "its datagrams go to Wireshark's JSON dissector. 0: none")
proto.prefs.record_size = Pref.enum("Record size", 0,
    "54 bytes: solver_unit; 72 bytes: solver_unit_hr; automatic: by the datagram's length "
    .. "(a length both divide is taken by the records' framing, else as 54)",
    { { 1, "Automatic", 0 }, { 2, "54 bytes (solver_unit)", 54 }, { 3, "72 bytes (solver_unit_hr)", 72 } }, false)

local f = proto.fields
f.kind = ProtoField.string("solver_unit.kind", "Kind")
f.record_size = ProtoField.uint16("solver_unit.record_size", "Record size")
f.records = ProtoField.uint16("solver_unit.records", "Records")
f.record = ProtoField.bytes("solver_unit.record", "Record")
f.frame_mark = ProtoField.string("solver_unit.frame_mark", "Frame mark")
f.frame_type = ProtoField.string("solver_unit.frame_type", "Frame type")
f.sequence = ProtoField.uint8("solver_unit.sequence", "Sequence number")
f.anchor_id = ProtoField.string("solver_unit.anchor_id", "Anchor id")
f.reception_time = ProtoField.uint64("solver_unit.reception_time", "Reception time (ticks)")
f.reception_metres = ProtoField.double("solver_unit.reception_metres", "Reception time (metres)")
f.tag_id = ProtoField.string("solver_unit.tag_id", "Tag id")
f.not_interpreted = ProtoField.bytes("solver_unit.not_interpreted", "Not interpreted")
f.telemetry = ProtoField.bytes("solver_unit.telemetry", "Tag telemetry")
-- solver_unit: the nine members of the report's additionMessage, raw values.
f.heart_rate = ProtoField.uint16("solver_unit.telemetry.heart_rate", "heart_rate (bpm)")
f.vo2 = ProtoField.uint16("solver_unit.telemetry.vo2", "VO2")
f.calorie = ProtoField.uint16("solver_unit.telemetry.calorie", "calorie (kcal)")
f.speed = ProtoField.uint16("solver_unit.telemetry.speed", "speed")
f.signal_quality = ProtoField.uint16("solver_unit.telemetry.signal_quality", "signal_quality")
f.signal_bad = ProtoField.bool("solver_unit.telemetry.signal_bad", "Bad signal (bit 0)")
f.signal_percent = ProtoField.uint8("solver_unit.telemetry.signal_percent", "Signal quality (%)")
f.step = ProtoField.uint16("solver_unit.telemetry.step", "step")
f.distance = ProtoField.uint16("solver_unit.telemetry.distance", "distance (m)")
f.rri_interval = ProtoField.uint16("solver_unit.telemetry.rri_interval", "Heartbeat interval (ms)")
f.rri = ProtoField.uint16("solver_unit.telemetry.rri", "RRI (the last interval, ms)")
f.period_calorie = ProtoField.uint16("solver_unit.telemetry.period_calorie", "period_calorie (kcal)")
-- solver_unit_hr: block byte 4 and the fixed HRV text.
f.heartrate = ProtoField.uint8("solver_unit.telemetry.heartrate", "heartrate (bpm)")
f.hrv = ProtoField.string("solver_unit.telemetry.hrv", "HRV")
f.frame_end = ProtoField.bytes("solver_unit.frame_end", "Frame end")
f.heartbeat_anchor_id = ProtoField.string("solver_unit.heartbeat.anchor_id", "Heartbeat anchor id")
f.heartbeat_trailer = ProtoField.bytes("solver_unit.heartbeat.trailer", "Not read")

local e_length = ProtoExpert.new("solver_unit.malformed.length", "Anchor datagram of a wrong length",
    expert.group.MALFORMED, expert.severity.ERROR)
local e_framing = ProtoExpert.new("solver_unit.malformed.framing", "Anchor record of a wrong framing",
    expert.group.MALFORMED, expert.severity.ERROR)
proto.experts = { e_length, e_framing }

local function hex_id(range)
    return range:bytes():tohex()
end

-- True when every R-byte piece of the datagram starts "DW" and ends CR LF.
local function framed(tvb, size)
    for at = 0, tvb:len() - size, size do
        if tvb(at, 2):string() ~= "DW" or tvb(at + size - 2, 2):uint() ~= 0x0D0A then
            return false
        end
    end
    return true
end

-- The record size to read a datagram of n bytes with, or nil when the
-- program would queue nothing.
local function record_size(tvb)
    local n = tvb:len()
    local wanted = proto.prefs.record_size
    if wanted ~= 0 then
        return (n >= wanted and n % wanted == 0) and wanted or nil
    end
    local fits54 = n >= 54 and n % 54 == 0
    local fits72 = n >= 72 and n % 72 == 0
    if fits54 and fits72 then
        if not framed(tvb, 54) and framed(tvb, 72) then
            return 72
        end
        return 54
    end
    return fits54 and 54 or (fits72 and 72 or nil)
end

local function telemetry_54(tree, block)
    local function u16(at) return block(at, 2):le_uint() end
    tree:add_le(f.heart_rate, block(0, 2))
    tree:add_le(f.vo2, block(2, 2)):append_text(string.format(" (%d mL/kg*min)", u16(2) * 10))
    tree:add_le(f.calorie, block(4, 2))
    local mph = u16(6) * KM_PER_MILE
    tree:add_le(f.speed, block(6, 2)):append_text(string.format(" (%.2f m/h, %.2f m/s)", mph, mph / 3600))
    local quality = block(8, 1):uint()
    local q = tree:add_le(f.signal_quality, block(8, 2))
    q:append_text(string.format(" (%s, %d %%)", quality % 2 == 1 and "NO" or "OK", math.floor(quality / 2)))
    q:add(f.signal_bad, block(8, 1), quality % 2 == 1)
    q:add(f.signal_percent, block(8, 1), math.floor(quality / 2))
    tree:add_le(f.step, block(10, 2))
    tree:add_le(f.distance, block(12, 2))
    for i = 0, 4 do
        tree:add_le(f.rri_interval, block(14 + 2 * i, 2))
    end
    tree:add_le(f.rri, block(22, 2)):set_generated()
    tree:add_le(f.period_calorie, block(24, 2))
end

local function telemetry_72(tree, block)
    tree:add(f.heartrate, block(4, 1))
    tree:add(f.hrv, block(0, 0), "95"):set_generated()
end

-- One record at `at`; returns its tag id, sequence number and anchor id.
local function dissect_record(tvb, pinfo, tree, at, size, index, count)
    local r = tvb(at, size)
    local tag = hex_id(r(14, 6))
    local seq = r(2, 1):uint()
    local anchor = hex_id(r(3, 6))
    local ticks = r(9, 5):le_uint64()
    local metres = ticks:tonumber() * METRES_PER_TICK
    local item = tree:add(f.record, r)
    item:set_text(string.format("Record %d of %d: tag %s, seq %d, anchor %s, time %s (%.3f m)",
        index, count, tag, seq, anchor, tostring(ticks), metres))
    item:add(f.frame_mark, r(0, 1))
    item:add(f.frame_type, r(1, 1))
    item:add(f.sequence, r(2, 1))
    item:add(f.anchor_id, r(3, 6), anchor)
    item:add(f.reception_time, r(9, 5), ticks)
    item:add(f.reception_metres, r(9, 5), metres):set_generated()
    item:add(f.tag_id, r(14, 6), tag)
    item:add(f.not_interpreted, r(20, 6))
    local block = r(TELEMETRY_OFFSET, size - TELEMETRY_OFFSET - 2)
    local t = item:add(f.telemetry, block)
    if size == 54 then
        telemetry_54(t, block)
    else
        telemetry_72(t, block)
    end
    item:add(f.frame_end, r(size - 2, 2))
    local problems = {}
    if r(0, 2):string() ~= "DW" then
        problems[#problems + 1] = string.format("starts 0x%s, not \"DW\"", r(0, 2):bytes():tohex())
    end
    if r(size - 2, 2):uint() ~= 0x0D0A then
        problems[#problems + 1] = string.format("ends 0x%s, not CR LF", r(size - 2, 2):bytes():tohex())
    end
    if #problems > 0 then
        item:add_proto_expert_info(e_framing, string.format(
            "Record %d of %d %s; the program queues it all the same", index, count, table.concat(problems, " and ")))
    end
    return tag, seq, anchor
end

function proto.dissector(tvb, pinfo, tree)
    local n = tvb:len()
    pinfo.cols.protocol = "SOLVER"
    local root = tree:add(proto, tvb(), string.format("Solver unit anchor datagram, %d bytes", n))

    if n == HEARTBEAT_SIZE and tvb(0, 2):string() == "DH" then
        local anchor = hex_id(tvb(2, 6))
        root:add(f.kind, tvb(0, 2), "heartbeat")
        root:add(f.frame_mark, tvb(0, 1))
        root:add(f.frame_type, tvb(1, 1))
        root:add(f.heartbeat_anchor_id, tvb(2, 6), anchor)
        root:add(f.heartbeat_trailer, tvb(8, 2))
        pinfo.cols.info = "Heartbeat, anchor " .. anchor
        return n
    end

    local size = record_size(tvb)
    if not size then
        root:add(f.kind, tvb(), "malformed")
        local reason
        local wanted = proto.prefs.record_size
        if n < 3 then
            reason = string.format("%d byte%s: too short for any anchor datagram", n, n == 1 and "" or "s")
        elseif tvb(0, 2):string() == "DH" then
            reason = string.format("heartbeat of %d bytes (%d expected)", n, HEARTBEAT_SIZE)
        elseif n < (wanted ~= 0 and wanted or 54) then
            reason = string.format("%d bytes: shorter than a %d-byte record", n, wanted ~= 0 and wanted or 54)
        else
            local sizes = wanted ~= 0 and tostring(wanted) or "54 or 72"
            reason = string.format("%d bytes: not a whole number of %s-byte records", n, sizes)
        end
        root:add_proto_expert_info(e_length, reason .. "; the program drops it")
        pinfo.cols.info = "Malformed: " .. reason
        return n
    end

    local count = math.floor(n / size)
    root:add(f.kind, tvb(0, 0), "measurement")
    root:add(f.record_size, tvb(0, 0), size):set_generated()
    root:add(f.records, tvb(0, 0), count):set_generated()
    if tvb(0, 2):string() ~= "DW" or tvb(n - 2, 2):uint() ~= 0x0D0A then
        root:add_proto_expert_info(e_framing,
            "Datagram does not start \"DW\" or does not end CR LF: the program logs it as malformed")
    end
    local tags = {}
    for i = 1, count do
        local tag, seq, anchor = dissect_record(tvb, pinfo, root, (i - 1) * size, size, i, count)
        if i == 1 or count <= 3 then
            tags[#tags + 1] = string.format("tag %s seq %d anchor %s", tag, seq, anchor)
        end
    end
    local info = string.format("%d record%s of %d bytes: %s", count, count == 1 and "" or "s", size,
        table.concat(tags, "; "))
    if count > 3 then
        info = info .. "; ..."
    end
    pinfo.cols.info = info
    return n
end

-- The configuration port's requests and replies are JSON: handed to
-- Wireshark's dissector through a protocol of our own, which names the port's
-- role (and keeps JSON's own registration for "Decode As" apart from ours).
local config_proto = Proto("solver_unit_config", "Solver unit configuration")
local json = Dissector.get("json")

function config_proto.dissector(tvb, pinfo, tree)
    tree:add(config_proto, tvb(), string.format("Solver unit configuration, %d bytes", tvb:len()))
    return json:call(tvb, pinfo, tree)
end

-- Registration on the two ports, moved when the preferences change.
local udp_port = DissectorTable.get("udp.port")
local anchor_port, config_port = 0, 0

local function register()
    if anchor_port ~= 0 then
        udp_port:remove(anchor_port, proto)
    end
    if config_port ~= 0 then
        udp_port:remove(config_port, config_proto)
    end
    anchor_port = proto.prefs.anchor_port
    config_port = proto.prefs.config_port
    if anchor_port ~= 0 then
        udp_port:add(anchor_port, proto)
    end
    if config_port ~= 0 and config_port ~= anchor_port then
        udp_port:add(config_port, config_proto)
    end
end

function proto.prefs_changed()
    register()
end

register()
