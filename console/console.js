// The console page: connection, device table, composers and the stream.
import {
  FAMILIES,
  BLE_FAMILY,
  ACK_FAMILY,
  QUERY_CODES,
  answersQuery,
  buildCommand,
  buildQuery,
  decodeUpstream,
  familyName,
  hex2,
  parseByteField,
  spaced,
} from './protocol.js';

const MAX_ENTRIES = 2000;
const RATE_WINDOW_MS = 5000;
const QUERY_TIMEOUT_MS = 30000;
const ACK_TIMEOUT_MS = 20000;
const STATUS_EVERY_MS = 3000;
const ORIGINS_EVERY_MS = 1000;

const $ = (id) => document.getElementById(id);

const state = {
  socket: null,
  connected: false,
  retries: 0,
  entries: [], // {time, decoded}, oldest first
  paused: false,
  missed: 0, // arrived while paused
  pendingQueries: [], // {family, deviceId, code, sentAt}
  pendingAcks: [], // {deviceId, sentAt}
  status: null,
  statusAt: 0,
  seen: new Map(), // "family:device" -> {last, times[]}
  refreshTimer: 0,
};

// ---- connection ------------------------------------------------------------

function setConnection(kind, text) {
  const el = $('connection');
  el.dataset.state = kind;
  el.textContent = text;
}

function connect() {
  setConnection('connecting', state.retries ? `Reconnecting (attempt ${state.retries + 1})…` : 'Connecting…');
  let socket;
  try {
    socket = new WebSocket(`ws://${location.host}/`);
  } catch (e) {
    scheduleReconnect();
    return;
  }
  state.socket = socket;
  socket.addEventListener('open', () => {
    state.connected = true;
    state.retries = 0;
    setConnection('connected', 'Connected to ' + location.host);
    refreshStatus();
  });
  socket.addEventListener('message', (event) => {
    if (typeof event.data === 'string') onText(event.data);
  });
  socket.addEventListener('close', () => {
    if (state.socket !== socket) return;
    state.connected = false;
    state.socket = null;
    scheduleReconnect();
  });
}

function scheduleReconnect() {
  // Quick at first, so that a restarted bridge is found again at once, then
  // no more than every five seconds.
  const delay = Math.min(5000, 250 * 2 ** state.retries);
  state.retries += 1;
  setConnection('disconnected', `Disconnected; trying again in ${(delay / 1000).toFixed(1)} s`);
  setTimeout(connect, delay);
}

function send(text) {
  if (!state.connected || !state.socket) return false;
  state.socket.send(text);
  return true;
}

// ---- status and device table --------------------------------------------------

async function refreshStatus() {
  try {
    const response = await fetch('/status', { cache: 'no-store' });
    if (!response.ok) return;
    state.status = await response.json();
    state.statusAt = performance.now();
    renderInfo();
    renderDevices();
  } catch (e) {
    // The bridge is gone or restarting; the socket says so.
  }
}

// ---- pages: which origins may use the devices --------------------------------

async function refreshOrigins() {
  try {
    const response = await fetch('/origins', { cache: 'no-store' });
    if (!response.ok) return;
    state.origins = await response.json();
    renderOrigins();
  } catch (e) {
    // The bridge is gone or restarting; the socket says so.
  }
}

function waited(ms) {
  return `${Math.round(ms / 1000)} s`;
}

function originButton(origin, decision, label) {
  const button = document.createElement('button');
  button.type = 'button';
  button.textContent = label;
  button.dataset.origin = origin;
  button.dataset.decision = decision;
  button.setAttribute('aria-label', `${label} ${origin}`);
  return button;
}

