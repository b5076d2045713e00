// qzcache view: draws one channel of points of a cache with three.js, coloured by another
// channel, at the time the timeline asks for. Frames arrive as little-endian float32.
import * as THREE from 'three';
import { OrbitControls } from 'three/addons/controls/OrbitControls.js';
import { Timeline } from './timeline.js';

const $ = (id) => document.getElementById(id);
const POINT_TYPES = ['kFloatVectorArray', 'kDoubleVectorArray'];
const SCALAR_TYPES = ['kFloatArray', 'kDoubleArray', 'kInt32Array'];
// A perceptually even ramp from dark blue through green to yellow.
// How often the description of a cache still being written is read again.
const LIVE_POLL_MS = 1000;
const RAMP = [[0.267, 0.005, 0.329], [0.229, 0.322, 0.546], [0.128, 0.567, 0.551],
  [0.369, 0.789, 0.383], [0.993, 0.906, 0.144]];

const view = {
  points: '',
  color: '',
  interpolation: 'linear',
  wanted: null, // frame asked for
  shown: null, // frame drawn, or failed, last
  busy: false,
  range: null, // colour range over the frames seen: [min, max]
  framed: false,
  addressTimer: 0,
};

function setStatus(text, bad = false) {
  $('status').textContent = text;
  $('status').classList.toggle('bad', bad);
}

// An answer that is not OK becomes an error carrying its status; no answer at all has none.
async function fetchOk(url) {
  const response = await fetch(url);
  if (!response.ok) {
    let message = `${response.status} ${response.statusText}`;
    try { message = (await response.json()).error; } catch { /* not JSON */ }
    throw Object.assign(new Error(message), { status: response.status });
  }
  return response;
}

async function fetchFrame(channel, ticks) {
  const query = new URLSearchParams({ channel, time: ticks, interpolation: view.interpolation });
  const response = await fetchOk(`/api/frame?${query}`);
  const values = new Float32Array(await response.arrayBuffer());
  return {
    values,
    elements: Number(response.headers.get('X-Qz-Elements')),
    stored: response.headers.get('X-Qz-Stored') === 'true',
  };
}

// --- the scene ---------------------------------------------------------------------------

const renderer = new THREE.WebGLRenderer({ antialias: false });
renderer.setPixelRatio(window.devicePixelRatio);
renderer.domElement.id = 'view';
$('stage').prepend(renderer.domElement);
const scene = new THREE.Scene();
scene.background = new THREE.Color(0x1c1d21);
const camera = new THREE.PerspectiveCamera(45, 1, 0.01, 1000);
camera.position.set(1, 1, 1);
const controls = new OrbitControls(camera, renderer.domElement);
controls.addEventListener('change', render);
const geometry = new THREE.BufferGeometry();
const material = new THREE.PointsMaterial({ size: 0.05, color: 0x9fd0ff });
const cloud = new THREE.Points(geometry, material);
cloud.frustumCulled = false; // the points move; their first bounds say nothing of later frames
scene.add(cloud);

function render() {
  renderer.render(scene, camera);
}

function resize() {
  const stage = $('stage');
  renderer.setSize(stage.clientWidth, stage.clientHeight, false);
  camera.aspect = stage.clientWidth / Math.max(1, stage.clientHeight);
  camera.updateProjectionMatrix();
  render();
}
new ResizeObserver(resize).observe($('stage'));

// Puts the whole cloud in view and sizes the points to their spacing.
function frameCloud() {
  if (!geometry.getAttribute('position')) return;
  geometry.computeBoundingSphere();
  const { center, radius } = geometry.boundingSphere;
  const size = Math.max(radius, 1e-6);
  const count = geometry.getAttribute('position').count;
  material.size = (2 * size) / Math.sqrt(Math.max(count, 1)) * 0.9;
  const distance = size / Math.sin(THREE.MathUtils.degToRad(camera.fov / 2)) * 1.1;
  camera.near = distance / 1000;
  camera.far = distance * 100;
  camera.position.copy(center).add(new THREE.Vector3(0.6, 0.55, 0.8).normalize().multiplyScalar(distance));
  controls.target.copy(center);
  camera.updateProjectionMatrix();
  controls.update();
  render();
}

