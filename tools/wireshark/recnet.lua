-- recnet.lua - Wireshark dissector for the recorder's network protocol.
--
--   tshark -X lua_script:tools/wireshark/recnet.lua -o recnet.base_port:5500 -r capture.pcapng
--
-- Ports follow the base port preference: TCP base (command connection),
-- TCP base + 1 (data connection: handshake, then video fragments), UDP
-- base + 4 (address probe) and the multicast ports base - 1 - channel -
-- 16 * kind. Unicast UDP video goes to a port the client picks: its start
-- request registers that port, and a heuristic recognises video datagrams
-- anywhere else. Every message on TCP is a 16-byte header whose u32 at
-- offset 8 counts the bytes that follow (fragments and snapshot pieces
-- keep that rule too), which is how messages are cut out of the byte
-- stream. The wire layouts are written out in docs/protocol.md.

local recnet = Proto("recnet", "recnet recorder protocol")

local MAGIC = 0x504C4C4C
local MAX_PAYLOAD = 102400
local FRAGMENT_MAX = 1400
local FRAME_HEADER = 32

local TYPES = {
    [0x1] = "MSG_LOGIN", [0x2] = "MSG_LOGOUT",
    [0x3] = "MSG_START_STREAM", [0x4] = "MSG_STOP_STREAM", [0x7] = "MSG_PTZ_CONTROL",
    [0x8] = "MSG_DEFAULT_SETTING", [0x9] = "MSG_SESSION_ID", [0x102] = "MSG_KEEPALIVE",
    [0x103] = "MSG_TIME_INFO", [0x104] = "MSG_GET_COLLIERY_INFO", [0x401] = "MSG_SET_PARAM",
    [0x402] = "MSG_GET_PARAM", [0x403] = "MSG_RESET_VIDEO_CONFIG",
    [0x801] = "MSG_START_SESSION_THREAD", [0x802] = "MSG_SET_TIME", [0x803] = "MSG_GET_TIME",
    [0x804] = "MSG_GET_VERSION_INFO", [0x805] = "MSG_GET_HARDDISK_DATA",
    [0x806] = "MSG_GET_SYSTEM_STATUS_INFO", [0x807] = "MSG_GET_LOG_LIST",
    [0x808] = "MSG_DELETE_LOG", [0x80a] = "MSG_SET_SESSION_FLAG",
    [0x80b] = "MSG_GET_UPDATE_SYSTEM_INFO", [0x80c] = "MSG_ECHO",
    [0x80e] = "MSG_GET_USER_LIST", [0x80f] = "MSG_ADD_USER", [0x810] = "MSG_DELETE_USER",
    [0x811] = "MSG_MODIFY_USER", [0x812] = "MSG_GET_FLAT_TYPE",
    [0x813] = "MSG_SET_POLL_CONFIG", [0x815] = "MSG_GET_AP_INFO", [0x818] = "MSG_SERIAL_SEND",
    [0x819] = "MSG_SERIAL_DATA", [0x830] = "MSG_FORCE_IFRAME", [0x840] = "MSG_SET_HAND_RECORD",
    [0x841] = "MSG_CLEAR_HAND_RECORD", [0x842] = "MSG_DELETE_RECORD_FILE",
    [0x843] = "MSG_REBOOT_SYSTEM", [0x844] = "MSG_RESUME_DEFAULT_PARAM",
    [0x845] = "MSG_FDISK_HD", [0x846] = "MSG_FORMAT_PART", [0x847] = "MSG_GET_FORMAT_PERCENT",
    [0x848] = "MSG_GET_FDISK_STATUS", [0x853] = "MSG_RESET_FACTORY_PARAM",
    [0x854] = "MSG_SET_VERSION_INFO", [0x857] = "MSG_INIT_CAMERA_INFO",
    [0x858] = "MSG_INIT_CAMERA_ITU", [0x863] = "MSG_RESET_3G_MODULE",
    [0x864] = "MSG_CMOS_DEFAULT", [0x865] = "MSG_3GCONFIG_DEFAULT",
}
-- Types 4 and 5 mean something else when the server sends them.
local SERVER_TYPES = { [0x4] = "MSG_UPDATE_ACK", [0x5] = "MSG_UPDATE_PROGRESS" }
-- What the server sends of its own accord rather than as an answer.
local UNASKED = { [0x4] = true, [0x5] = true, [0x9] = true, [0x819] = true }
local STATUS = { [0x00] = "STATUS_OK", [0xff] = "STATUS_FAILED", [0x11] = "STATUS_DISK_BUSY",
                 [0x12] = "STATUS_FDISK_BUSY" }
