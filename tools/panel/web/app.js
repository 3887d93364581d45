// The control panel's page: follows the panel's state through server-sent
// events and sends operations as POSTs carrying the panel's token.
const token = document.querySelector('meta[name="qrv-token"]').content;
const tilesEl = document.getElementById('tiles');
const outputsEl = document.getElementById('outputs');
const messageEl = document.getElementById('message');
const connectionEl = document.getElementById('connection');
let state = { sources: [], outputs: [] };
const sourceIdType = 'application/x-qrv-source-id';  // what a dragged tile carries
// Sources are named in requests by the id the state gives each: it holds
// every byte of the name, which the name's text may not (bytes that are
// not UTF-8 read as U+FFFD).
const tiles = new Map();  // source id -> its elements

function say(text) {
  messageEl.textContent = text;
}

async function post(path, body) {
  const res = await fetch(path, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json', 'X-QRV-Token': token },
    body: JSON.stringify(body),
  });
  const answer = await res.json().catch(() => ({ message: res.statusText }));
  say(res.ok ? '' : answer.message);
  return res.ok;
}

function element(tag, props = {}, ...children) {
  const e = document.createElement(tag);
  Object.assign(e, props);
  for (const c of children) e.append(c);
  return e;
}

function cameraControls(id) {
  const preset = element('input', { type: 'number', min: 0, max: 99, value: 3, className: 'preset' });
  const presetValue = () => {
    const n = Number(preset.value);
    if (!Number.isInteger(n) || n < 0 || n > 99) {
      say('The preset must be a whole number from 0 to 99.');
      return null;
    }
    return n;
  };
  const recall = element('button', { type: 'button', className: 'recall', textContent: 'Recall' });
  recall.onclick = () => { const p = presetValue(); if (p !== null) post('/api/camera', { source_id: id, action: 'recall', preset: p, speed: 1 }); };
  const store = element('button', { type: 'button', className: 'store', textContent: 'Store' });
  store.onclick = () => { const p = presetValue(); if (p !== null) post('/api/camera', { source_id: id, action: 'store', preset: p }); };
  const pad = element('div', { className: 'pad' });
  for (const [label, pan, tilt] of [['↖', -1, 1], ['↑', 0, 1], ['↗', 1, 1], ['←', -1, 0], ['■', 0, 0], ['→', 1, 0], ['↙', -1, -1], ['↓', 0, -1], ['↘', 1, -1]]) {
    const b = element('button', { type: 'button', textContent: label, title: `pan ${pan}, tilt ${tilt}` });
    b.onclick = () => post('/api/camera', { source_id: id, action: 'pan_tilt', pan: pan * 0.5, tilt: tilt * 0.5 });
    pad.append(b);
  }
  const zoom = element('input', { type: 'range', min: 0, max: 1, step: 0.01, value: 0, className: 'zoom' });
  zoom.onchange = () => post('/api/camera', { source_id: id, action: 'zoom', zoom: Number(zoom.value) });
  return element('div', { className: 'ptz' },
    element('label', {}, 'Preset ', preset), element('span', {}, recall, ' ', store),
    pad, element('label', {}, 'Zoom ', zoom));
}

function makeTile(source) {
  const { name, id } = source;
  const picture = element('img', { alt: `preview of ${name}` });
  picture.onclick = () => openLarge(id);
  const meters = element('div', { className: 'meters' });
  const info = element('div', { className: 'info' });
  const pgm = element('button', { type: 'button', className: 'pgm', textContent: 'PGM' });
  const pvw = element('button', { type: 'button', className: 'pvw', textContent: 'PVW' });
  const current = () => state.sources.find((s) => s.id === id) || source;
  pgm.onclick = () => post('/api/tally', { source_id: id, program: !current().tally.program, preview: current().tally.preview });
  pvw.onclick = () => post('/api/tally', { source_id: id, program: current().tally.program, preview: !current().tally.preview });
  const routeButtons = element('span', { className: 'routes' });
  const ptz = element('div');
  const root = element('article', { className: 'tile', draggable: true },
    picture, element('div', { className: 'name', textContent: name }), info, meters,
    element('div', { className: 'controls' }, pgm, pvw, routeButtons), ptz);
  root.dataset.source = name;
  root.ondragstart = (e) => {
    e.dataTransfer.setData(sourceIdType, id);
    e.dataTransfer.setData('text/plain', name);
  };
  tilesEl.append(root);
  return { root, picture, meters, info, pgm, pvw, routeButtons, ptz, picture_seen: -1, ptz_shown: false, outputs_key: '' };
}