function rampColor(t, out, at) {
  const x = Math.min(1, Math.max(0, t)) * (RAMP.length - 1);
  const i = Math.min(RAMP.length - 2, Math.floor(x));
  const f = x - i;
  for (let k = 0; k < 3; k++) out[at + k] = RAMP[i][k] + (RAMP[i + 1][k] - RAMP[i][k]) * f;
}

// The ramp in 256 steps of bytes, so that a frame's colours cost one look-up per point.
const LOOKUP = new Uint8Array(256 * 3);
{
  const rgb = [0, 0, 0];
  for (let i = 0; i < 256; i++) {
    rampColor(i / 255, rgb, 0);
    for (let k = 0; k < 3; k++) LOOKUP[3 * i + k] = Math.round(rgb[k] * 255);
  }
}

function drawLegend() {
  $('legend').hidden = !view.color || !view.range;
  if ($('legend').hidden) return;
  const canvas = $('legend-ramp');
  const context = canvas.getContext('2d');
  for (let x = 0; x < canvas.width; x++) {
    const i = 3 * Math.round((x / (canvas.width - 1)) * 255);
    context.fillStyle = `rgb(${LOOKUP[i]},${LOOKUP[i + 1]},${LOOKUP[i + 2]})`;
    context.fillRect(x, 0, 1, canvas.height);
  }
  $('legend-name').textContent = `${view.color} (range over the frames shown)`;
  $('legend-min').textContent = view.range[0].toPrecision(4);
  $('legend-max').textContent = view.range[1].toPrecision(4);
}

// Fills the attribute in place when the count stays, so that no GPU buffer is made per frame.
function setAttribute(name, array, size, normalized = false) {
  const current = geometry.getAttribute(name);
  if (current && current.array.length === array.length && current.array.constructor === array.constructor) {
    current.array.set(array);
    current.needsUpdate = true;
    return;
  }
  geometry.dispose();
  geometry.setAttribute(name, new THREE.BufferAttribute(array, size, normalized));
}

function applyColors(scalars) {
  if (!scalars) {
    if (material.vertexColors) {
      material.vertexColors = false;
      material.color.set(0x9fd0ff);
      material.needsUpdate = true;
    }
    drawLegend();
    return;
  }
  let [low, high] = view.range || [Infinity, -Infinity];
  for (const value of scalars) {
    if (value < low) low = value;
    if (value > high) high = value;
  }
  view.range = [low, high];
  const scale = high > low ? 255 / (high - low) : 0;
  const colors = new Uint8Array(scalars.length * 3);
  for (let i = 0; i < scalars.length; i++) {
    const at = 3 * Math.round((scalars[i] - low) * scale);
    colors[3 * i] = LOOKUP[at];
    colors[3 * i + 1] = LOOKUP[at + 1];
    colors[3 * i + 2] = LOOKUP[at + 2];
  }
  setAttribute('color', colors, 3, true);
  if (!material.vertexColors) {
    material.vertexColors = true;
    material.color.set(0xffffff);
    material.needsUpdate = true;
  }
  drawLegend();
}

// --- frames ------------------------------------------------------------------------------

const timeline = new Timeline((frame) => request(frame));
const loading = new Map(); // frames asked for and not drawn yet, by what they show

function request(frame) {
  view.wanted = frame;
  scheduleAddress();
  pump();
}

// Both channels of a frame; the colour's failure is kept as its value, so that the points
// still show.
function load(frame) {
  const ticks = timeline.ticks(frame);
  const key = `${ticks} ${view.points} ${view.color} ${view.interpolation}`;
  if (!loading.has(key)) {
    const both = Promise.all([
      fetchFrame(view.points, ticks),
      view.color ? fetchFrame(view.color, ticks).catch((error) => error) : null,
    ]);
    both.catch(() => {}); // a frame fetched ahead and then not shown fails unseen
    loading.set(key, both);
  }
  return { key, both: loading.get(key) };
}