local LOGIN_STATUS = { [0x01] = "unknown user", [0x02] = "wrong password" }
local TRANSPORTS = { [1] = "TRANSPORT_TCP", [2] = "TRANSPORT_UDP", [3] = "TRANSPORT_MULTICAST" }
local FRAME_TYPES = { [1] = "key frame", [2] = "other frame", [3] = "audio" }
local KINDS = { [0] = "main", [1] = "sub" }
local PARAMS = {
    [5] = "PARAM_NET_CONFIG", [7] = "PARAM_PROBER_ALARM", [9] = "PARAM_PTZ_CONFIG",
    [10] = "PARAM_TIMER_RECORD", [11] = "PARAM_LOST_ALARM", [12] = "PARAM_MOVE_ALARM",
    [13] = "PARAM_VIDEO_CONFIG", [14] = "PARAM_VIDEO_ENCODE", [17] = "PARAM_OSD",
    [18] = "PARAM_VIDEO_OVERLAY", [20] = "PARAM_PPPOE", [21] = "PARAM_RECORD_TYPE",
    [22] = "serial settings", [23] = "transparence setting", [24] = "manual recording",
    [65] = "PARAM_CMOS", [144] = "PARAM_SYS_CONFIG",
}
-- MSG_TIME_INFO sub-types through which the reference device runs its transfers.
local TRANSFERS = { [0x5201] = "firmware upload", [0x5202] = "serial channel start",
                    [0x5203] = "serial channel stop", [0x5204] = "snapshot",
                    [0x5205] = "snapshot stream" }
local PTZ = { "up", "down", "left", "right", "zoom in", "zoom out", "focus near", "focus far",
              "iris open", "iris close", "stop", "set preset", "goto preset", "clear preset" }
local LOG_CATEGORIES = { [1] = "system", [2] = "disk", [3] = "control", [4] = "operation" }

