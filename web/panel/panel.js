// The box panel: reads the box's status objects and sends G-code through a Moonraker
// websocket (feedbox --serve speaks the same subset), so it runs beside a real printer too.
'use strict';

const params = new URLSearchParams(location.search);
const server = params.get('moonraker') || location.host;
const wsUrl = (location.protocol === 'https:' ? 'wss://' : 'ws://') + server + '/websocket';

const ACTIONS = {
  idle: 'Idle', slot_load: 'Loading a slot into the box', slot_unload: 'Unloading a slot',
  extruder_load: 'Loading the extruder', extruder_unload: 'Unloading the extruder',
  tag_read: 'Reading a spool tag', prompt_move: 'Moving filament', turn_over: 'Turning the spools over',
  cut: 'Cutting the filament', reload: 'Reloading', retry: 'Retrying the failed step',
  self_inspection: 'Inspecting the slots', tighten: 'Tightening the filament', tool_change: 'Changing tools',
};
const STATES = {
  empty: 'Not loaded', parked: 'Parked in the box', in_extruder: 'In the extruder',
  at_sensor: 'Waiting at the slot sensor', failed: 'Load failed', extruder_failed: 'Extruder load failed',
};

let socket = null;
let nextId = 1;
const pending = new Map();
const status = {};
let actionSince = null;
let lastAction = null;

function el(tag, attrs = {}, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(attrs)) {
    if (key === 'class') node.className = value;
    else if (key.startsWith('on')) node.addEventListener(key.slice(2), value);
    else node.setAttribute(key, value);
  }
  for (const child of children) if (child !== null && child !== undefined) node.append(child);
  return node;
}

function call(method, callParams = {}) {
  return new Promise((resolve, reject) => {
    if (!socket || socket.readyState !== WebSocket.OPEN) {
      reject(new Error('not connected'));
      return;
    }
    const id = nextId++;
    pending.set(id, { resolve, reject });
    socket.send(JSON.stringify({ jsonrpc: '2.0', method, params: callParams, id }));
  });
}

