// The page's decoder and frame builders, run directly by node.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';

// The page's module is an ES module in a .js file beside no package.json, which
// Debian 12's node 18 would load as CommonJS: load its text as a module.
const source = readFileSync(new URL('../../console/protocol.js', import.meta.url), 'utf8');
const { buildCommand, buildQuery, decodeUpstream, parseBytesField } = await import(
  'data:text/javascript,' + encodeURIComponent(source)
);

const long = (head, bytes) => head + '00'.repeat(bytes);

test('every upstream text decodes to its family, kind, device and bytes', () => {
  const cases = [
    // text, pending, kind, family, device, code, bytes
    ['0304', [], 'greeting', null, null, null, ''],
    ['8101050102030a', [], 'report', 0x81, 0x01, null, '050102030a'],
    ['850107090000ff', [], 'report', 0x85, 0x09, null, '07090000ff'],
    ['820003', [], 'removal', 0x82, 0x03, null, ''],
    ['840007', [], 'removal', 0x84, 0x07, null, ''],
    ['03810101', [], 'ack', 0x81, 0x03, null, ''],
    ['83810101', [], 'ack', 0x81, 0x83, null, ''],
    ['83020AF0', [], 'failure', 0x83, 0x02, 0x0a, ''],
    ['82050bF0', [], 'failure', 0x82, 0x05, 0x0b, ''],
    ['83020b010203', [], 'reply', 0x83, 0x02, 0x0b, '0b010203'],
    ['80030c0a01020304', [], 'reply', 0x80, 0x03, 0x0c, '0c0a01020304'],
    ['81050601020304', [], 'reply', 0x81, 0x05, 0x06, '0601020304'],
    // A 0x06 reply of device 01 has the shape of an input report; the
    // pending query decides.
    ['81010601020304', [], 'report', 0x81, 0x01, null, '0601020304'],
    ['81010601020304', [{ family: 0x81, deviceId: 1, code: 6 }], 'reply', 0x81, 0x01, 0x06, '0601020304'],
    [long('8302', 56), [], 'reply', 0x83, 0x02, 0x04, '00'.repeat(56)],
    [long('8302', 131), [], 'reply', 0x83, 0x02, 0x09, '00'.repeat(131)],
    ['8401070b0800', [], 'ble-notification', 0x84, 0x07, null, '070b0800'],
    ['84010B08beef', [], 'ble-answer', 0x84, 0x01, 0x0b, '0b08beef'],
    // The same digits in lower case: a plain notification of device 0b.
    ['84010b08beef', [], 'ble-notification', 0x84, 0x0b, null, '0b08beef'],
    ['84070C0A01020304', [], 'ble-answer', 0x84, 0x07, 0x0c, '0c0a01020304'],
    ['84070a8001' + 'AB'.repeat(125), [], 'ble-answer', 0x84, 0x07, 0x0a, '0a8001' + 'ab'.repeat(125)],
    ['8407098300' + 'CD'.repeat(128), [], 'ble-answer', 0x84, 0x07, 0x09, '098300' + 'cd'.repeat(128)],
    ['8407', [], 'unknown', 0x84, null, null, ''],
    ['zz', [], 'unknown', null, null, null, ''],
    ['123', [], 'unknown', null, null, null, ''],
  ];
  for (const [text, pending, kind, family, device, code, bytes] of cases) {
    const d = decodeUpstream(text, pending);
    const got = [d.kind, d.family, d.deviceId, d.code, d.bytes.map((b) => b.toString(16).padStart(2, '0')).join('')];
    assert.deepEqual(got, [kind, family, device, code, bytes], text);
    assert.equal(d.raw, text);
  }
});

test('commands carry family, device id, report byte, a length that counts both, and the data', () => {
  const ok = (input, text) => assert.equal(buildCommand(input).text, text, JSON.stringify(input));
  ok({ family: 0x83, deviceId: '2', reportByte: '05', data: '' }, '83020502');
  ok({ family: 0x81, deviceId: '0x01', reportByte: '5', data: '01 02' }, '810105040102');
  ok({ family: 0x80, deviceId: 'ff', reportByte: '09', data: '0a0B,0x0c:d' }, '80ff09060a0b0c0d');
  ok({ family: 0x84, deviceId: '06', reportByte: '01', data: '00 '.repeat(253) }, '840601ff' + '00'.repeat(253));

  const refused = (input, field) => {
    const built = buildCommand(input);
    assert.equal(built.text, undefined, JSON.stringify(input));
    assert.deepEqual(Object.keys(built.errors), [field], JSON.stringify(input));
  };
  refused({ family: 0x86, deviceId: '1', reportByte: '1', data: '' }, 'family');
  refused({ family: 0x81, deviceId: '', reportByte: '1', data: '' }, 'deviceId');
  refused({ family: 0x81, deviceId: '100', reportByte: '1', data: '' }, 'deviceId');
  refused({ family: 0x81, deviceId: '1', reportByte: 'g', data: '' }, 'reportByte');
  refused({ family: 0x81, deviceId: '1', reportByte: '1', data: '012' }, 'data');
  refused({ family: 0x81, deviceId: '1', reportByte: '1', data: '00 '.repeat(254) }, 'data');
  assert.deepEqual(parseBytesField('0x'), { error: '"0x" is not hex: use the digits 0-9 and a-f.' });
});

test('queries carry F0, family, device id, sub-command and argument, and know their reply', () => {
  assert.deepEqual(buildQuery({ family: 0x83, deviceId: '02', code: 0x0a, argument: '03' }).text, 'f083020a03');
  // 0x0b and 0x0c take no argument: whatever the field holds, 00 goes out.
  const q = buildQuery({ family: 0x81, deviceId: '01', code: 0x0b, argument: 'zz' });
  assert.equal(q.text, 'f081010b00');
  assert.deepEqual(q.expect, { family: 0x81, deviceId: 1, code: 0x0b });
  assert.equal(buildQuery({ family: 0x84, deviceId: '06', code: 0x09, argument: '00' }).text, 'f084060900');
  assert.deepEqual(Object.keys(buildQuery({ family: 0x84, deviceId: '06', code: 0x04, argument: '0' }).errors), ['code']);
  assert.deepEqual(Object.keys(buildQuery({ family: 0x80, deviceId: '06', code: 0x07, argument: '0' }).errors), ['code']);
  assert.deepEqual(Object.keys(buildQuery({ family: 0x80, deviceId: '06', code: 0x04, argument: '' }).errors), ['argument']);
});