local F = {}
local function def(key, ctor, abbr, name, ...) F[key] = ctor("recnet." .. abbr, name, ...) end
local U8, U16, U32, I32 = ProtoField.uint8, ProtoField.uint16, ProtoField.uint32, ProtoField.int32
local STR, BYTES = ProtoField.string, ProtoField.bytes
def("magic", U32, "magic", "Magic", base.HEX)
def("type", U16, "type", "Type", base.HEX)
def("type_name", STR, "type_name", "Type name")
def("subtype", U16, "subtype", "Sub-type", base.HEX)
def("length", U32, "length", "Length")
def("status", U8, "status", "Status", base.HEX)
def("status_name", STR, "status_name", "Status name")
def("rest", BYTES, "rest", "Rest")
def("direction", STR, "direction", "Direction")
def("payload", BYTES, "payload", "Payload")
def("user", STR, "login.user", "User name")
def("password", STR, "login.password", "Password (masked)")
def("userinfo", BYTES, "login.userinfo", "User information")
def("session_id", U32, "session_id", "Session id")
def("channel", I32, "channel", "Channel")
def("kind", U8, "kind", "Stream kind", base.DEC, KINDS)
def("transport", U32, "start.transport", "Transport", base.DEC, TRANSPORTS)
def("dest_family", U16, "start.dest_family", "Destination family")
def("dest_port", U16, "start.dest_port", "Destination port")
def("dest_addr", ProtoField.ipv4, "start.dest_addr", "Destination address")
def("option", U8, "start.option", "Option")
def("param", U16, "param_type", "Parameter type", base.DEC, PARAMS)
def("transfer", U16, "transfer", "Transfer", base.HEX, TRANSFERS)
def("word", U32, "word", "Word")
def("value", I32, "value", "Value")
def("text", STR, "text", "Text")
def("list_count", U32, "list.count", "Records in the list")
def("user_rights", U32, "user.rights", "Rights", base.HEX)
def("log_id", U32, "log.id", "Log line id")
def("log_time", ProtoField.absolute_time, "log.time", "Time", base.UTC)
def("log_category", U32, "log.category", "Category", base.DEC, LOG_CATEGORIES)
def("update_size", I32, "update.size", "Image size")
def("update_percent", I32, "update.percent", "Progress (percent)")
def("chunk", U32, "update.chunk", "Chunk bytes")
def("serial_count", U32, "serial.count", "Serial bytes")
def("f_seq", U32, "frag.seq", "Frame sequence")
def("f_data_len", U32, "frag.data_len", "Frame data length")
def("f_len", U32, "frag.len", "Fragment payload length")
def("f_count", U8, "frag.count", "Fragment count")
def("f_index", U8, "frag.index", "Fragment index")
def("f_type", U8, "frag.frame_type", "Frame type", base.DEC, FRAME_TYPES)
def("fr_data_len", U32, "frame.data_len", "Data length")
def("fr_seq", U32, "frame.seq", "Sequence")
def("fr_channel", U8, "frame.channel", "Channel")
def("fr_type", U8, "frame.type", "Frame type", base.DEC, FRAME_TYPES)
def("fr_kind", U8, "frame.kind", "Stream kind", base.DEC, KINDS)
def("fr_time", ProtoField.absolute_time, "frame.capture_time", "Capture time", base.UTC)
def("s_len", U32, "snap.len", "Snapshot fragment length")
def("s_count", U8, "snap.count", "Snapshot fragment count")
def("s_number", U8, "snap.number", "Snapshot fragment number")
def("probe_word", U32, "probe.word", "Client word", base.HEX)
def("probe_family", U16, "probe.family", "Observed family")
def("probe_port", U16, "probe.port", "Observed port")
def("probe_addr", ProtoField.ipv4, "probe.addr", "Observed address")
local fields = {}
for _, f in pairs(F) do fields[#fields + 1] = f end
recnet.fields = fields

local e_too_long = ProtoExpert.new("recnet.too_long", "Length above 102400: the peer ends the connection",
                                   expert.group.MALFORMED, expert.severity.ERROR)
recnet.experts = { e_too_long }

recnet.prefs.base_port = Pref.uint("Base port", 5500,
    "Command port; the data port is base + 1, the address probe base + 4")
recnet.prefs.multicast_channels = Pref.uint("Multicast channels", 4,
    "Channels whose multicast ports (base - 1 - channel - 16 * kind) are decoded")
recnet.prefs.heuristic = Pref.bool("Find video datagrams on any UDP port", true,
    "Recognise UDP datagrams that carry a well-formed fragment header")

local f_tcp_stream = Field.new("tcp.stream")

-- Small readers over a TvbRange: little-endian fields at their offsets.
local function u8(tvb, o) return tvb(o, 1):uint() end
local function u16(tvb, o) return tvb(o, 2):le_uint() end
local function u32(tvb, o) return tvb(o, 4):le_uint() end

-- Adds fields laid out back to back from `o`: each entry is {key, width}
-- (little-endian) or {key, width, "text"}. Stops at the end of the data and
-- returns the next offset.
local function add_record(tree, tvb, o, layout)
    for _, e in ipairs(layout) do
        local key, width = e[1], e[2]
        if o + width > tvb:len() then return o end
        local r = tvb(o, width)
        if e[3] == "text" then tree:add(F[key], r, r:stringz()) else tree:add_le(F[key], r) end
        o = o + width
    end
    return o
end

-- Passwords never appear in the tree, only whether one was given.
local function add_password(tree, tvb, o)
    if o + 24 > tvb:len() then return end
    local r = tvb(o, 24)
    tree:add(F.password, r, r:stringz() == "" and "" or "********")
end

local function add_time(tree, tvb, o, key)
    if o + 4 > tvb:len() then return end
    tree:add(F[key], tvb(o, 4), NSTime.new(u32(tvb, o), 0))
end

-- 16-byte IPv4 socket address: family u16 little-endian, port and address in
-- network order, eight zero bytes.
local function add_sockaddr(tree, tvb, o, fam, port, addr)
    if o + 16 > tvb:len() then return end
    tree:add_le(F[fam], tvb(o, 2))
    tree:add(F[port], tvb(o + 2, 2))
    tree:add(F[addr], tvb(o + 4, 4))
end

local function login_record(t, p)
    add_record(t, p, 0, { { "user", 24, "text" } })
    add_password(t, p, 24)
    if p:len() >= 84 then t:add(F.userinfo, p(60, 24)) end
    if p:len() >= 24 then return "user " .. p(0, 24):stringz() end
end

local function user_record(t, p, o)
    add_record(t, p, o, { { "user", 24, "text" } })
    add_password(t, p, o + 24)
    add_record(t, p, o + 48, { { "user_rights", 4 } })
end

local function log_record(t, p, o)
    add_record(t, p, o, { { "log_id", 4 } })
    add_time(t, p, o + 4, "log_time")
    add_record(t, p, o + 8, { { "log_category", 4 }, { "text", 48, "text" } })
end

-- A list reply: u32 count, then whole records of `size` bytes.
local function list_reply(t, p, size, each, what)
    if p:len() < 4 then return end
    local n = u32(p, 0)
    t:add_le(F.list_count, p(0, 4))
    local o = 4
    for i = 1, n do
        if o + size > p:len() then break end
        each(t:add(recnet, p(o, size), what .. " " .. i), p, o)
        o = o + size
    end
    return n .. " " .. what .. (n == 1 and "" or "s")
end

local function start_request(t, p, pinfo)
    add_record(t, p, 0, { { "channel", 4 }, { "transport", 4 } })
    add_sockaddr(t, p, 8, "dest_family", "dest_port", "dest_addr")
    add_record(t, p, 24, { { "kind", 1 }, { "option", 1 } })
    if p:len() < 8 then return end
    local transport = u32(p, 4)
    if transport == 2 and p:len() >= 12 then
        -- The video of this stream comes to the named port.
        DissectorTable.get("udp.port"):add(p(10, 2):uint(), recnet)
    end
    return "channel " .. p(0, 4):le_int() .. " " .. (TRANSPORTS[transport] or transport)
end

local WORDS = function(keys)
    return function(t, p)
        local layout = {}
        for i, k in ipairs(keys) do layout[i] = { k, 4 } end
        add_record(t, p, 0, layout)
    end
end
local TIME_RECORD = WORDS({ "word", "word", "word", "word", "word", "word" })

-- Payload dissectors by type, for each direction. Each gets the payload
-- range, the header values and the stream state, and may return a summary
-- for the Info column.
local CLIENT = {
    [0x1] = login_record,
    [0x3] = function(t, p, h, st, pinfo) return start_request(t, p, pinfo) end,
    [0x4] = WORDS({ "channel" }),
    [0x7] = function(t, p, h)
        t:add(F.text, h.subtype_range, PTZ[h.subtype] or ("action " .. h.subtype))
        WORDS({ "channel", "word", "word" })(t, p)
    end,
    [0x403] = function(t, p) if p:len() >= 1 then t:add(F.channel, p(0, 1), p(0, 1):int()) end end,
    [0x802] = TIME_RECORD,
    [0x807] = function(t, p)  -- LogQuery: start, end, category, maximum count
        add_time(t, p, 0, "log_time")
        add_time(t, p, 4, "log_time")
        add_record(t, p, 8, { { "log_category", 4 }, { "word", 4 } })
    end,
    [0x80a] = WORDS({ "word" }),
    [0x80f] = function(t, p) user_record(t, p, 0) end,
    [0x813] = WORDS({ "channel", "word", "value", "word" }),
    [0x818] = function(t, p) add_record(t, p, 0, { { "serial_count", 4 } }) end,
    [0x830] = WORDS({ "channel" }),
    [0x840] = function(t, p)  -- channel, then on, kind, minutes
        add_record(t, p, 0, { { "channel", 4 }, { "word", 1 }, { "kind", 1 }, { "word", 1 } })
    end,
    [0x841] = WORDS({ "channel" }),
    [0x842] = function(t, p) add_record(t, p, 0, { { "text", 48, "text" } }) end,
    [0x845] = WORDS({ "word", "word" }),
    [0x846] = WORDS({ "word", "word", "word" }),
    [0x847] = WORDS({ "word", "word" }),
    [0x865] = WORDS({ "word" }),
}
CLIENT[0x808] = CLIENT[0x807]
CLIENT[0x810] = CLIENT[0x80f]
CLIENT[0x811] = CLIENT[0x80f]

-- MSG_TIME_INFO from the client: a transfer request, or a firmware chunk
-- while an upload runs on this connection.
CLIENT[0x103] = function(t, p, h, st)
    if TRANSFERS[h.subtype] then t:add(F.transfer, h.subtype_range, h.subtype) end
    if h.subtype == 0x5201 then
        if st.upload_left > 0 then
            t:add(F.chunk, h.length_range, h.length)
            st.upload_left = st.upload_left - h.length
            return "firmware chunk, " .. st.upload_left .. " bytes to go"
        end
        if p:len() >= 4 then
            t:add_le(F.update_size, p(0, 4))
            st.upload_size = p(0, 4):le_int()
            return "firmware upload of " .. st.upload_size .. " bytes"
        end
    elseif h.subtype == 0x5204 then
        WORDS({ "channel", "word" })(t, p)
    elseif h.subtype == 0x5205 then
        add_record(t, p, 0, { { "channel", 1 }, { "word", 1 }, { "word", 1 }, { "word", 1 } })
    end
    return TRANSFERS[h.subtype]
end

local SERVER = {
    [0x1] = function(t, p) if p:len() > 0 then return login_record(t, p) end end,
    [0x9] = function(t, p)
        add_record(t, p, 0, { { "session_id", 4 } })
        if p:len() >= 4 then return "session " .. u32(p, 0) end
    end,
    [0x803] = TIME_RECORD,
    [0x804] = function(t, p) for o = 0, 128, 32 do add_record(t, p, o, { { "text", 32, "text" } }) end end,
    [0x807] = function(t, p) return list_reply(t, p, 76, log_record, "log line") end,
    [0x80b] = WORDS({ "word" }),
    [0x80e] = function(t, p) return list_reply(t, p, 56, user_record, "user") end,
    [0x812] = WORDS({ "word", "word" }),
    [0x819] = function(t, p) add_record(t, p, 0, { { "serial_count", 4 } }) end,
    [0x847] = WORDS({ "word", "word", "value" }),
    [0x848] = WORDS({ "word", "value" }),
    [0x104] = function(t, p)  -- site name, number, channels, serial ports, base port, address
        add_record(t, p, 0, { { "text", 24, "text" }, { "word", 4 }, { "word", 4 }, { "word", 4 },
                              { "word", 4 }, { "text", 16, "text" } })
    end,
}

SERVER[0x4] = function(t, p, h, st)
    if h.status == 0 and st.upload_size then
        st.upload_left = st.upload_size
        return "send the image"
    end
    st.upload_size = nil
    return "upload refused"
end

SERVER[0x5] = function(t, p, h, st)
    if p:len() < 4 then return end
    st.upload_left = 0
    if h.status == 0 then
        t:add_le(F.update_percent, p(0, 4))
        return "flash write " .. p(0, 4):le_int() .. "%"
    end
    st.upload_size = nil
    t:add_le(F.value, p(0, 4))
    return p(0, 4):le_int() == -1 and "write failed" or "transfer failed"
end

SERVER[0x103] = function(t, p, h)
    if TRANSFERS[h.subtype] then t:add(F.transfer, h.subtype_range, h.subtype) end
    if h.subtype == 0x5204 or h.subtype == 0x5205 then
        add_record(t, p, 0, { { "channel", h.subtype == 0x5204 and 4 or 1 } })
        if p:len() >= 8 then
            t:add_le(F.word, p(4, 4)):append_text(" (picture bytes)")
            return "picture of " .. u32(p, 4) .. " bytes"
        end
    elseif not TRANSFERS[h.subtype] then
        TIME_RECORD(t, p)
    end
    return TRANSFERS[h.subtype]
end

-- Per TCP connection: how many handshake messages the client has sent on a
-- data connection, and a firmware upload in progress on a command one. A
-- message seen again (a second pass, a click in the packet list) works on a
-- copy of the state as it was before that message the first time, so that
-- it is decoded the same way and changes nothing.
local streams, before = {}, {}
local pdu_index = 0
local function stream_state(pinfo)
    local id = f_tcp_stream()
    local key = id and id.value or -1
    local st = streams[key]
    if st == nil then
        st = { data_msgs = 0, upload_left = 0 }
        streams[key] = st
    end
    pdu_index = pdu_index + 1
    local at = pinfo.number .. ":" .. pdu_index
    local function copy(s)
        return { data_msgs = s.data_msgs, upload_left = s.upload_left, upload_size = s.upload_size }
    end
    if before[at] == nil then before[at] = copy(st); return st end
    return copy(before[at])
end

local function frame_header(t, tvb, o)
    local fh = t:add(recnet, tvb(o, FRAME_HEADER), "Frame header")
    add_record(fh, tvb, o + 4, { { "fr_data_len", 4 }, { "fr_seq", 4 }, { "fr_channel", 1 },
                                  { "fr_type", 1 }, { "fr_kind", 1 } })
    local us = tvb(o + 16, 8):le_uint64()
    local secs = (us / 1000000):tonumber()
    fh:add(F.fr_time, tvb(o + 16, 8), NSTime.new(secs, (us % 1000000):tonumber() * 1000))
end

-- Whether the bytes at hand are one whole video fragment.
local function is_fragment(tvb)
    if tvb:len() < 16 then return false end
    local len, data_len = u32(tvb, 8), u32(tvb, 4)
    if len < 1 or len > FRAGMENT_MAX or tvb:len() ~= 16 + len or u8(tvb, 15) ~= 0 then return false end
    if data_len + FRAME_HEADER > 1048576 then return false end
    local full = math.ceil((data_len + FRAME_HEADER) / FRAGMENT_MAX)
    if full % 256 ~= u8(tvb, 12) or u8(tvb, 13) >= math.min(full, 256) then return false end
    if u8(tvb, 13) == 0 and (len < FRAME_HEADER or u32(tvb, 16 + 4) ~= data_len) then return false end
    return true
end

local function dissect_fragment(tvb, pinfo, tree)
    local t = tree:add(recnet, tvb(), "recnet video fragment")
    add_record(t, tvb, 0, { { "f_seq", 4 }, { "f_data_len", 4 }, { "f_len", 4 }, { "f_count", 1 },
                            { "f_index", 1 }, { "f_type", 1 } })
    local index, len = u8(tvb, 13), u32(tvb, 8)
    if index == 0 and len >= FRAME_HEADER and tvb:len() >= 16 + FRAME_HEADER then frame_header(t, tvb, 16) end
    local seq, count = u32(tvb, 0), u8(tvb, 12)
    local what = string.format("/%d of frame %d (%s)", count, seq, FRAME_TYPES[u8(tvb, 14)] or u8(tvb, 14))
    local frag = { key = "frame " .. seq, index = index, plural = "Fragments ", rest = what }
    local summary = "Fragment " .. (index + 1) .. what
    t:append_text(": " .. summary)
    return summary, frag
end

local function add_header(t, tvb, from_server, h, name)
    t:add_le(F.magic, tvb(0, 4))
    name = name or (from_server and SERVER_TYPES[h.type]) or TYPES[h.type] or "unknown type"
    if not from_server and (h.type == 5 or h.type == 6 or (h.type >= 0x105 and h.type <= 0x107)) then
        name = "ignored type"
    end
    t:add_le(F.type, tvb(4, 2)):append_text(" (" .. name .. ")")
    t:add(F.type_name, tvb(4, 2), name)
    if h.type == 0x401 or h.type == 0x402 then
        t:add_le(F.param, tvb(6, 2))
    else
        t:add_le(F.subtype, tvb(6, 2))
    end
    local lt = t:add_le(F.length, tvb(8, 4))
    if h.length > MAX_PAYLOAD then lt:add_proto_expert_info(e_too_long) end
    local status = (h.type == 1 and LOGIN_STATUS[h.status]) or STATUS[h.status] or "other"
    if not from_server then status = "not read in a request" end
    t:add(F.status, tvb(12, 1)):append_text(" (" .. status .. ")")
    t:add(F.status_name, tvb(12, 1), status)
    t:add(F.rest, tvb(13, 3))
    return name
end

local function dissect_message(tvb, pinfo, tree, from_server, st, data_conn)
    local h = { type = u16(tvb, 4), subtype = u16(tvb, 6), length = u32(tvb, 8), status = u8(tvb, 12),
                subtype_range = tvb(6, 2), length_range = tvb(8, 4) }
    local t = tree:add(recnet, tvb(), "recnet message")
    t:add(F.direction, from_server and "server to client" or "client to server")
    local name = add_header(t, tvb, from_server, h, data_conn and "data handshake" or nil)
    local p = tvb(16, tvb:len() - 16):tvb()
    local summary
    if data_conn then
        if from_server then
            summary = h.length == 0 and "session accepted" or "subscribed"
            if h.length >= 8 then add_record(t, p, 0, { { "channel", 4 }, { "kind", 1 } }) end
        else
            st.data_msgs = st.data_msgs + 1
            if st.data_msgs == 1 then
                add_record(t, p, 0, { { "session_id", 4 } })
                summary = p:len() >= 4 and "session " .. u32(p, 0) or "session id"
            else
                add_record(t, p, 0, { { "channel", 4 }, { "kind", 1 } })
                summary = "subscribe"
            end
        end
    else
        local handler = (from_server and SERVER or CLIENT)[h.type]
        if h.type == 0x401 or h.type == 0x402 then
            summary = PARAMS[h.subtype] or ("parameter type " .. h.subtype)
        end
        -- Raw bytes only where no record is decoded: a record may hold a password.
        if handler then
            summary = handler(t, p, h, st, pinfo) or summary
        elseif tvb:len() > 16 then
            t:add(F.payload, tvb(16))
        end
    end
    local text = name
    if from_server and not data_conn and not UNASKED[h.type] then text = text .. " reply" end
    if summary then text = text .. ": " .. summary end
    if from_server and h.status ~= 0 then
        text = text .. " [" .. (STATUS[h.status] or ("status " .. h.status)) .. "]"
    end
    t:append_text(": " .. text)
    return text
end

-- A snapshot piece on the command connection: 8 zero bytes, u32 length,
-- u8 count, u8 number from 1, 2 zero bytes.
local function dissect_snapshot_piece(tvb, tree)
    local t = tree:add(recnet, tvb(), "recnet snapshot fragment")
    add_record(t, tvb, 8, { { "s_len", 4 }, { "s_count", 1 }, { "s_number", 1 } })
    local what = "/" .. u8(tvb, 12)
    return "Snapshot fragment " .. u8(tvb, 13) .. what,
           { key = "snapshot", index = u8(tvb, 13) - 1, plural = "Snapshot fragments ", rest = what }
end

-- Info column: one entry per message of the packet; consecutive fragments
-- of one frame or picture make one entry ("Fragments 3-40/143 of frame 36").
local info_frame, info_parts = -1, {}
local function add_info(pinfo, text, frag)
    pinfo.cols.protocol = "RECNET"
    if info_frame ~= pinfo.number then info_frame, info_parts = pinfo.number, {} end
    local last = info_parts[#info_parts]
    if frag and last and last.frag and last.frag.key == frag.key and last.frag.last + 1 == frag.index then
        last.frag.last = frag.index
        last.text = frag.plural .. (last.frag.first + 1) .. "-" .. (frag.index + 1) .. frag.rest
    else
        if frag then frag.first, frag.last = frag.index, frag.index end
        info_parts[#info_parts + 1] = { text = text, frag = frag }
    end
    local texts = {}
    for i, part in ipairs(info_parts) do texts[i] = part.text end
    -- TCP fences the column after a reassembled message; the whole list is ours.
    pinfo.cols.info:clear_fence()
    pinfo.cols.info = table.concat(texts, ", ")
end

local function pdu_length(tvb, pinfo, offset)
    local len = tvb(offset + 8, 4):le_uint()
    -- The peer gives the connection up at such a header: the rest is no message.
    if len > MAX_PAYLOAD then return tvb:len() - offset end
    return 16 + len
end

local function dissect_pdu(tvb, pinfo, tree)
    local base = recnet.prefs.base_port
    local from_server = pinfo.src_port == base or pinfo.src_port == base + 1
    local data_conn = pinfo.src_port == base + 1 or pinfo.dst_port == base + 1
    local st = stream_state(pinfo)
    local text
    if from_server and u32(tvb, 0) ~= MAGIC and data_conn then
        add_info(pinfo, dissect_fragment(tvb, pinfo, tree))
        return tvb:len()
    elseif from_server and u32(tvb, 0) == 0 and u32(tvb, 4) == 0 then
        add_info(pinfo, dissect_snapshot_piece(tvb, tree))
        return tvb:len()
    else
        text = dissect_message(tvb, pinfo, tree, from_server, st, data_conn)
    end
    add_info(pinfo, text)
    return tvb:len()
end

local function dissect_probe(tvb, pinfo, tree)
    local t = tree:add(recnet, tvb(), "recnet address probe")
    if tvb:len() < 16 then return add_info(pinfo, "Address probe (short)") end
    local reply = pinfo.src_port == recnet.prefs.base_port + 4
    add_header(t, tvb, reply, { type = u16(tvb, 4), subtype = u16(tvb, 6), length = u32(tvb, 8),
                                status = u8(tvb, 12) }, "address probe")
    add_record(t, tvb, 16, { { "probe_word", 4 }, { "probe_word", 4 } })
    add_sockaddr(t, tvb, 24, "probe_family", "probe_port", "probe_addr")
    add_record(t, tvb, 40, { { "probe_word", 4 } })
    local text = reply and "Address probe reply" or "Address probe"
    if reply and tvb:len() >= 32 then
        text = text .. string.format(": you are %s port %d", tostring(tvb(28, 4):ipv4()), tvb(26, 2):uint())
    end
    add_info(pinfo, text)
end

function recnet.dissector(tvb, pinfo, tree)
    if pinfo.port_type == 3 then  -- UDP
        if pinfo.dst_port == recnet.prefs.base_port + 4 or pinfo.src_port == recnet.prefs.base_port + 4 then
            dissect_probe(tvb, pinfo, tree)
            return tvb:len()
        end
        if not is_fragment(tvb) then return 0 end
        add_info(pinfo, dissect_fragment(tvb, pinfo, tree))
        return tvb:len()
    end
    pdu_index = 0
    dissect_tcp_pdus(tvb, tree, 16, pdu_length, dissect_pdu, true)
    return tvb:len()
end

local function heuristic(tvb, pinfo, tree)
    if not recnet.prefs.heuristic or not is_fragment(tvb) then return false end
    add_info(pinfo, dissect_fragment(tvb, pinfo, tree))
    return true
end
recnet:register_heuristic("udp", heuristic)

-- Registers the ports of the current preferences (and forgets the old ones).
local registered = nil
local function register_ports()
    local tcp, udp = DissectorTable.get("tcp.port"), DissectorTable.get("udp.port")
    if registered then
        for _, p in ipairs(registered.tcp) do tcp:remove(p, recnet) end
        for _, p in ipairs(registered.udp) do udp:remove(p, recnet) end
    end
    local b = recnet.prefs.base_port
    registered = { tcp = { b, b + 1 }, udp = { b + 4 } }
    for kind = 0, 1 do
        for c = 0, recnet.prefs.multicast_channels - 1 do
            registered.udp[#registered.udp + 1] = (b - 1 - c - 16 * kind) % 65536
        end
    end
    for _, p in ipairs(registered.tcp) do tcp:add(p, recnet) end
    for _, p in ipairs(registered.udp) do udp:add(p, recnet) end
end

function recnet.prefs_changed() register_ports() end
function recnet.init() streams, before, info_frame, info_parts = {}, {}, -1, {} end
register_ports()
