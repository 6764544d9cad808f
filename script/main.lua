-- Sample payload script. The analyzer calls process_data(payload) with the
-- bytes of each data packet of the device and endpoint chosen in the
-- address and endpoint filters, and cleanup() when it shuts down.
--
-- This script prints a hex summary of every payload and, for payloads that
-- look like HID boot-protocol reports, what they mean: 8-byte keyboard
-- reports (modifiers, reserved byte, six key codes) and 3- or 4-byte mouse
-- reports (buttons, dx, dy, optional wheel). It writes to standard error so
-- that the rows a command-line tool prints on standard output stay clean.

local function say(text)
  io.stderr:write(text, "\n")
end

local count = 0
local total = 0

local function hex(payload, limit)
  local parts = {}
  local n = math.min(#payload, limit)
  for i = 1, n do
    parts[#parts + 1] = string.format("%02X", payload:byte(i))
  end
  local text = table.concat(parts, " ")
  if #payload > n then text = text .. " ..." end
  return text
end

local function signed8(b)
  if b >= 128 then return b - 256 end
  return b
end

local modifier_names = { "LCtrl", "LShift", "LAlt", "LGui", "RCtrl", "RShift", "RAlt", "RGui" }

-- Usage IDs 0x04..0x1D are the letters, 0x1E..0x27 the digits 1..9, 0.
local function key_name(code)
  if code >= 0x04 and code <= 0x1D then return string.char(string.byte("a") + code - 0x04) end
  if code >= 0x1E and code <= 0x26 then return tostring(code - 0x1D) end
  if code == 0x27 then return "0" end
  local named = { [0x28] = "Enter", [0x29] = "Esc", [0x2A] = "Backspace", [0x2B] = "Tab",
                  [0x2C] = "Space", [0x4F] = "Right", [0x50] = "Left", [0x51] = "Down",
                  [0x52] = "Up" }
  return named[code] or string.format("0x%02X", code)
end

local function keyboard_report(p)
  if #p ~= 8 or p:byte(2) ~= 0 then return nil end
  local mods, keys = {}, {}
  local m = p:byte(1)
  for bit = 0, 7 do
    if (m >> bit) & 1 == 1 then mods[#mods + 1] = modifier_names[bit + 1] end
  end
  for i = 3, 8 do
    local code = p:byte(i)
    if code == 1 then return "keyboard: roll-over error" end
    if code ~= 0 then keys[#keys + 1] = key_name(code) end
  end
  return string.format("keyboard: mods [%s] keys [%s]", table.concat(mods, " "),
                       table.concat(keys, " "))
end

local function mouse_report(p)
  if #p ~= 3 and #p ~= 4 then return nil end
  local b = p:byte(1)
  if b > 7 then return nil end
  local text = string.format("mouse: buttons %s%s%s dx %d dy %d",
                             (b & 1 == 1) and "L" or "-", (b & 2 == 2) and "R" or "-",
                             (b & 4 == 4) and "M" or "-", signed8(p:byte(2)), signed8(p:byte(3)))
  if #p == 4 then text = text .. string.format(" wheel %d", signed8(p:byte(4))) end
  return text
end

function process_data(payload)
  count = count + 1
  total = total + #payload
  local meaning = keyboard_report(payload) or mouse_report(payload)
  say(string.format("[lua] #%d %d bytes: %s%s", count, #payload, hex(payload, 16),
                      meaning and ("  (" .. meaning .. ")") or ""))
end

function cleanup()
  say(string.format("[lua] %d payloads, %d bytes", count, total))
end