// Draws the frame asked for last; one at a time, the newest wins. While playing, the next
// frame is fetched while this one is drawn.
async function pump() {
  if (view.busy || view.wanted === null || view.wanted === view.shown) return;
  view.busy = true;
  const frame = view.wanted;
  const ticks = timeline.ticks(frame);
  const { key, both } = load(frame);
  try {
    const [points, colors] = await both;
    loading.clear();
    if (timeline.playing) load(timeline.next());
    setAttribute('position', points.values, 3);
    let note = '';
    if (colors instanceof Error) {
      note = `\ncolour ${view.color}: ${colors.message}`;
    } else if (colors && colors.elements !== points.elements) {
      note = `\ncolour ${view.color} has ${colors.elements} values for ${points.elements} points`;
    }
    applyColors(note || !colors ? null : colors.values);
    if (!view.framed) {
      frameCloud();
      view.framed = true;
    }
    render();
    const source = points.stored ? 'stored' : `${view.interpolation} between stored times`;
    setStatus(`${points.elements} points at frame ${Number(frame.toFixed(4))}, ${source}${note}`, note !== '');
  } catch (error) {
    loading.delete(key);
    if (!error.status) {
      timeline.setPlaying(false);
      setStatus(`the server does not answer (${error.message}); is qzcache view still running?`, true);
    } else {
      // A stored time that does not read is marked on the timeline; playback goes on.
      if (error.status === 404 && timeline.stored.includes(ticks)) timeline.markFailed(ticks);
      setStatus(`frame ${Number(frame.toFixed(4))} (${ticks} ticks): ${error.message}`, true);
    }
  }
  view.shown = frame;
  view.busy = false;
  document.body.dataset.drawn = String(frame);
  timeline.drawn();
  pump();
}

// The address follows the view, so that a link shows a colleague the same frame; at most
// twice a second, as browsers limit how often a page may rewrite it.
function scheduleAddress() {
  if (view.addressTimer) return;
  view.addressTimer = setTimeout(() => {
    view.addressTimer = 0;
    // An empty colour is kept: it means none, where a missing one means the first that fits.
    const query = new URLSearchParams({ frame: Number(timeline.frame.toFixed(4)), channel: view.points, color: view.color });
    if (view.interpolation !== 'linear') query.set('interpolation', view.interpolation);
    history.replaceState(null, '', `?${query}`);
  }, 500);
}

// --- the panel ---------------------------------------------------------------------------

function showInfo(info) {
  const range = info.timeRange;
  const rows = [
    ['cache', info.cache],
    ['state', info.complete ? 'complete' : 'being written: new frames appear as they arrive'],
    ['layout', info.layout],
    ['format', info.cacheFormat],
    ['ticks/frame', info.ticksPerFrame],
    ['time range', range ? `${range.startTicks} .. ${range.endTicks} ticks (frames ${range.startFrame} .. ${range.endFrame})` : 'none'],
    ['files', `${info.files.count}, ${(info.files.totalBytes / 1e6).toFixed(1)} MB${info.files.missing ? `, ${info.files.missing} missing` : ''}`],
    ...info.description.map((line, i) => [i === 0 ? 'description' : '', line]),
  ];
  $('info').replaceChildren(...rows.flatMap(([name, value]) => {
    const term = document.createElement('dt');
    const detail = document.createElement('dd');
    term.textContent = name;
    detail.textContent = value;
    return [term, detail];
  }));
  $('channels').replaceChildren(...info.channels.map((channel) => {
    const box = document.createElement('div');
    box.className = 'channel';
    const sampling = channel.sampling === 'regular' ? `regular every ${channel.samplingRate} ticks` : 'irregular';
    const elements = channel.memoryOnly ? 'values in memory only' : `${channel.elementsAtFirstTime ?? '?'} elements`;
    box.innerHTML = '<b></b><div></div><div></div>';
    box.children[0].textContent = `${channel.name}`;
    box.children[1].textContent = `${channel.type}, "${channel.interpretation}", ${channel.interpolation}`;
    box.children[2].textContent = `${sampling}, ${channel.start} .. ${channel.end} ticks, ${channel.storedTimes} stored, ${elements}`;
    return box;
  }));
}

function fillSelect(select, channels, chosen) {
  for (const channel of channels) select.add(new Option(channel.name, channel.name));
  select.value = chosen;
}