function renderOrigins() {
  const o = state.origins;
  if (!o) return;
  const policies = {
    ask: 'Pages of an origin not trusted yet wait until you allow or deny it.',
    listed: 'Only trusted origins may connect (--origins listed).',
    any: 'Every page may use the devices (--origins any).',
  };
  $('origins-policy').textContent = policies[o.policy] || '';
  const rows = [];
  // Origins are whatever a page sent: text only, never markup.
  const row = (origin, stateText, pages, waiting, buttons) => {
    const tr = document.createElement('tr');
    tr.dataset.origin = origin;
    tr.dataset.state = stateText;
    for (const text of [origin, stateText, pages, waiting]) {
      const td = document.createElement('td');
      td.textContent = text;
      tr.append(td);
    }
    const td = document.createElement('td');
    td.append(...buttons);
    tr.append(td);
    rows.push(tr);
  };
  // Rebuilt only when something other than the waiting times changed, so that
  // a button is not replaced under the pointer that is about to click it.
  const shape = JSON.stringify([o.trusted, o.denied, o.pending.map((p) => [p.origin, p.pages, p.turned_away])]);
  if (shape === state.originsShape) {
    o.pending.forEach((p, i) => {
      $('origin-rows').children[i].children[3].textContent = waited(p.waiting_ms);
    });
    return;
  }
  state.originsShape = shape;
  for (const p of o.pending)
    // Pages beyond the bridge's budget for waiting pages are turned away
    // (HTTP 503): a site that opens many shows here.
    row(p.origin, 'waiting', p.turned_away ? `${p.pages} (${p.turned_away} turned away)` : String(p.pages),
      waited(p.waiting_ms), [
      originButton(p.origin, 'allow', 'Allow'),
      originButton(p.origin, 'deny', 'Deny'),
    ]);
  for (const origin of o.trusted) row(origin, 'trusted', '', '', [originButton(origin, 'forget', 'Remove')]);
  for (const origin of o.denied) row(origin, 'denied', '', '', [originButton(origin, 'forget', 'Forget')]);
  $('origin-rows').replaceChildren(...rows);
  $('origins-empty').hidden = rows.length > 0;
}

async function answerOrigin(event) {
  const button = event.target.closest('button[data-decision]');
  if (!button) return;
  const { origin, decision } = button.dataset;
  try {
    const response = await fetch('/origins', {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify({ origin, decision }),
    });
    $('origins-result').textContent = response.ok
      ? `${origin}: ${{ allow: 'allowed', deny: 'denied', forget: 'removed' }[decision]}.`
      : `${origin}: the bridge refused (${response.status}).`;
  } catch (e) {
    $('origins-result').textContent = `${origin}: the bridge did not answer.`;
  }
  refreshOrigins();
}

function refreshSoon() {
  if (state.refreshTimer) return;
  state.refreshTimer = setTimeout(() => {
    state.refreshTimer = 0;
    refreshStatus();
  }, 200);
}

function renderInfo() {
  const s = state.status;
  if (!s) return;
  const uptime = Math.round(s.uptime_ms / 1000);
  $('bridge-info').textContent =
    `version ${s.version} · ${s.devices} devices · listening on ${s.listen.address}:${s.listen.port}` +
    ` · ${s.pages} page${s.pages === 1 ? '' : 's'} open · up ${uptime} s`;
}

function key(family, deviceId) {
  return `${family}:${deviceId}`;
}

function noteTraffic(decoded, now) {
  if (decoded.family === null || decoded.deviceId === null) return;
  const k = key(decoded.family, decoded.deviceId);
  let seen = state.seen.get(k);
  if (!seen) {
    seen = { last: 0, times: [] };
    state.seen.set(k, seen);
  }
  seen.last = now;
  seen.times.push(now);
}

function rate(family, deviceId, now) {
  const seen = state.seen.get(key(family, deviceId));
  if (!seen) return 0;
  while (seen.times.length && seen.times[0] < now - RATE_WINDOW_MS) seen.times.shift();
  return seen.times.length / (RATE_WINDOW_MS / 1000);
}

function ago(ms) {
  if (ms === null || ms === undefined) return 'never';
  if (ms < 1000) return 'just now';
  const s = Math.round(ms / 1000);
  return s < 120 ? `${s} s ago` : `${Math.round(s / 60)} min ago`;
}

function deviceRows() {
  const rows = [];
  if (!state.status) return rows;
  for (const family of state.status.families) {
    const code = parseInt(family.family, 16);
    for (const slot of family.slots) {
      rows.push({
        family: code,
        slot: slot.slot,
        deviceId: slot.device_id,
        node: slot.node || '(removed)',
        state: family.transport === 'ble' ? slot.state : slot.paired ? 'paired' : 'not paired',
        reports: family.transport === 'ble' ? null : slot.reports,
        lastAgo: slot.last_report_ms_ago ?? null,
        address: slot.address,
      });
    }
  }
  return rows;
}

