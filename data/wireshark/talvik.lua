-- Wireshark dissector for the RS485 frames of talvik-ota-cli and talvik-bus-sim captures
-- (pcapng, link type USER0 = 147, one frame per packet, header byte to CRC):
--   tshark -r FILE -X lua_script:/usr/share/talvik-ota-tool/wireshark/talvik.lua
-- or copy it into Wireshark's personal Lua plugins folder.
--
-- Frame: F5, length L (16 bits, low byte first) and its ones' complement, address, payload,
-- CRC-16/CCITT-FALSE of address and payload (low byte first). L counts address, payload and
-- CRC. A request's payload starts with a command code; an answer's with a status (00 success,
-- FF error) and the command code it answers.

local talvik = Proto("talvik", "Talvik RS485 reader frame")

local START_BYTE = 0xF5
local HEADER_SIZE = 5
local MIN_LENGTH = 3
local MAX_LENGTH = 2068
local STATUS_SUCCESS = 0x00
local STATUS_ERROR = 0xFF

local commands = {
    [0x02] = "CmdGetTagCount", [0x03] = "CmdReadUid", [0x04] = "CmdActivateTag",
    [0x05] = "CmdHalt", [0x08] = "CmdReboot", [0x09] = "CmdGetVersion",
    [0x0A] = "CmdGetDeviceName", [0x0B] = "CmdSetSettings", [0x0C] = "CmdGetSettings",
    [0x0D] = "CmdResetToDefaults", [0x0E] = "CmdLed", [0x40] = "CmdReadPage",
    [0x41] = "CmdWritePage", [0x42] = "CmdGetTagVersion", [0xF0] = "CmdEnterBootloader",
    [0xF1] = "CmdEraseFlash", [0xF2] = "CmdWriteFlash", [0xF3] = "CmdFinishFirmware",
    [0xF4] = "CmdPnEeprom",
}
local statuses = { [STATUS_SUCCESS] = "success", [STATUS_ERROR] = "error" }
local baud_rates = { [0] = "4800", [1] = "9600", [2] = "19200", [3] = "38400", [4] = "57600",
                     [5] = "115200" }

local f = talvik.fields
f.start = ProtoField.uint8("talvik.start", "Start byte", base.HEX)
f.length = ProtoField.uint16("talvik.length", "Length", base.DEC)
f.length_complement = ProtoField.uint16("talvik.length_complement", "Length complement", base.HEX)
f.address = ProtoField.uint8("talvik.address", "Address", base.HEX)
f.payload = ProtoField.bytes("talvik.payload", "Payload")
f.kind = ProtoField.string("talvik.kind", "Kind")
f.command = ProtoField.uint8("talvik.command", "Command", base.HEX, commands)
f.status = ProtoField.uint8("talvik.status", "Status", base.HEX, statuses)
f.error_number = ProtoField.uint16("talvik.error_number", "Error number", base.HEX)
f.data = ProtoField.bytes("talvik.data", "Data")
f.version = ProtoField.string("talvik.version", "Firmware version")
f.identification = ProtoField.string("talvik.identification", "Identification")
f.baud_index = ProtoField.uint8("talvik.settings.baud_index", "Baud rate", base.DEC, baud_rates)
f.own_address = ProtoField.uint8("talvik.settings.own_address", "Own address", base.HEX)
-- The tool writes 1 for on and reads any other value but 0 as on too.
f.terminated = ProtoField.uint8("talvik.settings.terminated", "Terminated", base.DEC,
                                { [0] = "off", [1] = "on" })
f.short_name = ProtoField.string("talvik.settings.short_name", "Short name")
f.crc = ProtoField.uint16("talvik.crc", "CRC", base.HEX)
f.crc_computed = ProtoField.uint16("talvik.crc.computed", "CRC computed", base.HEX)

local e_crc = ProtoExpert.new("talvik.crc.bad", "CRC mismatch", expert.group.CHECKSUM,
                              expert.severity.ERROR)
local e_header = ProtoExpert.new("talvik.header.bad", "No frame header", expert.group.MALFORMED,
                                 expert.severity.ERROR)
local e_length = ProtoExpert.new("talvik.length.bad", "Impossible length",
                                 expert.group.MALFORMED, expert.severity.ERROR)
local e_short = ProtoExpert.new("talvik.short", "Frame cut short", expert.group.MALFORMED,
                                expert.severity.ERROR)
talvik.experts = { e_crc, e_header, e_length, e_short }

local function crc16(tvb, offset, len)
    local crc = 0xFFFF
    for i = offset, offset + len - 1 do
        crc = bit32.bxor(crc, bit32.lshift(tvb(i, 1):uint(), 8))
        for _ = 1, 8 do
            if bit32.band(crc, 0x8000) ~= 0 then
                crc = bit32.bxor(bit32.lshift(crc, 1), 0x1021)
            else
                crc = bit32.lshift(crc, 1)
            end
            crc = bit32.band(crc, 0xFFFF)
        end
    end
    return crc
end

-- Text ends at its first zero byte or at the end of the payload.
local function text_range(tvb, offset, last)
    local stop = offset
    while stop <= last and tvb(stop, 1):uint() ~= 0 do
        stop = stop + 1
    end
    return stop > offset and tvb(offset, stop - offset) or nil
end

local function command_name(code)
    return commands[code] or string.format("command 0x%02X", code)
end

local function add_text(tree, field, tvb, offset, last)
    local range = text_range(tvb, offset, last)
    if not range then
        tree:add(field, ""):set_generated()
        return ""
    end
    local text = range:string(ENC_UTF_8)
    tree:add(field, range, text)
    return text
end