// The stored times of the channel shown, marked on the timeline; called again when they change.
async function refreshTimes() {
  const response = await fetchOk(`/api/times?${new URLSearchParams({ channel: view.points })}`);
  timeline.setStoredTimes(new Int32Array(await response.arrayBuffer()));
}

// A cache still being written: its description is read again every second, the timeline and
// the panel grow with it, and with "stay at the newest" ticked the view moves to each new frame
// (playback waits there instead of starting over).
function showLive(info) {
  $('live').hidden = info.complete;
  $('follow-box').hidden = info.complete;
  timeline.follow = !info.complete && $('follow').checked;
  document.body.dataset.live = String(!info.complete);
}

function rangeOf(info) {
  return info.timeRange ?? { startTicks: 0, endTicks: 0 };
}

// What a new description may change of what the page shows.
function liveKey(info) {
  return JSON.stringify([info.timeRange, info.channels.map((c) => c.storedTimes), info.complete]);
}

async function followLive(shown) {
  let info;
  try {
    info = await (await fetchOk('/api/info')).json();
  } catch (error) {
    setStatus(`cannot read the cache's description again: ${error.message}`, true);
    setTimeout(() => followLive(shown), LIVE_POLL_MS);
    return;
  }
  const key = liveKey(info);
  if (key !== shown) {
    const following = timeline.follow && timeline.frame >= timeline.end;
    showInfo(info);
    const range = rangeOf(info);
    timeline.setRange(range.startTicks, range.endTicks, info.ticksPerFrame);
    await refreshTimes();
    showLive(info);
    if (following && !timeline.playing) timeline.seek(timeline.end);
  }
  if (!info.complete) setTimeout(() => followLive(key), LIVE_POLL_MS);
}

function restart() {
  view.shown = null;
  view.range = null;
  scheduleAddress();
  pump();
}

async function start() {
  const address = new URLSearchParams(location.search);
  const info = await (await fetchOk('/api/info')).json();
  showInfo(info);
  const points = info.channels.filter((c) => POINT_TYPES.includes(c.type));
  const pointsName = points.some((c) => c.name === address.get('channel')) ? address.get('channel') : info.view.channel;
  view.points = pointsName;
  const count = info.channels.find((c) => c.name === pointsName).elementsAtFirstTime;
  const scalars = info.channels.filter((c) => SCALAR_TYPES.includes(c.type) && c.elementsAtFirstTime === count);
  const color = address.get('color');
  view.color = color === '' || scalars.some((c) => c.name === color) ? color : (scalars[0]?.name ?? '');
  fillSelect($('points'), points, view.points);
  fillSelect($('color'), scalars, view.color);
  const interpolation = address.get('interpolation');
  if ([...$('interpolation').options].some((o) => o.value === interpolation)) view.interpolation = interpolation;
  $('interpolation').value = view.interpolation;

  $('points').addEventListener('change', async () => {
    view.points = $('points').value;
    view.framed = false;
    await refreshTimes();
    restart();
  });
  $('color').addEventListener('change', () => { view.color = $('color').value; restart(); });
  $('interpolation').addEventListener('change', () => { view.interpolation = $('interpolation').value; restart(); });
  $('reframe').addEventListener('click', frameCloud);
  $('follow').addEventListener('change', () => {
    timeline.follow = !$('live').hidden && $('follow').checked;
    if (timeline.follow && !timeline.playing) timeline.seek(timeline.end);
  });
  window.addEventListener('keydown', (event) => {
    if (event.key === 'f' && event.target.tagName !== 'INPUT') frameCloud();
  });

  const range = rangeOf(info);
  timeline.setRange(range.startTicks, range.endTicks, info.ticksPerFrame);
  await refreshTimes();
  showLive(info);
  const frame = Number(address.get('frame'));
  // A live cache opens at its newest frame, unless the address names one.
  const first = timeline.follow ? timeline.end : timeline.start;
  timeline.seek(address.has('frame') && Number.isFinite(frame) ? frame : first);
  if (!info.complete) {
    setTimeout(() => followLive(liveKey(info)), LIVE_POLL_MS);
  }
}

start().catch((error) => setStatus(`cannot show this cache: ${error.message}`, true));