function renderDevices() {
  const now = performance.now();
  const body = $('device-rows');
  const rows = deviceRows();
  body.replaceChildren(
    ...rows.map((r) => {
      const seen = state.seen.get(key(r.family, r.deviceId));
      // The stream knows of later reports than the last status did.
      let lastAgo = r.lastAgo === null ? null : r.lastAgo + (now - state.statusAt);
      if (seen && (lastAgo === null || now - seen.last < lastAgo)) lastAgo = now - seen.last;
      const tr = document.createElement('tr');
      tr.dataset.family = familyName(r.family);
      tr.dataset.device = hex2(r.deviceId);
      const cells = [
        familyName(r.family),
        String(r.slot),
        hex2(r.deviceId),
        r.address ? `${r.node} (${r.address})` : r.node,
        r.state,
        r.reports === null ? '' : String(r.reports),
        ago(lastAgo),
        rate(r.family, r.deviceId, now).toFixed(1),
      ];
      cells.forEach((text, i) => {
        const td = document.createElement('td');
        td.textContent = text;
        if (i === 2 || i === 3) td.className = 'mono';
        tr.append(td);
      });
      return tr;
    }),
  );
  $('devices-empty').hidden = rows.length > 0;
}

function knownDevice(decoded) {
  if (!state.status || decoded.family === null) return false;
  const family = state.status.families.find((f) => parseInt(f.family, 16) === decoded.family);
  return !!family && family.slots.some((s) => s.device_id === decoded.deviceId);
}

// ---- the stream ---------------------------------------------------------------

function onText(text) {
  const now = performance.now();
  const decoded = decodeUpstream(text, state.pendingQueries);
  const item = { time: new Date(), decoded };
  state.entries.push(item);
  if (state.entries.length > MAX_ENTRIES) state.entries.shift();

  if (['report', 'ble-notification'].includes(decoded.kind)) {
    noteTraffic(decoded, now);
    if (!knownDevice(decoded)) refreshSoon();
  }
  if (decoded.kind === 'removal') refreshSoon();
  settleComposers(decoded);

  if (state.paused) {
    state.missed += 1;
    $('stream-note').textContent = `Paused: ${state.missed} new text${state.missed === 1 ? '' : 's'} held back.`;
  } else if (matchesFilter(decoded)) {
    const body = $('stream-rows');
    body.prepend(streamRow(item));
    while (body.childElementCount > MAX_ENTRIES) body.lastElementChild.remove();
  }
}

function filterValues() {
  const family = $('filter-family').value;
  const device = parseByteField($('filter-device').value);
  return {
    family: family === '' ? null : parseInt(family, 16),
    device: $('filter-device').value.trim() === '' || device.error ? null : device.value,
  };
}

function matchesFilter(decoded) {
  const f = filterValues();
  if (f.family !== null && decoded.family !== f.family) return false;
  if (f.device !== null && decoded.deviceId !== f.device) return false;
  return true;
}

function timeText(date) {
  return date.toTimeString().slice(0, 8) + '.' + String(date.getMilliseconds()).padStart(3, '0');
}

function streamRow({ time, decoded }) {
  const tr = document.createElement('tr');
  tr.dataset.kind = decoded.kind;
  tr.dataset.family = familyName(decoded.family);
  tr.dataset.device = decoded.deviceId === null ? '' : hex2(decoded.deviceId);
  const cells = [
    [timeText(time), 'mono'],
    [familyName(decoded.family), 'mono'],
    [decoded.label, ''],
    [decoded.deviceId === null ? '' : hex2(decoded.deviceId), 'mono'],
    [spaced(decoded.bytes), 'mono bytes'],
    [decoded.raw, 'mono raw'],
  ];
  for (const [text, cls] of cells) {
    const td = document.createElement('td');
    td.textContent = text;
    td.className = cls;
    tr.append(td);
  }
  return tr;
}

function renderStream() {
  const rows = [];
  for (let i = state.entries.length - 1; i >= 0; i -= 1) {
    if (matchesFilter(state.entries[i].decoded)) rows.push(streamRow(state.entries[i]));
  }
  $('stream-rows').replaceChildren(...rows);
}

function visibleText() {
  return state.entries
    .filter((e) => matchesFilter(e.decoded))
    .map((e) => {
      const d = e.decoded;
      const device = d.deviceId === null ? '--' : hex2(d.deviceId);
      return `${timeText(e.time)}  ${familyName(d.family) || '----'}  ${device}  ${d.label}  ${spaced(d.bytes)}  raw ${d.raw}`;
    })
    .join('\n');
}