-- The seven-byte settings record, of a settings answer or a settings write.
local function add_settings(tree, tvb, offset, last)
    if last - offset + 1 < 7 then
        tree:add(f.data, tvb(offset, last - offset + 1))
        return "settings record cut short"
    end
    local baud = tvb(offset, 1):uint()
    local terminated = tvb(offset + 2, 1):uint()
    tree:add(f.baud_index, tvb(offset, 1))
    tree:add(f.own_address, tvb(offset + 1, 1))
    local item = tree:add(f.terminated, tvb(offset + 2, 1))
    if terminated > 1 then item:append_text(" (on)") end
    local name_range = text_range(tvb, offset + 3, offset + 6)
    local name = name_range and name_range:string(ENC_ISO_8859_1) or ""
    tree:add(f.short_name, tvb(offset + 3, 4), name)
    return string.format("baud %s, address %02X, terminated %s, short name \"%s\"",
                         baud_rates[baud] or ("index " .. baud), tvb(offset + 1, 1):uint(),
                         terminated ~= 0 and "on" or "off", name)
end

local function dissect_request(tree, tvb, offset, last)
    local code = tvb(offset, 1):uint()
    tree:add(f.kind, "request"):set_generated()
    tree:add(f.command, tvb(offset, 1))
    local summary = "Request " .. command_name(code)
    if code == 0x0B then
        summary = summary .. ": " .. add_settings(tree, tvb, offset + 1, last)
    elseif last > offset then
        tree:add(f.data, tvb(offset + 1, last - offset))
    end
    return summary
end

local function dissect_answer(tree, tvb, offset, last)
    local status = tvb(offset, 1):uint()
    local payload_len = last - offset + 1
    if status == STATUS_ERROR and payload_len == 3 and tvb(offset + 1, 2):uint() == 0xFF02 then
        tree:add(f.kind, "CRC error notice"):set_generated()
        return "CRC error notice"
    end
    tree:add(f.kind, "answer"):set_generated()
    tree:add(f.status, tvb(offset, 1))
    if payload_len < 2 then
        return "Answer cut short"
    end
    local code = tvb(offset + 1, 1):uint()
    tree:add(f.command, tvb(offset + 1, 1)):append_text(" (answered)")
    local summary = "Answer " .. command_name(code) .. " " .. statuses[status]
    local data = offset + 2
    if status == STATUS_ERROR then
        if payload_len >= 4 then
            tree:add(f.error_number, tvb(data, 2))
            summary = summary .. string.format(" 0x%04X", tvb(data, 2):uint())
        end
    elseif code == 0x09 then
        summary = summary .. ": " .. add_text(tree, f.version, tvb, data, last)
    elseif code == 0x0A then
        summary = summary .. ": " .. add_text(tree, f.identification, tvb, data, last)
    elseif code == 0x0C then
        summary = summary .. ": " .. add_settings(tree, tvb, data, last)
    elseif data <= last then
        tree:add(f.data, tvb(data, last - data + 1))
    end
    return summary
end

function talvik.dissector(tvb, pinfo, root)
    pinfo.cols.protocol = "TALVIK"
    local size = tvb:len()
    local tree = root:add(talvik, tvb())
    if size < HEADER_SIZE or tvb(0, 1):uint() ~= START_BYTE
        or bit32.band(bit32.bnot(tvb(1, 1):uint()), 0xFF) ~= tvb(3, 1):uint()
        or bit32.band(bit32.bnot(tvb(2, 1):uint()), 0xFF) ~= tvb(4, 1):uint() then
        tree:add_proto_expert_info(e_header, string.format("%d byte(s) without a frame header",
                                                           size))
        pinfo.cols.info = "Bytes outside any frame"
        return size
    end
    local length = tvb(1, 2):le_uint()
    tree:add(f.start, tvb(0, 1))
    tree:add_le(f.length, tvb(1, 2))
    tree:add_le(f.length_complement, tvb(3, 2))
    if length < MIN_LENGTH or length > MAX_LENGTH then
        tree:add_proto_expert_info(e_length, string.format("Length %d, outside %d to %d", length,
                                                           MIN_LENGTH, MAX_LENGTH))
        pinfo.cols.info = "Header of impossible length"
        return size
    end
    local address = tvb(5 < size and 5 or 0, 1):uint()
    if size < HEADER_SIZE + length then
        tree:add_proto_expert_info(e_short, string.format("Frame cut short: %d of %d bytes",
                                                          size, HEADER_SIZE + length))
        pinfo.cols.info = "Frame cut short"
        return size
    end
    tree:add(f.address, tvb(5, 1))
    local offset = HEADER_SIZE + 1
    local crc_at = HEADER_SIZE + length - 2
    local last = crc_at - 1
    local summary = string.format("%02X ", address)
    if last >= offset then
        tree:add(f.payload, tvb(offset, last - offset + 1))
        local first = tvb(offset, 1):uint()
        if first == STATUS_SUCCESS or first == STATUS_ERROR then
            summary = summary .. dissect_answer(tree, tvb, offset, last)
        else
            summary = summary .. dissect_request(tree, tvb, offset, last)
        end
    else
        summary = summary .. "Empty frame"
    end
    local carried = tvb(crc_at, 2):le_uint()
    local computed = crc16(tvb, HEADER_SIZE, length - 2)
    local crc_item = tree:add_le(f.crc, tvb(crc_at, 2))
    if carried == computed then
        crc_item:append_text(" [correct]")
    else
        crc_item:add(f.crc_computed, computed):set_generated()
        crc_item:add_proto_expert_info(e_crc, string.format("CRC 0x%04X, the bytes give 0x%04X",
                                                            carried, computed))
        summary = "[bad CRC] " .. summary
    end
    pinfo.cols.info = summary
    return size
end

DissectorTable.get("wtap_encap"):add(wtap.USER0, talvik)
