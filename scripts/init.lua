-- Default decode script: for every row a paragraph that names it and tables of its fields.
--
-- The program calls one global function per row kind with the row table and shows the string it
-- returns. That string is a list of items separated by ";": "S" followed by a paragraph, or "T"
-- followed by a title line, a line of column heads separated by "#" and one line per table row
-- with its cells separated by "#". So no text may hold ";", and no head or cell "#" or a line
-- end; every text passes through clean() on its way out. Other rows are read with getNode(ix),
-- which the program registers (nil for an index outside the row list).

local PID_NAMES = {
  [0] = "RESERVED", "OUT", "ACK", "DATA0", "PING", "SOF", "NYET", "DATA2",
  "SPLIT", "IN", "NAK", "DATA1", "PRE", "SETUP", "STALL", "MDATA",
}
local PID_ACK, PID_STALL = 2, 14

local HANDSHAKE_MEANING = {
  [2] = "the packet was received",
  [10] = "the endpoint is not ready, the host retries",
  [14] = "the endpoint is halted or the request is not supported",
  [6] = "the data was received, the endpoint is not ready for more",
}

local DIRECTIONS = { [0] = "Host to device", "Device to host" }
local REQUEST_TYPES = { [0] = "Standard", "Class", "Vendor", "Reserved" }
local RECIPIENTS = { [0] = "Device", "Interface", "Endpoint", "Other" }

local STANDARD_REQUESTS = {
  [0] = "GET_STATUS", [1] = "CLEAR_FEATURE", [3] = "SET_FEATURE", [5] = "SET_ADDRESS",
  [6] = "GET_DESCRIPTOR", [7] = "SET_DESCRIPTOR", [8] = "GET_CONFIGURATION",
  [9] = "SET_CONFIGURATION", [10] = "GET_INTERFACE", [11] = "SET_INTERFACE",
  [12] = "SYNCH_FRAME",
}
local GET_DESCRIPTOR, SET_DESCRIPTOR, SET_ADDRESS, SET_CONFIGURATION = 6, 7, 5, 9

local DESCRIPTOR_TYPES = {
  [1] = "DEVICE", [2] = "CONFIGURATION", [3] = "STRING", [4] = "INTERFACE", [5] = "ENDPOINT",
  [6] = "DEVICE_QUALIFIER", [7] = "OTHER_SPEED_CONFIGURATION", [8] = "INTERFACE_POWER",
  [0x21] = "HID", [0x22] = "REPORT", [0x23] = "PHYSICAL",
}

local BYTES_PER_LINE = 16

-- Children read of one group row: a control transfer that never closes gathers every transaction
-- of its endpoint to the end of the capture, and walking all of them would outrun the
-- instruction budget of a decode call and leave the row without a decode.
local MAX_CHILDREN = 1000

-- Text helpers --------------------------------------------------------------------------------

-- A text that fits in any item, head or cell; never empty, since the pane drops empty cells
-- and would shift the cells after them.
local function clean(value)
  local text = tostring(value):gsub("[;#\r\n]", " ")
  if text == "" then text = "-" end
  return text
end

local function int(value)
  return math.tointeger(value) or 0
end

local function hex(value, digits)
  return string.format("0x%0" .. digits .. "x", int(value))
end

local function paragraph(text)
  return "S" .. clean(text)
end

local function joinCells(cells)
  local out = {}
  for i, cell in ipairs(cells) do out[i] = clean(cell) end
  return table.concat(out, "#")
end