function renderTile(t, s) {
  t.root.classList.toggle('gone', !s.present);
  // The frame shows the source's tally over all its receivers; the
  // buttons show what this panel says.
  t.root.classList.toggle('program', s.on_air.program);
  t.root.classList.toggle('preview', s.on_air.preview);
  t.pgm.classList.toggle('on', s.tally.program);
  t.pvw.classList.toggle('on', s.tally.preview);
  const badges = [
    element('span', { className: `badge ${s.connected ? 'on' : 'off'}`, textContent: s.present ? (s.connected ? 'connected' : 'disconnected') : 'gone' }),
  ];
  if (s.routed) badges.push(element('span', { className: 'badge', textContent: 'router' }));
  if (s.ptz) badges.push(element('span', { className: 'badge', textContent: 'camera control' }));
  if (s.on_air.program) badges.push(element('span', { className: 'badge pgm', textContent: 'on program' }));
  if (s.on_air.preview) badges.push(element('span', { className: 'badge pvw', textContent: 'on preview' }));
  const format = s.width ? `preview ${s.width}×${s.height} ${s.format}` : 'no video';
  t.info.replaceChildren(element('span', { textContent: `${format} · ${s.fps} fps` }), ...badges);
  t.meters.replaceChildren(...s.levels.map((db) => {
    const bar = element('div');
    bar.style.width = `${Math.max(0, Math.min(100, (db + 60) / 60 * 100))}%`;
    return element('div', { className: 'meter', title: `${db.toFixed(1)} dBFS` }, bar);
  }));
  if (s.picture !== t.picture_seen) {
    t.picture_seen = s.picture;
    if (s.picture > 0) t.picture.src = `/api/preview?source_id=${s.id}&v=${s.picture}`;
  }
  const key = state.outputs.map((o) => o.name + '\u0000' + o.source).join('\u0001');
  if (key !== t.outputs_key) {
    t.outputs_key = key;
    t.routeButtons.replaceChildren(...state.outputs.map((o) => {
      const b = element('button', { type: 'button', className: 'route', textContent: `→ ${o.name}` });
      b.dataset.output = o.name;
      b.onclick = () => post('/api/route', { output: o.name, source_id: s.id });
      return b;
    }));
  }
  if (s.ptz && !t.ptz_shown) t.ptz.replaceChildren(cameraControls(s.id));
  if (!s.ptz && t.ptz_shown) t.ptz.replaceChildren();
  t.ptz_shown = s.ptz;
}

function renderOutputs() {
  outputsEl.replaceChildren(...state.outputs.map((o) => {
    const clear = element('button', { type: 'button', textContent: '×', title: 'route nowhere' });
    clear.onclick = () => post('/api/route', { output: o.name, source: null });
    const li = element('li', { className: 'output' }, `${o.name}: ${o.source || 'nothing'} `, clear);
    li.dataset.output = o.name;
    li.ondragover = (e) => { e.preventDefault(); li.classList.add('drop'); };
    li.ondragleave = () => li.classList.remove('drop');
    li.ondrop = (e) => {
      e.preventDefault();
      li.classList.remove('drop');
      // A tile gives its source's id; text dropped from elsewhere is a name.
      const id = e.dataTransfer.getData(sourceIdType);
      post('/api/route', id ? { output: o.name, source_id: id } : { output: o.name, source: e.dataTransfer.getData('text/plain') });
    };
    return li;
  }));
}

function render() {
  renderOutputs();
  for (const s of state.sources) {
    if (!tiles.has(s.id)) tiles.set(s.id, makeTile(s));
    renderTile(tiles.get(s.id), s);
  }
  const large = document.getElementById('large');
  if (large.open) showLarge(large.dataset.sourceId);
}

function showLarge(id) {
  const s = state.sources.find((x) => x.id === id);
  if (!s) return;
  const img = document.getElementById('large-picture');
  if (s.picture > 0) img.src = `/api/preview?source_id=${id}&v=${s.picture}`;
  document.getElementById('large-stats').textContent = JSON.stringify(s, null, 2);
}

function openLarge(id) {
  const large = document.getElementById('large');
  large.dataset.sourceId = id;
  showLarge(id);
  if (!large.open) large.showModal();
}

document.getElementById('add-output').onclick = () => post('/api/outputs', {});

const events = new EventSource('/api/events');
events.onopen = () => { connectionEl.textContent = 'live'; connectionEl.className = 'badge on'; };
events.onerror = () => { connectionEl.textContent = 'reconnecting…'; connectionEl.className = 'badge off'; };
events.onmessage = (e) => {
  state = JSON.parse(e.data);
  render();
};
