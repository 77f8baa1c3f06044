// What the bridge's texts mean and how frames for it are built. Pure
// functions only: the page imports them, and the tests run them as they are.

// The families and the query codes below are copies: of the bridge's family
// table (families/Families.h) and of the devices' answers (sim/DeviceContract.h,
// protocol/Packets.cpp); tests/sim/device_contract_test.cpp holds them equal.
export const FAMILIES = [0x80, 0x81, 0x82, 0x83, 0x84, 0x85];
export const HID_FAMILIES = [0x80, 0x81, 0x82, 0x83, 0x85];
export const BLE_FAMILY = 0x84;
export const ACK_FAMILY = 0x81;

// The eight query sub-commands: bytes in a successful reply (after family and
// device id; BLE answers of 0x09 to 0x0C have the same length), whether the
// argument byte is used, and the first byte of the BLE request and answer.
export const QUERY_CODES = [
  { code: 0x04, replyBytes: 56, argument: true, ble: null },
  { code: 0x05, replyBytes: 15, argument: true, ble: null },
  { code: 0x06, replyBytes: 5, argument: true, ble: null },
  { code: 0x08, replyBytes: 59, argument: true, ble: null },
  { code: 0x09, replyBytes: 131, argument: true, ble: 0xa9 },
  { code: 0x0a, replyBytes: 128, argument: true, ble: 0xa0 },
  { code: 0x0b, replyBytes: 4, argument: false, ble: 0xa1 },
  { code: 0x0c, replyBytes: 6, argument: false, ble: 0xa2 },
];

// A command's length byte counts the report byte and itself.
export const MAX_COMMAND_DATA = 253;

export function hex2(value) {
  return (value & 0xff).toString(16).padStart(2, '0');
}

export function toHex(bytes) {
  return Array.from(bytes, hex2).join('');
}

export function spaced(bytes) {
  return Array.from(bytes, hex2).join(' ');
}

export function familyName(family) {
  return family === null || family === undefined ? '' : '0x' + hex2(family);
}

export function queryCode(code) {
  return QUERY_CODES.find((q) => q.code === code) || null;
}

// The bytes of a hex text, or null when it is not one.
export function parseHex(text) {
  if (typeof text !== 'string' || text.length % 2 !== 0 || !/^[0-9a-fA-F]*$/.test(text)) return null;
  const bytes = [];
  for (let i = 0; i < text.length; i += 2) bytes.push(parseInt(text.slice(i, i + 2), 16));
  return bytes;
}

function entry(text, kind, label, fields = {}) {
  return { raw: text, kind, label, family: null, deviceId: null, code: null, bytes: [], ...fields };
}

function codeLabel(code) {
  return '0x' + hex2(code);
}

// Decodes one upstream text. pending lists queries still waiting for their
// reply ({family, deviceId, code}): a text that fits one of them is taken as
// its reply, which settles the one ambiguous shape (a 0x06 reply of device 01
// looks like an input report).
export function decodeUpstream(text, pending = []) {
  const b = parseHex(text);
  if (b === null || b.length === 0) return entry(text, 'unknown', 'not hex');
  const n = b.length;
  if (text === '0304') return entry(text, 'greeting', 'greeting');

  // "%02x810101": the device id comes first, the family is implied.
  if (n === 4 && text.slice(2).toLowerCase() === '810101') {
    return entry(text, 'ack', '0x81 acknowledgement', { family: ACK_FAMILY, deviceId: b[0] });
  }
  if (!FAMILIES.includes(b[0])) return entry(text, 'unknown', 'not decoded');
  const family = b[0];
  const base = { family, deviceId: b[1] };

  if (n === 3 && b[1] === 0x00) return entry(text, 'removal', 'removal', { family, deviceId: b[2] });
  if (n === 4 && b[3] === 0xf0 && queryCode(b[2])) {
    return entry(text, 'failure', 'failure text ' + codeLabel(b[2]), { ...base, code: b[2] });
  }

  if (family === BLE_FAMILY) {
    // The answers' constant parts are upper case; plain notifications are
    // all lower case, so the letters tell them apart.
    if (n === 6 && text.slice(4, 8) === '0B08') {
      return entry(text, 'ble-answer', 'BLE answer A1 (query 0x0b)', { ...base, code: 0x0b, bytes: b.slice(2) });
    }
    if (n === 8 && text.slice(4, 8) === '0C0A') {
      return entry(text, 'ble-answer', 'BLE answer A2 (query 0x0c)', { ...base, code: 0x0c, bytes: b.slice(2) });
    }
    if (n === 130 && b[2] === 0x0a && b[3] === 0x80) {
      return entry(text, 'ble-answer', 'BLE answer A0 (query 0x0a)', { ...base, code: 0x0a, bytes: b.slice(2) });
    }
    if (n === 133 && b[2] === 0x09 && b[3] === 0x83) {
      return entry(text, 'ble-answer', 'BLE answer A9 (query 0x09)', { ...base, code: 0x09, bytes: b.slice(2) });
    }
    if (n === 6 && b[1] === 0x01) {
      return entry(text, 'ble-notification', 'BLE notification', { family, deviceId: b[2], bytes: b.slice(2) });
    }
    return entry(text, 'unknown', 'not decoded', { family });
  }

  const awaited = pending.find(
    (q) => q.family === family && q.deviceId === b[1] && queryCode(q.code)?.replyBytes === n - 2,
  );
  if (awaited) {
    return entry(text, 'reply', 'query reply ' + codeLabel(awaited.code), {
      ...base,
      code: awaited.code,
      bytes: b.slice(2),
    });
  }
  if (n === 7 && b[1] === 0x01) {
    return entry(text, 'report', 'input report', { family, deviceId: b[3], bytes: b.slice(2) });
  }
  const byLength = QUERY_CODES.filter((q) => q.replyBytes === n - 2);
  if (byLength.length === 1) {
    const code = byLength[0].code;
    return entry(text, 'reply', 'query reply ' + codeLabel(code), { ...base, code, bytes: b.slice(2) });
  }
  return entry(text, 'unknown', 'not decoded', { family });
}