async function copyStream() {
  const text = visibleText();
  const lines = text ? text.split('\n').length : 0;
  try {
    await navigator.clipboard.writeText(text);
    $('stream-note').textContent = `Copied ${lines} line${lines === 1 ? '' : 's'}.`;
  } catch (e) {
    // Without clipboard permission: leave the text selected for Ctrl+C.
    const area = document.createElement('textarea');
    area.value = text;
    area.setAttribute('aria-label', 'Stream as text');
    document.body.append(area);
    area.select();
    const ok = document.execCommand && document.execCommand('copy');
    area.remove();
    $('stream-note').textContent = ok ? `Copied ${lines} lines.` : 'Copying was refused by the browser.';
  }
}

// ---- composers ------------------------------------------------------------------

const commandFields = { family: 'cmd-family', deviceId: 'cmd-device', reportByte: 'cmd-report', data: 'cmd-data' };
const queryFields = { family: 'q-family', deviceId: 'q-device', code: 'q-code', argument: 'q-arg' };

function showErrors(fields, errors) {
  for (const [name, id] of Object.entries(fields)) {
    const input = $(id);
    const message = (errors && errors[name]) || '';
    const slot = $(id + '-error');
    if (slot) slot.textContent = message;
    if (message) input.setAttribute('aria-invalid', 'true');
    else input.removeAttribute('aria-invalid');
  }
}

function commandInput() {
  return {
    family: parseInt($('cmd-family').value, 16),
    deviceId: $('cmd-device').value,
    reportByte: $('cmd-report').value,
    data: $('cmd-data').value,
  };
}

function queryInput() {
  return {
    family: parseInt($('q-family').value, 16),
    deviceId: $('q-device').value,
    code: parseInt($('q-code').value, 16),
    argument: $('q-arg').value,
  };
}

function preview(built, outputId) {
  $(outputId).textContent = built.errors ? '(fix the fields marked)' : spaced(built.frame);
}

// While typing, a field marked at the last submit loses its mark once fixed.
function recheck(fields, errors) {
  const marked = {};
  for (const [name, id] of Object.entries(fields)) {
    if ($(id).getAttribute('aria-invalid') === 'true') marked[name] = id;
  }
  showErrors(marked, errors);
}

function updateCommandPreview() {
  const built = buildCommand(commandInput());
  preview(built, 'cmd-preview');
  recheck(commandFields, built.errors);
  if (!built.errors && $('cmd-result').dataset.outcome === 'failed') result('cmd-result', '', '');
  return built;
}

function updateQueryPreview() {
  const q = QUERY_CODES.find((c) => c.code === parseInt($('q-code').value, 16));
  const arg = $('q-arg');
  arg.disabled = !!q && !q.argument;
  const built = buildQuery(queryInput());
  preview(built, 'q-preview');
  recheck(queryFields, built.errors);
  if (!built.errors && $('q-result').dataset.outcome === 'failed') result('q-result', '', '');
  return built;
}

function result(id, outcome, text) {
  const el = $(id);
  el.dataset.outcome = outcome;
  el.textContent = text;
}

function sendCommand(event) {
  event.preventDefault();
  const built = updateCommandPreview();
  showErrors(commandFields, built.errors);
  if (built.errors) {
    result('cmd-result', 'failed', 'Not sent: fix the fields marked.');
    focusFirstError(commandFields, built.errors);
    return;
  }
  if (!send(built.text)) {
    result('cmd-result', 'failed', 'Not sent: the page is not connected to the bridge.');
    return;
  }
  const [family, deviceId] = built.frame;
  if (family === ACK_FAMILY) {
    state.pendingAcks.push({ deviceId, sentAt: performance.now() });
    result('cmd-result', 'waiting', `Sent ${built.text}; waiting for the acknowledgement of device ${hex2(deviceId)}…`);
  } else {
    result('cmd-result', 'ok', `Sent ${built.text}. Family ${familyName(family)} gives no reply to commands.`);
  }
}