// A value of a G-code parameter: one word, no characters that end or comment a line.
function gcodeValue(text) {
  return String(text).replace(/[\r\n;#"]/g, '').trim().replace(/\s+/g, '_');
}

function sendGcode(script) {
  log('> ' + script);
  call('printer.gcode.script', { script }).catch((e) => log('!! ' + e.message));
}

function log(line) {
  const pre = document.getElementById('log');
  pre.textContent = (pre.textContent + line + '\n').split('\n').slice(-200).join('\n');
  pre.scrollTop = pre.scrollHeight;
}

function merge(update) {
  for (const [name, fields] of Object.entries(update)) status[name] = { ...(status[name] || {}), ...fields };
  render();
}

function slotLabel(hub, slot) {
  const entry = (hub.slots || []).find((s) => s.slot === slot);
  return entry ? entry.label : String(slot);
}

function swatchColour(slot) {
  const hex = slot.hexcolor || slot.color_hex;
  if (!hex) return null;
  return hex.startsWith('#') ? hex : '#' + hex;
}

function stepText(step) {
  if (typeof step !== 'object') return String(step);
  return step.text || step.name || step.key || JSON.stringify(step);
}

function renderActivity(hub) {
  const action = hub.action || 'idle';
  if (action !== lastAction) {
    lastAction = action;
    actionSince = Date.now();
  }
  let text = ACTIONS[action] || hub.action_text || action;
  if (hub.action_slot !== undefined && hub.action_slot >= 0) text += ' — slot ' + slotLabel(hub, hub.action_slot);
  if (action !== 'idle' && actionSince) text += ` (${Math.round((Date.now() - actionSince) / 1000)} s)`;
  document.getElementById('action').textContent = text;
  // The running operation's step, where the box reports one (older versions do not).
  const step = action === 'idle' ? null : hub.action_step;
  document.getElementById('step').textContent = step ? 'Step: ' + stepText(step) : '';
  const progress = document.getElementById('progress');
  // -1 while the step is no move of known length.
  const fraction = hub.action_step_progress;
  const shown = action !== 'idle' && typeof fraction === 'number' && fraction >= 0;
  progress.hidden = !shown;
  if (shown) progress.value = fraction;
}

function renderError(hub) {
  const error = hub.last_error || {};
  const section = document.getElementById('error');
  section.hidden = !error.code;
  if (!error.code) return;
  // A step that no longer waits (retried, or fixed by hand) is history: shown, but quietly.
  section.classList.toggle('past', !error.retry_pending);
  document.getElementById('error-title').textContent = error.retry_pending ? 'Box error' : 'Last box error';
  document.getElementById('error-code').textContent = error.code;
  document.getElementById('error-message').textContent = error.message || '';
  document.getElementById('error-slot').textContent =
    (error.label ? 'Slot ' + error.label + '. ' : '') +
    (error.retry_pending ? 'Retry repeats the failed step.' : 'No step waits for a retry.');
  document.getElementById('retry').disabled = !error.retry_pending;
}

function renderPath(hub) {
  const motion = status['filament_motion_sensor box_motion_sensor'];
  const loaded = hub.extruder_slot_label || '';
  const outletTaken = hub.b_endstop_state === false || hub.b_endstop_state === 0;
  const stations = [
    ['Slots', (hub.slots || []).filter((s) => s.filament_present).map((s) => s.label).join(' ') || 'none', false],
    // The box reports its outlet as free (true) or occupied (false).
    ['Box outlet', outletTaken ? 'filament' : 'clear', outletTaken],
    ['Encoder', motion ? (motion.filament_detected ? 'moving / seen' : 'still') : 'n/a', !!(motion && motion.filament_detected)],
    ['Tube', loaded ? 'slot ' + loaded : '', !!loaded],
    ['Extruder entry', hub.e_endstop_state ? 'filament' : 'clear', !!hub.e_endstop_state],
    ['Extruder', loaded ? 'slot ' + loaded : 'empty', !!loaded],
  ];
  const path = document.getElementById('path');
  path.replaceChildren(...stations.map(([name, value, on]) =>
    el('li', { class: on ? 'on' : '', 'data-station': name }, name, el('small', {}, value))));
}

// A vendor given in words, or the vendor code a tag or the filament table gave.
function vendorText(vendor) {
  if (vendor === null || vendor === undefined || vendor === '') return 'vendor unknown';
  return typeof vendor === 'number' ? 'vendor code ' + vendor : String(vendor);
}

function renderSlots(hub) {
  const container = document.getElementById('slots');
  container.replaceChildren(...(hub.slots || []).map((slot) => {
    const colour = swatchColour(slot);
    const flags = [];
    if (hub.extruder_slot === slot.slot) flags.push('loaded');
    if (slot.follows_extruder) flags.push('follows extruder');
    if (slot.drying) flags.push('drying');
    flags.push(slot.filament_present ? 'filament at sensor' : 'sensor empty');
    return el('div', { class: 'slot' + (hub.extruder_slot === slot.slot ? ' loaded' : ''), 'data-slot': slot.label },
      el('div', { class: 'swatch' + (colour ? '' : ' unknown'), style: colour ? 'background:' + colour : '',
        title: slot.color_name || colour || 'colour unknown' }),
      el('div', { class: 'label' }, slot.label + ' ', el('span', { class: 'muted' }, slot.material || slot.filament_name || 'unknown material')),
      el('div', { class: 'muted' }, vendorText(slot.vendor)),
      el('div', { class: 'state' }, STATES[slot.state_name] || slot.state_name || ''),
      el('div', {}, ...(slot.tools || []).map((t) => el('span', { class: 'tag tool' }, 'T' + t)),
        ...flags.map((f) => el('span', { class: 'tag' }, f))),
      el('div', { class: 'buttons' }, el('button', { onclick: () => editSpool(slot) }, 'Spool…')));
  }));
}

function renderHeaters(hub) {
  document.getElementById('heaters').replaceChildren(...(hub.boxes || []).map((box) => {
    let text = `${box.temperature.toFixed(1)} °C`;
    if (box.target > 0) text += ` → ${box.target.toFixed(0)} °C`;
    if (box.drying) text += `, drying, ${Math.ceil(box.dry_remaining_s / 60)} min left`;
    return el('div', { 'data-box': box.box }, el('b', {}, 'Box ' + box.box + ': '), text);
  }));
}

function renderTools(hub) {
  const container = document.getElementById('tools');
  if (document.activeElement && container.contains(document.activeElement)) return;
  const slots = hub.slots || [];
  // Tools mapped to a slot of a box that is not configured are of no use here.
  const used = (hub.tool_map || []).map((slot, tool) => [tool, slot])
    .filter(([, slot]) => slots.some((s) => s.slot === slot));
  container.replaceChildren(...used.map(([tool, slot]) => {
    const select = el('select', {
      'data-tool': tool,
      onchange: (e) => sendGcode(`BOX_MAP_TOOL T=${tool} SLOT=${gcodeValue(e.target.value)}`),
    }, ...slots.map((s) => el('option', { value: s.label }, s.label)));
    select.value = slotLabel(hub, slot);
    return el('label', {}, 'T' + tool, select);
  }));
}

// Only the simulator has a filament world, and only there do SIM_FAULT and SIM_SPOOL exist.
function renderSimSlots(hub) {
  const select = document.getElementById('sim-slot');
  const chosen = select.value;
  select.replaceChildren(...(hub.slots || []).map((s) => el('option', { value: s.slot }, s.label)));
  if (chosen !== '') select.value = chosen;
}

function sendSim(command) {
  const form = document.getElementById('sim-form');
  let script = `${command} SLOT=${gcodeValue(form.slot.value)}`;
  if (command.endsWith('insert'))
    script += ` FILAMENT=${gcodeValue(form.filament.value) || 'PLA'} COLOR=${form.color.value.slice(1).toUpperCase()}`;
  sendGcode(script);
}

function renderWorld() {
  const world = status.filament_world;
  const section = document.getElementById('world-section');
  section.hidden = !world;
  if (!world) return;
  const rows = Object.entries(world.strands || {}).map(([name, s]) =>
    el('tr', {}, el('td', {}, name), el('td', {}, s.spool ? `${s.filament} #${s.color}` : 'no spool'),
      el('td', {}, `tip at ${Number(s.tip_mm).toFixed(0)} mm`), el('td', {}, s.jammed ? 'JAMMED' : '')));
  document.getElementById('world').replaceChildren(
    el('tr', {}, el('th', {}, 'slot'), el('th', {}, 'spool'), el('th', {}, 'strand'), el('th', {}, '')), ...rows);
}

function colourSwatch(text) {
  const hex = /#[0-9A-Fa-f]{6}/.exec(String(text || ''));
  return hex ? el('span', { class: 'swatch', style: 'background:' + hex[0] }) : null;
}

// The last BOX_PREFLIGHT: the box's spool and the planned one side by side, per tool.
function renderPreflight() {
  const report = status.box_preflight;
  const section = document.getElementById('preflight');
  section.hidden = !report;
  if (!report) return;
  document.getElementById('preflight-summary').textContent =
    report.file ? `${report.file}: ${report.summary}` : 'Name a print file to check it against the box.';
  const rows = (report.tools || []).map((t) => {
    const cells = [
      el('td', {}, 'T' + t.tool), el('td', {}, t.slot_label || '—'),
      el('td', {}, colourSwatch(t.colour), `${t.material} ${t.colour}`),
      el('td', {}, colourSwatch(t.planned_colour), `${t.planned_material} ${t.planned_colour}`),
      el('td', { class: 'verdict', title: t.advice || '' }, t.verdict),
    ];
    const match = t.matching_slot_label;
    cells.push(el('td', {}, match ? el('button', {
      'data-map-tool': t.tool,
      onclick: () => {
        sendGcode(`BOX_MAP_TOOL T=${t.tool} SLOT=${gcodeValue(match)}`);
        checkPrintFile(report.file);
      },
    }, `Map T${t.tool} to ${match}`) : ''));
    return el('tr', { class: t.verdict.toLowerCase(), 'data-tool': t.tool }, ...cells);
  });
  document.getElementById('preflight-table').replaceChildren(...(rows.length ? [el('tr', {},
    ...['tool', 'slot', 'in the box', 'planned', 'check', ''].map((h) => el('th', {}, h)))] : []), ...rows);
}

function checkPrintFile(file) {
  if (file) sendGcode(`BOX_PREFLIGHT FILE=${gcodeValue(file)}`);
}

// A print that starts is checked at once, unless the user is checking another file.
let checkedPrint = null;
function followPrintFile() {
  const file = status.print_stats && status.print_stats.filename;
  if (!file || file === checkedPrint) return;
  checkedPrint = file;
  const input = document.getElementById('preflight-file');
  if (!input.value || document.activeElement !== input) {
    input.value = file;
    if (status.box_preflight) checkPrintFile(file);
  }
}

// Parts are drawn again only when what they show changed, so that a click or a selection in
// progress is not lost to an update of something else.
const drawn = new Map();
function drawIfChanged(part, data, draw) {
  const key = JSON.stringify(data);
  if (drawn.get(part) === key) return;
  drawn.set(part, key);
  draw();
}

function render() {
  const hub = status.feedhub;
  if (!hub) return;
  const motion = status['filament_motion_sensor box_motion_sensor'];
  renderActivity(hub);
  drawIfChanged('error', hub.last_error, () => renderError(hub));
  drawIfChanged('path', [hub.slots, hub.b_endstop_state, hub.e_endstop_state, hub.extruder_slot, motion],
    () => renderPath(hub));
  drawIfChanged('slots', [hub.slots, hub.extruder_slot], () => renderSlots(hub));
  drawIfChanged('heaters', hub.boxes, () => renderHeaters(hub));
  drawIfChanged('tools', [hub.slots, hub.tool_map], () => renderTools(hub));
  drawIfChanged('world', status.filament_world, renderWorld);
  drawIfChanged('sim-slots', [!!status.filament_world, hub.slots && hub.slots.map((s) => s.label)],
    () => renderSimSlots(hub));
  drawIfChanged('preflight', status.box_preflight, renderPreflight);
  followPrintFile();
}

function editSpool(slot) {
  const dialog = document.getElementById('spool-dialog');
  const form = document.getElementById('spool-form');
  document.getElementById('spool-slot').textContent = slot.label;
  form.filament.value = slot.material || '';
  form.vendor.value = typeof slot.vendor === 'string' ? slot.vendor : '';
  form.color.value = swatchColour(slot) || '#ffffff';
  dialog.onclose = () => {
    if (dialog.returnValue !== 'save') return;
    let script = `BOX_SET_SLOT SLOT=${slot.label} FILAMENT=${gcodeValue(form.filament.value)}` +
      ` COLOR=${form.color.value.slice(1).toUpperCase()}`;
    if (form.vendor.value.trim()) script += ` VENDOR=${gcodeValue(form.vendor.value)}`;
    sendGcode(script);
  };
  dialog.showModal();
}

let printerName = null;
function setConnection(text, good) {
  const badge = document.getElementById('connection');
  badge.textContent = text;
  badge.className = 'badge ' + (good ? 'good' : 'bad');
}

// What the page shows once the connection is gone is the past: say so over all of it.
function showLost(lost) {
  const banner = document.getElementById('lost');
  const main = document.querySelector('main');
  if (!lost) {
    banner.hidden = true;
    main.classList.remove('stale');
    return;
  }
  if (!banner.hidden) return;
  banner.textContent = `Connection to ${printerName || server} lost at ${new Date().toLocaleTimeString()}: ` +
    'what you see below is from before then. Reconnecting…';
  banner.hidden = false;
  main.classList.add('stale');
}

async function subscribe() {
  const info = await call('printer.info');
  printerName = info.hostname || server;
  document.getElementById('printer').textContent = `${printerName} at ${server} (${info.state})`;
  document.title = `Filament box — ${printerName}`;
  const { objects } = await call('printer.objects.list');
  const wanted = {};
  for (const name of objects) {
    // feedhub carries every slot's entry too: the slots' own objects would only repeat it.
    if (name === 'feedhub' || name === 'filament_world' ||
        name === 'box_preflight' || name.startsWith('filament_motion_sensor ') ||
        name === 'print_stats') wanted[name] = null;
  }
  const result = await call('printer.objects.subscribe', { objects: wanted });
  merge(result.status);
  if (!status.feedhub) log('!! This printer has no filament box ([feedhub] is not configured).');
}

function connect() {
  socket = new WebSocket(wsUrl);
  socket.onopen = () => {
    setConnection('connected', true);
    showLost(false);
    subscribe().catch((e) => log('!! ' + e.message));
  };
  socket.onmessage = (event) => {
    const message = JSON.parse(event.data);
    if (message.id !== undefined && pending.has(message.id)) {
      const { resolve, reject } = pending.get(message.id);
      pending.delete(message.id);
      if (message.error) reject(new Error(message.error.message));
      else resolve(message.result);
    } else if (message.method === 'notify_status_update') {
      merge(message.params[0]);
    } else if (message.method === 'notify_gcode_response') {
      log(message.params[0]);
    }
  };
  socket.onclose = () => {
    setConnection('connection lost — retrying', false);
    // A first connection that fails has nothing old to warn about.
    if (printerName) showLost(true);
    for (const { reject } of pending.values()) reject(new Error('connection lost'));
    pending.clear();
    setTimeout(connect, 2000);
  };
}

document.querySelectorAll('#sim-form button').forEach((button) =>
  button.addEventListener('click', () => sendSim(button.dataset.sim)));
document.getElementById('preflight-form').addEventListener('submit', (event) => {
  event.preventDefault();
  checkPrintFile(document.getElementById('preflight-file').value);
});
document.querySelectorAll('#error button').forEach((button) =>
  button.addEventListener('click', () => sendGcode(button.dataset.gcode)));
setInterval(() => { if (status.feedhub) renderActivity(status.feedhub); }, 1000);
connect();