local function tableItem(title, heads, rows)
  local lines = { "T" .. clean(title), joinCells(heads) }
  for _, row in ipairs(rows) do lines[#lines + 1] = joinCells(row) end
  return table.concat(lines, "\n")
end

local function fieldTable(title, rows)
  return tableItem(title, { "Field", "Value" }, rows)
end

local function decodeString(items)
  return table.concat(items, ";")
end

local function pidText(pid)
  local name = PID_NAMES[pid]
  if name then return name .. " (" .. int(pid) .. ")" end
  return "unknown (" .. tostring(pid) .. ")"
end

local function pidName(pid)
  return PID_NAMES[pid] or ("PID " .. tostring(pid))
end

local function crcText(value, digits, ok)
  return hex(value, digits) .. (ok and " (OK)" or " (bad)")
end

local function ticksText(ticks)
  return string.format("%d ticks (%.3f us)", int(ticks), int(ticks) / 12)
end

-- Payload as a table of offset and up to 16 bytes per line.
local function payloadTable(bytes)
  local rows = {}
  for first = 1, #bytes, BYTES_PER_LINE do
    local parts = {}
    for i = first, math.min(first + BYTES_PER_LINE - 1, #bytes) do
      parts[#parts + 1] = string.format("%02x", int(bytes[i]))
    end
    rows[#rows + 1] = { string.format("%04x", first - 1), table.concat(parts, " ") }
  end
  return tableItem("Payload", { "Offset", "Bytes" }, rows)
end

-- Other rows ----------------------------------------------------------------------------------

local function node(ix)
  if type(getNode) ~= "function" or math.type(ix) == nil then return nil end
  local row = getNode(ix)
  if type(row) == "table" then return row end
  return nil
end

-- The first MAX_CHILDREN children of a group row, and how many it has in all.
local function childRows(row)
  local out, total = {}, 0
  if type(row.children) == "table" then
    total = #row.children
    for i = 1, math.min(total, MAX_CHILDREN) do
      local child = node(row.children[i])
      if child then out[#out + 1] = child end
    end
  end
  return out, total
end

-- The first token, data packet and handshake of a transaction.
local function packetsOf(transaction)
  local found = {}
  for _, child in ipairs(childRows(transaction)) do
    if child.type == "token" or child.type == "data" or child.type == "handshake" then
      found[child.type] = found[child.type] or child
    end
  end
  return found
end

-- Setup packets -------------------------------------------------------------------------------

local function parseSetup(bytes)
  if type(bytes) ~= "table" or #bytes ~= 8 then return nil end
  local b = {}
  for i = 1, 8 do b[i] = int(bytes[i]) end
  return {
    bmRequestType = b[1],
    direction = (b[1] >> 7) & 1,
    requestType = (b[1] >> 5) & 3,
    recipient = b[1] & 0x1f,
    bRequest = b[2],
    wValue = b[3] | (b[4] << 8),
    wIndex = b[5] | (b[6] << 8),
    wLength = b[7] | (b[8] << 8),
  }
end

local function isStandard(setup, request)
  return setup.requestType == 0 and setup.bRequest == request
end

local function requestName(setup)
  if setup.requestType == 0 and STANDARD_REQUESTS[setup.bRequest] then
    return STANDARD_REQUESTS[setup.bRequest]
  end
  return REQUEST_TYPES[setup.requestType] .. " request " .. setup.bRequest
end

local function descriptorName(kind)
  return DESCRIPTOR_TYPES[kind] or "unknown"
end

-- One line naming the request, e.g. "GET_DESCRIPTOR DEVICE_QUALIFIER".
local function requestSummary(setup)
  local text = requestName(setup)
  if isStandard(setup, GET_DESCRIPTOR) or isStandard(setup, SET_DESCRIPTOR) then
    text = text .. " " .. descriptorName(setup.wValue >> 8)
  elseif isStandard(setup, SET_ADDRESS) then
    text = text .. " " .. setup.wValue
  elseif isStandard(setup, SET_CONFIGURATION) then
    text = text .. " " .. setup.wValue
  end
  return text
end

local function setupTable(setup)
  local recipient = RECIPIENTS[setup.recipient] or ("Reserved (" .. setup.recipient .. ")")
  local rows = {
    { "bmRequestType", hex(setup.bmRequestType, 2) },
    { "Direction", DIRECTIONS[setup.direction] },
    { "Type", REQUEST_TYPES[setup.requestType] },
    { "Recipient", recipient },
    { "bRequest", setup.bRequest .. " (" .. requestName(setup) .. ")" },
    { "wValue", hex(setup.wValue, 4) },
  }
  if isStandard(setup, GET_DESCRIPTOR) or isStandard(setup, SET_DESCRIPTOR) then
    local kind = setup.wValue >> 8
    rows[#rows + 1] = { "Descriptor type", kind .. " (" .. descriptorName(kind) .. ")" }
    rows[#rows + 1] = { "Descriptor index", setup.wValue & 0xff }
  elseif isStandard(setup, SET_ADDRESS) then
    rows[#rows + 1] = { "New address", setup.wValue & 0x7f }
  elseif isStandard(setup, SET_CONFIGURATION) then
    rows[#rows + 1] = { "Configuration value", setup.wValue & 0xff }
  end
  rows[#rows + 1] = { "wIndex", hex(setup.wIndex, 4) }
  rows[#rows + 1] = { "wLength", setup.wLength }
  return fieldTable("Setup request", rows)
end

-- The decode functions ------------------------------------------------------------------------

function reset_decode(t)
  return decodeString({
    paragraph("Bus reset of " .. ticksText(t.duration)),
    fieldTable("Reset", {
      { "Duration", ticksText(t.duration) },
      { "Idle after", ticksText(t.idleTicks) },
    }),
  })
end

function sof_decode(t)
  return decodeString({
    paragraph("Start of frame " .. int(t.frame)),
    fieldTable("SOF packet", {
      { "PID", pidText(t.pid) },
      { "Frame", int(t.frame) },
      { "CRC5", crcText(t.crc5, 2, t.crcOK) },
    }),
  })
end

function token_decode(t)
  return decodeString({
    paragraph(pidName(t.pid) .. " token to address " .. int(t.addr) .. ", endpoint "
      .. int(t.endp)),
    fieldTable("Token packet", {
      { "PID", pidText(t.pid) },
      { "Address", int(t.addr) },
      { "Endpoint", int(t.endp) },
      { "CRC5", crcText(t.crc5, 2, t.crcOK) },
    }),
  })
end

function data_decode(t)
  local bytes = type(t.data) == "table" and t.data or {}
  local items = {
    paragraph(pidName(t.pid) .. " packet of " .. #bytes .. " bytes"),
    fieldTable("Data packet", {
      { "PID", pidText(t.pid) },
      { "Length", #bytes .. " bytes" },
      { "CRC16", crcText(t.crc16, 4, t.crcOK) },
    }),
  }
  local parent = node(t.parent)
  local setup = parent and parent.type == "transaction" and parent.subType == "SETUP"
    and parseSetup(bytes)
  if setup then items[#items + 1] = setupTable(setup) end
  if #bytes > 0 then items[#items + 1] = payloadTable(bytes) end
  return decodeString(items)
end

function handshake_decode(t)
  local meaning = HANDSHAKE_MEANING[t.pid]
  local text = pidName(t.pid) .. " handshake"
  if meaning then text = text .. ": " .. meaning end
  return decodeString({
    paragraph(text),
    fieldTable("Handshake packet", { { "PID", pidText(t.pid) } }),
  })
end

function transaction_decode(t)
  local p = packetsOf(t)
  local kind = tostring(t.subType)
  local rows = { { "Type", kind } }
  local text = kind .. " transaction"
  if p.token then
    rows[#rows + 1] = { "Address", int(p.token.addr) }
    rows[#rows + 1] = { "Endpoint", int(p.token.endp) }
    text = text .. " with address " .. int(p.token.addr) .. ", endpoint " .. int(p.token.endp)
  end
  if p.data then
    local n = type(p.data.data) == "table" and #p.data.data or 0
    rows[#rows + 1] = { "Data", pidName(p.data.pid) .. ", " .. n .. " bytes" }
    local setup = kind == "SETUP" and parseSetup(p.data.data)
    if setup then rows[#rows + 1] = { "Request", requestSummary(setup) } end
  else
    rows[#rows + 1] = { "Data", "none" }
  end
  if p.handshake then
    rows[#rows + 1] = { "Handshake", pidName(p.handshake.pid) }
    text = text .. ", answered " .. pidName(p.handshake.pid)
  else
    rows[#rows + 1] = { "Handshake", "none" }
    text = text .. ", no handshake"
  end
  return decodeString({ paragraph(text), fieldTable("Transaction", rows) })
end

function transfer_decode(t)
  local transactions = {}
  local children, total = childRows(t)
  for _, child in ipairs(children) do
    if child.type == "transaction" then
      transactions[#transactions + 1] = { row = child, packets = packetsOf(child) }
    end
  end
  -- The transactions beyond the first MAX_CHILDREN are counted, not examined: a note says so.
  local skipped = total - math.min(total, MAX_CHILDREN)
  local function withNote(items)
    if skipped > 0 then
      items[#items + 1] = paragraph("Only the first " .. MAX_CHILDREN .. " transactions were "
        .. "examined: " .. skipped .. " more follow")
    end
    return decodeString(items)
  end

  local setupPackets
  for _, tr in ipairs(transactions) do
    if tr.row.subType == "SETUP" then setupPackets = tr.packets break end
  end
  local setup = setupPackets and setupPackets.data and parseSetup(setupPackets.data.data)
  if not setup then
    return withNote({
      paragraph("Control transfer without a complete setup stage"),
      fieldTable("Control transfer", { { "Transactions", #transactions + skipped } }),
    })
  end

  -- Data stage in the direction of bmRequestType, status stage the other way; only
  -- transactions answered with ACK count.
  local dataStage = setup.direction == 1 and "IN" or "OUT"
  local statusStage = setup.direction == 1 and "OUT" or "IN"
  local bytes, statusDone, stalled = {}, false, false
  for _, tr in ipairs(transactions) do
    local handshake = tr.packets.handshake
    local data = tr.packets.data
    if handshake and handshake.pid == PID_STALL then stalled = true end
    if handshake and handshake.pid == PID_ACK and data and type(data.data) == "table" then
      if tr.row.subType == dataStage then
        for _, b in ipairs(data.data) do bytes[#bytes + 1] = b end
      elseif tr.row.subType == statusStage and #data.data == 0 then
        statusDone = true
      end
    end
  end
  local outcome = statusDone and "OK" or (stalled and "STALLed" or "Incomplete")

  local token = setupPackets.token
  local addr = token and int(token.addr) or "?"
  local endp = token and int(token.endp) or "?"
  local items = {
    paragraph("Control transfer " .. requestSummary(setup) .. " with address " .. addr
      .. ", endpoint " .. endp .. ": " .. outcome),
    setupTable(setup),
    fieldTable("Control transfer", {
      { "Address", addr },
      { "Endpoint", endp },
      { "Transactions", #transactions + skipped },
      { "Data stage", #bytes .. " of " .. setup.wLength .. " bytes" },
      { "Status", outcome },
    }),
  }
  if #bytes > 0 then items[#items + 1] = payloadTable(bytes) end
  return withNote(items)
end

-- Called once by the program at start-up.
function myAdd(a, b)
  return a + b
end