function sendQuery(event) {
  event.preventDefault();
  const built = updateQueryPreview();
  showErrors(queryFields, built.errors);
  if (built.errors) {
    result('q-result', 'failed', 'Not sent: fix the fields marked.');
    focusFirstError(queryFields, built.errors);
    return;
  }
  if (!send(built.text)) {
    result('q-result', 'failed', 'Not sent: the page is not connected to the bridge.');
    return;
  }
  state.pendingQueries.push({ ...built.expect, sentAt: performance.now() });
  result('q-result', 'waiting', `Sent ${built.text}; waiting for the reply…`);
}

function focusFirstError(fields, errors) {
  const first = Object.keys(fields).find((name) => errors[name]);
  if (first) $(fields[first]).focus();
}

function settleComposers(decoded) {
  if (decoded.kind === 'ack') {
    const i = state.pendingAcks.findIndex((p) => p.deviceId === decoded.deviceId);
    if (i >= 0) {
      state.pendingAcks.splice(i, 1);
      result('cmd-result', 'ok', `Acknowledged by device ${hex2(decoded.deviceId)}: ${decoded.raw}`);
    }
    return;
  }
  const i = state.pendingQueries.findIndex((q) => answersQuery(decoded, q));
  if (i < 0) return;
  state.pendingQueries.splice(i, 1);
  if (decoded.kind === 'failure') {
    result('q-result', 'failed', `Failure text ${decoded.raw}: the device did not answer query 0x${hex2(decoded.code)}.`);
  } else {
    result('q-result', 'ok', `${decoded.label}: ${spaced(decoded.bytes)} (raw ${decoded.raw})`);
  }
}

function expire() {
  const now = performance.now();
  const lateQuery = state.pendingQueries.filter((q) => now - q.sentAt > QUERY_TIMEOUT_MS);
  if (lateQuery.length) {
    state.pendingQueries = state.pendingQueries.filter((q) => !lateQuery.includes(q));
    result('q-result', 'failed', 'No reply within 30 s (a device that is not ready answers nothing).');
  }
  const lateAck = state.pendingAcks.filter((a) => now - a.sentAt > ACK_TIMEOUT_MS);
  if (lateAck.length) {
    state.pendingAcks = state.pendingAcks.filter((a) => !lateAck.includes(a));
    result('cmd-result', 'failed', 'No acknowledgement within 20 s.');
  }
}

// ---- wiring ------------------------------------------------------------------

function fillSelects() {
  for (const select of document.querySelectorAll('.family-select')) {
    for (const family of FAMILIES) {
      const option = new Option(familyName(family) + (family === BLE_FAMILY ? ' (BLE)' : ''), hex2(family));
      select.append(option);
    }
  }
  for (const family of FAMILIES) $('filter-family').append(new Option(familyName(family), hex2(family)));
  for (const q of QUERY_CODES) {
    const name = `0x${hex2(q.code)} (${q.replyBytes} bytes)`;
    $('q-code').append(new Option(name, hex2(q.code)));
  }
}

function start() {
  fillSelects();
  $('command-form').addEventListener('submit', sendCommand);
  $('query-form').addEventListener('submit', sendQuery);
  $('command-form').addEventListener('input', updateCommandPreview);
  $('query-form').addEventListener('input', updateQueryPreview);
  $('query-form').addEventListener('change', updateQueryPreview);
  $('filter-family').addEventListener('change', renderStream);
  $('filter-device').addEventListener('input', renderStream);
  $('pause').addEventListener('click', () => {
    state.paused = !state.paused;
    $('pause').setAttribute('aria-pressed', String(state.paused));
    $('pause').textContent = state.paused ? 'Resume' : 'Pause';
    if (!state.paused) {
      state.missed = 0;
      $('stream-note').textContent = '';
      renderStream();
    }
  });
  $('clear').addEventListener('click', () => {
    state.entries = [];
    state.missed = 0;
    $('stream-note').textContent = 'Cleared.';
    renderStream();
  });
  $('copy').addEventListener('click', copyStream);
  $('origin-rows').addEventListener('click', answerOrigin);
  updateCommandPreview();
  updateQueryPreview();
  setInterval(() => {
    expire();
    renderDevices();
  }, 1000);
  setInterval(() => {
    if (state.connected) refreshStatus();
  }, STATUS_EVERY_MS);
  // A waiting page needs its answer soon: polled more often than the status.
  setInterval(refreshOrigins, ORIGINS_EVERY_MS);
  refreshOrigins();
  connect();
}

start();