// True when a decoded text is the answer to the query q, success or failure.
export function answersQuery(decoded, q) {
  if (decoded.family !== q.family || decoded.deviceId !== q.deviceId || decoded.code !== q.code) return false;
  return decoded.kind === 'reply' || decoded.kind === 'failure' || decoded.kind === 'ble-answer';
}

// ---- input fields --------------------------------------------------------

// One byte in hex ("5", "05", "0x05"); {value} or {error}.
export function parseByteField(text) {
  const t = String(text ?? '').trim();
  if (t === '') return { error: 'Required: one byte in hex, 00 to ff.' };
  if (!/^(0x)?[0-9a-f]{1,2}$/i.test(t)) return { error: `"${t}" is not one byte in hex (00 to ff).` };
  return { value: parseInt(t.replace(/^0x/i, ''), 16) };
}

// Bytes in hex, separated by spaces, commas or colons or written together
// ("01 02 0a", "01020a", "0x01,0x02"); {bytes} or {error}.
export function parseBytesField(text) {
  const t = String(text ?? '').trim();
  const bytes = [];
  if (t === '') return { bytes };
  for (const token of t.split(/[\s,:]+/)) {
    const digits = token.replace(/^0x/i, '');
    if (!/^[0-9a-f]+$/i.test(digits)) return { error: `"${token}" is not hex: use the digits 0-9 and a-f.` };
    if (digits.length > 2 && digits.length % 2 !== 0) {
      return { error: `"${token}" has an odd number of digits: write each byte as two.` };
    }
    if (digits.length <= 2) bytes.push(parseInt(digits, 16));
    else for (let i = 0; i < digits.length; i += 2) bytes.push(parseInt(digits.slice(i, i + 2), 16));
  }
  return { bytes };
}

function familyError(family) {
  return FAMILIES.includes(family) ? null : 'Choose one of the families 0x80 to 0x85.';
}

// A command frame: family, device id, report byte, length L (which counts the
// report byte and itself), data. {frame, text} or {errors: {field: message}}.
export function buildCommand({ family, deviceId, reportByte, data }) {
  const errors = {};
  const f = familyError(family);
  if (f) errors.family = f;
  const id = parseByteField(deviceId);
  if (id.error) errors.deviceId = id.error;
  const report = parseByteField(reportByte);
  if (report.error) errors.reportByte = report.error;
  const payload = parseBytesField(data);
  if (payload.error) errors.data = payload.error;
  else if (payload.bytes.length > MAX_COMMAND_DATA) {
    errors.data = `${payload.bytes.length} bytes is too long: at most ${MAX_COMMAND_DATA} (the length byte counts the report byte and itself).`;
  }
  if (Object.keys(errors).length) return { errors };
  const frame = [family, id.value, report.value, payload.bytes.length + 2, ...payload.bytes];
  return { frame, text: toHex(frame), errors: null };
}

// A query frame: F0, family, device id, sub-command, argument.
// {frame, text, expect} or {errors}.
export function buildQuery({ family, deviceId, code, argument }) {
  const errors = {};
  const f = familyError(family);
  if (f) errors.family = f;
  const id = parseByteField(deviceId);
  if (id.error) errors.deviceId = id.error;
  const q = queryCode(code);
  if (!q) errors.code = 'Choose one of the eight sub-commands.';
  else if (family === BLE_FAMILY && q.ble === null) {
    errors.code = 'BLE devices answer only 0x09, 0x0a, 0x0b and 0x0c.';
  }
  let arg = 0;
  if (q && q.argument) {
    const a = parseByteField(argument);
    if (a.error) errors.argument = a.error;
    else arg = a.value;
  }
  if (Object.keys(errors).length) return { errors };
  const frame = [0xf0, family, id.value, code, arg];
  return { frame, text: toHex(frame), expect: { family, deviceId: id.value, code }, errors: null };
}
