// The dashboard: the fleet at a glance, the lines live, a meter's plots and
// days, the alarms. Plain script, no build step. Everything that comes from
// the API goes into the page as text (meter ids may hold any character), and
// ids go into URLs through encodeURIComponent. URLs are relative, so that the
// dashboard also works behind a proxy under a path of its own.
'use strict';

const TOKEN_KEY = 'vantbrook-token';
const REFRESH_MS = 30000;
const DAY_MS = 86400000;
const SPANS = {day: 1, week: 7, month: 30, year: 365};
// The calendar shows at least this many days, so a short span still shows
// the weeks around it.
const CALENDAR_MIN_DAYS = 35;
const EVENT_LOG_LENGTH = 14;
const STATE_RANK = {failing: 0, missing: 1, late: 2, never: 3, ok: 4};
const SEVERITY_RANK = {critical: 0, warning: 1};

const app = {
  fleet: null,            // the last GET api/meters
  fetchedAt: 0,           // when it came, to let ages run on between fetches
  sort: {key: 'state', ascending: true},
  filter: '',
  lines: new Map(),       // line name -> {line, meter, stage, percent, entries}
  log: [],                // recent attempts and alarms, newest first
  view: {name: '', meter: null, serial: 0, refresh: null},
  meterClockOffset: null, // meter time (read as UTC) minus this browser's clock, in ms
};

// ---- Building the page ------------------------------------------------------

function h(tag, props, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(props || {})) {
    if (value === undefined || value === null || value === false) continue;
    if (name.startsWith('on')) node.addEventListener(name.slice(2), value);
    else if (name === 'class') node.className = value;
    else node.setAttribute(name, value === true ? '' : String(value));
  }
  for (const child of children.flat()) {
    if (child === undefined || child === null || child === false) continue;
    node.append(child instanceof Node ? child : String(child));
  }
  return node;
}

const byId = (id) => document.getElementById(id);
const pad = (n) => String(n).padStart(2, '0');
const meterHref = (id, query) => '#/meter/' + encodeURIComponent(id) + (query ? '?' + query : '');
const meterPath = (id) => 'api/meters/' + encodeURIComponent(id);
const stateClass = (state) => (Object.hasOwn(STATE_RANK, state) ? 'state-' + state : 'state-unknown');
const severityClass = (severity) =>
  (Object.hasOwn(SEVERITY_RANK, severity) ? 'sev-' + severity : 'sev-other');

function badge(text, className) {
  return h('span', {class: 'badge ' + className}, text);
}

function localTime(iso) {
  if (!iso) return '—';
  const d = new Date(iso);
  if (isNaN(d)) return iso;
  return `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())} ` +
         `${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}`;
}

function ageText(seconds) {
  if (seconds === null || seconds === undefined) return '—';
  const s = Math.max(0, Math.round(seconds));
  if (s < 90) return `${s} s`;
  if (s < 5400) return `${Math.round(s / 60)} min`;
  if (s < 172800) return `${Math.floor(s / 3600)} h ${Math.round((s % 3600) / 60)} min`;
  return `${Math.floor(s / 86400)} d ${Math.round((s % 86400) / 3600)} h`;
}

function intervalText(seconds) {
  if (seconds % 86400 === 0) return `${seconds / 86400} d`;
  if (seconds % 3600 === 0) return `${seconds / 3600} h`;
  if (seconds % 60 === 0) return `${seconds / 60} min`;
  return `${seconds} s`;
}

// Meter times carry no zone: they are read and written as if UTC, so that
// no zone of this browser shifts them.
const meterMs = (text) => Date.parse(text + 'Z');
const meterText = (ms) => new Date(ms).toISOString().slice(0, 19);

function notify(text, kind) {
  const notice = byId('notice');
  notice.textContent = text;
  notice.className = 'notice ' + kind;
  notice.hidden = false;
  clearTimeout(notify.timer);
  if (kind === 'good') notify.timer = setTimeout(() => { notice.hidden = true; }, 8000);
}

// ---- The API ------------------------------------------------------------------

async function getJson(path) {
  const response = await fetch(path, {cache: 'no-store'});
  const body = await response.json().catch(() => ({}));
  if (!response.ok) throw new Error(body.error || `${path}: HTTP ${response.status}`);
  return body;
}

function askToken() {
  const dialog = byId('token-dialog');
  const input = byId('token-input');
  input.value = '';
  dialog.returnValue = '';
  return new Promise((resolve) => {
    dialog.addEventListener('close', () => {
      const token = dialog.returnValue === 'ok' ? input.value.trim() : '';
      if (token) sessionStorage.setItem(TOKEN_KEY, token);
      resolve(token || null);
    }, {once: true});
    dialog.showModal();
  });
}

// A change sent with the token (asked for once a tab); null when the person
// did not give one.
async function postWithToken(path) {
  const token = sessionStorage.getItem(TOKEN_KEY) || await askToken();
  if (!token) return null;
  const response = await fetch(path, {method: 'POST', headers: {Authorization: 'Bearer ' + token}});
  const body = await response.json().catch(() => ({}));
  // A wrong token is forgotten, so the next change asks again.
  if (response.status === 401) sessionStorage.removeItem(TOKEN_KEY);
  return {ok: response.ok, status: response.status, body};
}

function refused(what, result) {
  const reason = result.body.error || 'no reason given';
  const again = result.status === 401 ? ' The token is asked for again at the next change.' : '';
  notify(`${what} was refused (${result.status}): ${reason}.${again}`, 'bad');
}

// ---- The header -------------------------------------------------------------

async function refreshFleet() {
  try {
    app.fleet = await getJson('api/meters');
    app.fetchedAt = Date.now();
  } catch (error) {
    notify('The fleet cannot be read: ' + error.message, 'bad');
    return;
  }
  renderTotals();
  if (app.view.name === 'fleet') renderFleetTable();
}

function renderTotals() {
  const s = app.fleet.summary;
  const verdict = byId('verdict');
  verdict.textContent = s.verdict;
  verdict.className = 'verdict verdict-' + String(s.verdict).toLowerCase();
  const tile = (count, label, className, href) => {
    const content = [h('span', {class: 'count'}, count), h('span', {class: 'label'}, label)];
    return h('li', {class: `total total-${className}${count > 0 ? ' lit' : ''}`},
             href ? h('a', {href}, content) : content);
  };
  byId('totals').replaceChildren(
    tile(s.meters, 'meters', 'all'),
    tile(s.ok, 'ok', 'ok'),
    tile(s.late, 'late', 'late'),
    tile(s.missing, 'missing', 'missing'),
    tile(s.failing, 'failing', 'failing'),
    tile(s.never, 'never', 'never'),
    tile(s.alarms_open, 'alarms open', 'alarms', '#/alarms'),
    tile(s.critical_alarms, 'critical', 'critical', '#/alarms'));
}

// ---- The fleet page -----------------------------------------------------------

const openAlarms = (meter) => meter.alarms || [];
const missingOf = (meter) => (meter.loggers || []).reduce((sum, l) => sum + (l.missing || 0), 0);
const ageNow = (meter) =>
  (meter.age_s === null ? null : meter.age_s + (Date.now() - app.fetchedAt) / 1000);

const COLUMNS = [
  {key: 'meter', title: 'Meter', value: (m) => m.meter},
  {key: 'line', title: 'Line', value: (m) => m.line},
  {key: 'state', title: 'State', value: (m) => STATE_RANK[m.state] ?? 9},
  {key: 'last', title: 'Last good read', value: (m) => m.last_collected || ''},
  {key: 'age', title: 'Age', value: (m) => (m.age_s === null ? Infinity : m.age_s)},
  {key: 'alarms', title: 'Open alarms', value: (m) => openAlarms(m).length},
  {key: 'missing', title: 'Records missing', value: (m) => missingOf(m)},
];

function compareValues(a, b) {
  if (typeof a === 'number' && typeof b === 'number') return a - b;
  return String(a).localeCompare(String(b), undefined, {numeric: true});
}

function showFleet() {
  const filter = h('input', {
    type: 'search', id: 'filter', value: app.filter, placeholder: 'Filter by meter, line or state',
    'aria-label': 'Filter the meters',
    oninput: (event) => { app.filter = event.target.value; renderFleetTable(); },
  });
  byId('view').replaceChildren(
    h('section', {class: 'panel'},
      h('div', {class: 'panel-head'}, h('h2', {}, 'Lines now')),
      h('div', {class: 'activity'},
        h('div', {id: 'lines', class: 'lines'}),
        h('ol', {id: 'event-log', class: 'event-log', 'aria-label': 'Recent attempts and alarms'}))),
    h('section', {class: 'panel'},
      h('div', {class: 'panel-head'}, h('h2', {}, 'Meters'), filter,
        h('span', {id: 'fleet-count', class: 'muted'})),
      h('table', {id: 'fleet', class: 'grid'}, h('thead'), h('tbody'))));
  renderLines();
  renderEventLog();
  if (app.fleet) renderFleetTable();
}

function renderFleetTable() {
  const table = byId('fleet');
  if (!table || !app.fleet) return;
  const column = COLUMNS.find((c) => c.key === app.sort.key) || COLUMNS[0];
  const needle = app.filter.trim().toLowerCase();
  const meters = app.fleet.meters
    .filter((m) => !needle || `${m.meter}\n${m.line}\n${m.state}`.toLowerCase().includes(needle))
    .sort((a, b) => (compareValues(column.value(a), column.value(b)) * (app.sort.ascending ? 1 : -1)) ||
                    compareValues(a.meter, b.meter));

  const header = h('tr', {}, COLUMNS.map((c) => {
    const sorted = c.key === app.sort.key;
    return h('th', {'aria-sort': sorted ? (app.sort.ascending ? 'ascending' : 'descending') : 'none'},
      h('button', {
        type: 'button', 'data-sort': c.key,
        onclick: () => {
          app.sort = {key: c.key, ascending: sorted ? !app.sort.ascending : true};
          renderFleetTable();
        },
      }, c.title, sorted ? (app.sort.ascending ? ' ▲' : ' ▼') : ''));
  }));

  const rows = meters.map((m) => {
    const alarms = openAlarms(m);
    const worst = alarms.map((a) => a.severity).sort((a, b) =>
      (SEVERITY_RANK[a] ?? 9) - (SEVERITY_RANK[b] ?? 9))[0];
    const message = m.last_attempt && m.last_attempt.code ? m.last_attempt.message : '';
    return h('tr', {'data-meter': m.meter},
      h('td', {}, h('a', {href: meterHref(m.meter)}, m.meter)),
      h('td', {}, m.line),
      h('td', {title: message || null}, badge(m.state, stateClass(m.state))),
      h('td', {title: m.last_collected || null}, localTime(m.last_collected)),
      h('td', {class: 'num'}, ageText(ageNow(m))),
      h('td', {class: 'num'}, alarms.length ? badge(alarms.length, severityClass(worst)) : '0'),
      h('td', {class: 'num' + (missingOf(m) ? ' warn' : '')}, missingOf(m)));
  });
  table.tHead.replaceChildren(header);
  table.tBodies[0].replaceChildren(...rows);
  if (!rows.length) {
    table.tBodies[0].append(h('tr', {}, h('td', {colspan: COLUMNS.length, class: 'muted'},
      app.fleet.meters.length ? 'No meter matches the filter.' : 'The fleet has no meters yet.')));
  }
  byId('fleet-count').textContent = `${meters.length} of ${app.fleet.meters.length}`;
}

function renderLines() {
  const box = byId('lines');
  if (!box) return;
  const cards = [...app.lines.values()].map((line) => {
    const busy = line.stage && line.stage !== 'idle';
    return h('div', {class: 'line-card' + (busy ? ' busy' : ''), 'data-line': line.line},
      h('div', {class: 'line-name'}, line.line),
      h('div', {class: 'line-stage'}, busy ? line.stage : 'idle'),
      busy && line.meter ? h('a', {href: meterHref(line.meter)}, line.meter) : h('span', {}, ' '),
      h('div', {class: 'bar'}, h('span', {style: `width:${busy ? Number(line.percent) || 0 : 0}%`})),
      h('div', {class: 'muted'}, busy ? `${line.entries} entries` : ''));
  });
  box.replaceChildren(...(cards.length ? cards : [h('p', {class: 'muted'}, 'No lines yet.')]));
}

function renderEventLog() {
  const list = byId('event-log');
  if (!list) return;
  list.replaceChildren(...app.log.map((item) =>
    h('li', {class: item.kind}, h('time', {}, item.time), ' ',
      item.meter ? h('a', {href: meterHref(item.meter)}, item.meter) : '', ' ', item.text)));
  if (!app.log.length) {
    list.append(h('li', {class: 'muted'}, 'Attempts and alarms appear here as they happen.'));
  }
}

// ---- The event stream ---------------------------------------------------------

// fn run once, ms after the first of a burst of calls: a run of events
// costs one request, not one each.
function later(fn, ms) {
  let timer = null;
  return () => {
    if (timer === null) timer = setTimeout(() => { timer = null; fn(); }, ms);
  };
}

const refreshFleetSoon = later(refreshFleet, 500);

async function loadLines() {
  try {
    for (const line of (await getJson('api/lines')).lines) app.lines.set(line.line, line);
    renderLines();
  } catch (error) {
    // The next activity asks again; the cards keep what the events said.
  }
}

// The events tell the stage; how far a download has come, the lines tell.
const refreshLinesSoon = later(loadLines, 1000);
const refreshViewSoon = later(() => { if (app.view.refresh) app.view.refresh(); }, 500);

function logEvent(kind, meter, text) {
  const now = new Date();
  app.log.unshift({kind, meter, text,
                   time: `${pad(now.getHours())}:${pad(now.getMinutes())}:${pad(now.getSeconds())}`});
  app.log.length = Math.min(app.log.length, EVENT_LOG_LENGTH);
  renderEventLog();
}

function listen() {
  const live = byId('live');
  const source = new EventSource('api/events');
  source.onopen = () => { live.textContent = 'live'; live.className = 'live on'; };
  source.onerror = () => { live.textContent = 'reconnecting'; live.className = 'live off'; };
  source.addEventListener('activity', (event) => {
    const data = JSON.parse(event.data);
    const old = app.lines.get(data.line) || {};
    app.lines.set(data.line, {...old, ...data, percent: data.stage === 'idle' ? 0 : old.percent});
    renderLines();
    refreshLinesSoon();
  });
  source.addEventListener('attempt', (event) => {
    const data = JSON.parse(event.data);
    const text = data.ok ? `collected on ${data.line}, ${data.entries_new} new entries`
                         : `failed on ${data.line}: ${data.message} (code ${data.code})` +
                           (data.will_retry ? ', will retry' : '');
    logEvent(data.ok ? 'good' : 'bad', data.meter, text);
    refreshFleetSoon();
    if (app.view.name === 'alarms' || app.view.meter === data.meter) refreshViewSoon();
  });
  source.addEventListener('alarm', (event) => {
    const data = JSON.parse(event.data);
    logEvent(data.state === 'raised' ? 'bad' : 'good', data.meter,
             `alarm ${data.state}: ${data.kind} (${data.severity}) ${data.detail}`);
    refreshFleetSoon();
    if (app.view.name === 'alarms' || app.view.meter === data.meter) refreshViewSoon();
  });
}

// ---- Alarms ---------------------------------------------------------------------

async function acknowledge(alarm, button) {
  button.disabled = true;
  try {
    const result = await postWithToken(`api/alarms/${encodeURIComponent(alarm.id)}/ack`);
    if (result === null) return;
    if (result.ok) {
      notify(`Alarm ${alarm.id} (${alarm.kind} on ${alarm.meter}) acknowledged.`, 'good');
      if (app.view.refresh) app.view.refresh();
    } else {
      refused(`Acknowledging alarm ${alarm.id}`, result);
    }
  } catch (error) {
    notify(`Acknowledging alarm ${alarm.id} failed: ${error.message}`, 'bad');
  } finally {
    button.disabled = false;
  }
}

function alarmTable(alarms, withMeter) {
  const head = ['Raised', withMeter && 'Meter', 'Logger', 'Kind', 'Severity', 'Detail', 'Cleared',
                'Acknowledged', ''].filter((t) => t !== false);
  const rows = alarms.map((a) => {
    const button = a.acknowledged_at ? null : h('button', {type: 'button', class: 'ack', 'data-alarm': a.id},
                                                'Acknowledge');
    if (button) button.addEventListener('click', () => acknowledge(a, button));
    return h('tr', {'data-alarm': a.id, class: a.cleared_at ? 'cleared' : ''},
      h('td', {title: a.raised_at}, localTime(a.raised_at)),
      withMeter && h('td', {}, h('a', {href: meterHref(a.meter)}, a.meter)),
      h('td', {class: 'num'}, a.logger),
      h('td', {}, a.kind),
      h('td', {}, badge(a.severity, severityClass(a.severity))),
      h('td', {}, a.detail),
      h('td', {title: a.cleared_at || null}, a.cleared_at ? localTime(a.cleared_at) : 'open'),
      h('td', {class: 'acked', title: a.acknowledged_at || null},
        a.acknowledged_at ? localTime(a.acknowledged_at) : '—'),
      h('td', {}, button));
  });
  if (!rows.length) return h('p', {class: 'muted'}, 'No alarms.');
  return h('table', {class: 'grid alarms'}, h('thead', {}, h('tr', {}, head.map((t) => h('th', {}, t)))),
           h('tbody', {}, rows));
}

function showAlarms(params) {
  const all = params.get('all') === '1';
  const box = h('div', {id: 'alarm-list'}, h('p', {class: 'muted'}, 'Loading…'));
  byId('view').replaceChildren(h('section', {class: 'panel'},
    h('div', {class: 'panel-head'}, h('h2', {}, all ? 'All alarms' : 'Open alarms'),
      h('span', {class: 'switch'},
        h('a', {href: '#/alarms', 'aria-current': all ? null : 'true'}, 'Open'),
        h('a', {href: '#/alarms?all=1', 'aria-current': all ? 'true' : null}, 'All'))),
    box));
  const serial = app.view.serial;
  app.view.refresh = async () => {
    try {
      const alarms = (await getJson(all ? 'api/alarms' : 'api/alarms?open=1')).alarms;
      if (serial !== app.view.serial) return;
      alarms.sort((a, b) => compareValues(b.raised_at, a.raised_at) || b.id - a.id);
      box.replaceChildren(alarmTable(alarms, true));
    } catch (error) {
      if (serial === app.view.serial) box.replaceChildren(h('p', {class: 'bad'}, error.message));
    }
  };
  app.view.refresh();
}

// ---- A meter's page ---------------------------------------------------------------

let chartLoading = null;

// Chart.js is fetched by the meter page only: the fleet page stays small.
function loadChart() {
  if (window.Chart) return Promise.resolve();
  if (!chartLoading) {
    chartLoading = new Promise((resolve, reject) => {
      const script = h('script', {src: 'chart.js'});
      script.onload = resolve;
      script.onerror = () => { chartLoading = null; reject(new Error('chart.js cannot be loaded')); };
      document.head.append(script);
    });
  }
  return chartLoading;
}

function meterSettings(params) {
  const logger = ['1', '2', '3'].includes(params.get('logger')) ? Number(params.get('logger')) : 1;
  const day = /^\d{4}-\d{2}-\d{2}$/;
  const from = params.get('from'), to = params.get('to');
  if (day.test(from || '') && day.test(to || '')) return {logger, span: 'range', from, to};
  return {logger, span: Object.hasOwn(SPANS, params.get('span')) ? params.get('span') : 'week'};
}

function settingsQuery(settings) {
  const query = new URLSearchParams({logger: settings.logger});
  if (settings.span === 'range') {
    query.set('from', settings.from);
    query.set('to', settings.to);
  } else {
    query.set('span', settings.span);
  }
  return query.toString();
}

function showMeter(id, params) {
  const settings = meterSettings(params);
  const go = (changes) => { location.hash = meterHref(id, settingsQuery({...settings, ...changes})); };
  const collect = h('button', {type: 'button', id: 'collect-now'}, 'Collect now');
  collect.addEventListener('click', () => collectNow(id, collect));

  const loggerPicker = h('select', {id: 'logger', 'aria-label': 'Logger',
                                    onchange: (e) => go({logger: Number(e.target.value)})},
    [[1, 'Logger 1'], [2, 'Logger 2'], [3, 'Logger 3 (totals)']].map(([value, text]) =>
      h('option', {value, selected: value === settings.logger}, text)));
  const spanButtons = Object.keys(SPANS).map((span) =>
    h('button', {type: 'button', 'data-span': span, 'aria-pressed': String(span === settings.span),
                 onclick: () => go({span, from: undefined, to: undefined})}, 'Last ' + span));
  const fromInput = h('input', {type: 'date', id: 'span-from', 'aria-label': 'From', value: settings.from});
  const toInput = h('input', {type: 'date', id: 'span-to', 'aria-label': 'To', value: settings.to});
  const rangeForm = h('form', {class: 'range', onsubmit: (event) => {
    event.preventDefault();
    if (!fromInput.value || !toInput.value || fromInput.value > toInput.value) {
      notify('Choose a from day on or before the to day.', 'bad');
      return;
    }
    go({span: 'range', from: fromInput.value, to: toInput.value});
  }}, fromInput, '–', toInput, h('button', {type: 'submit'}, 'Show'));

  const totals = settings.logger === 3;
  const plot = (key, title) => h('figure', {class: 'plot'},
    h('div', {class: 'plot-box'}, h('canvas', {id: 'plot-' + key, 'aria-label': title, role: 'img'})));
  byId('view').replaceChildren(
    h('section', {class: 'panel meter-head'},
      h('div', {},
        h('a', {href: '#/', class: 'muted'}, '← Fleet'),
        h('h1', {id: 'meter-title'}, id),
        h('div', {id: 'meter-facts', class: 'facts'}, 'Loading…')),
      h('div', {class: 'meter-actions'}, collect, h('div', {id: 'schedule', class: 'muted'}))),
    h('section', {class: 'panel'}, h('h2', {}, 'Open alarms'), h('div', {id: 'meter-alarms'})),
    h('section', {class: 'panel'},
      h('div', {class: 'panel-head controls'}, h('h2', {}, totals ? 'Totals' : 'Flow and pressure'),
        loggerPicker, h('span', {class: 'spans'}, spanButtons), rangeForm),
      h('div', {class: 'plots'},
        plot(totals ? 'total1' : 'flow', totals ? 'Total 1' : 'Flow'),
        plot(totals ? 'total2' : 'pressure', totals ? 'Total 2' : 'Pressure')),
      h('p', {id: 'plot-note', class: 'muted'})),
    h('div', {class: 'columns'},
      h('section', {class: 'panel'}, h('h2', {}, `Days with data (logger ${settings.logger})`),
        h('div', {id: 'calendar', class: 'calendar'}),
        h('p', {class: 'legend'}, badge('whole day', 'day-full'), badge('part of a day', 'day-part'),
          badge('no data', 'day-none'))),
      h('section', {class: 'panel'}, h('h2', {}, 'Loggers'), h('div', {id: 'meter-loggers'}))),
    h('section', {class: 'panel'}, h('h2', {}, 'Recent attempts'), h('div', {id: 'attempts'})));

  const serial = app.view.serial;
  const current = () => serial === app.view.serial;
  const loadStatus = async () => {
    try {
      const meter = await getJson(meterPath(id));
      if (current()) renderMeterStatus(meter);
    } catch (error) {
      if (current()) byId('meter-facts').replaceChildren(h('span', {class: 'bad'}, error.message));
    }
  };
  const loadPlots = async () => {
    try {
      await drawMeterData(id, settings, current);
    } catch (error) {
      if (current()) byId('plot-note').replaceChildren(h('span', {class: 'bad'}, error.message));
    }
  };
  app.view.refresh = () => {
    loadStatus();
    // A chosen from–to stays as it is; a span up to now moves on.
    if (settings.span !== 'range') loadPlots();
  };
  loadStatus();
  loadPlots();
}

async function collectNow(id, button) {
  button.disabled = true;
  try {
    const result = await postWithToken(meterPath(id) + '/collect');
    if (result === null) return;
    if (result.ok) notify(`${id} is queued: its line collects it next.`, 'good');
    else refused(`Collect now for ${id}`, result);
  } catch (error) {
    notify(`Collect now for ${id} failed: ${error.message}`, 'bad');
  } finally {
    button.disabled = false;
  }
}

function renderMeterStatus(meter) {
  const s = meter.status;
  const fact = (label, ...value) =>
    h('span', {class: 'fact'}, h('span', {class: 'label'}, label), ' ', ...value);
  byId('meter-facts').replaceChildren(
    badge(s.state, stateClass(s.state)),
    fact('line', s.line),
    fact('last good read', h('span', {title: s.last_collected || null}, localTime(s.last_collected))),
    fact('age', ageText(s.age_s)),
    fact('failed runs', s.failed_runs));

  const schedule = meter.schedule;
  byId('schedule').replaceChildren(schedule
    ? `every ${intervalText(schedule.interval_s)}, ` +
      `${schedule.window ? 'within ' + schedule.window : 'at any time'}; ` +
      `calls today ${schedule.calls_today} of ${schedule.max_calls_per_day}`
    : 'not in the fleet file: no schedule');

  byId('meter-alarms').replaceChildren(alarmTable(s.alarms || [], false));
  const loggers = (s.loggers || []).map((l) => h('tr', {},
    h('td', {class: 'num'}, l.logger),
    h('td', {class: 'num'}, l.epoch),
    h('td', {class: 'num'}, l.first_rsn === null ? '—' : `${l.first_rsn}–${l.last_rsn}`),
    h('td', {class: 'num'}, l.stored),
    h('td', {class: 'num' + (l.missing ? ' warn' : '')}, l.missing)));
  byId('meter-loggers').replaceChildren(loggers.length
    ? h('table', {class: 'grid'},
        h('thead', {}, h('tr', {},
          ['Logger', 'Epoch', 'Records', 'Stored', 'Missing'].map((t) => h('th', {}, t)))),
        h('tbody', {}, loggers))
    : h('p', {class: 'muted'}, 'No logger read yet.'));

  const rows = meter.attempts.map((a) => {
    const took = a.ended_at ? Math.round((Date.parse(a.ended_at) - Date.parse(a.started_at)) / 1000) : null;
    const failed = a.code !== null && a.code !== 0;
    return h('tr', {class: failed ? 'failed' : ''},
      h('td', {title: a.started_at}, localTime(a.started_at)),
      h('td', {class: 'num'}, took === null ? 'running' : `${took} s`),
      h('td', {}, a.line),
      h('td', {}, a.code === null ? '—' : failed ? badge(`code ${a.code}`, stateClass('failing'))
                                                 : badge('ok', stateClass('ok'))),
      h('td', {}, a.source),
      h('td', {class: 'message'}, a.message || (failed ? '' : 'collected')),
      h('td', {class: 'num'}, a.entries),
      h('td', {class: 'num'}, a.bytes));
  });
  byId('attempts').replaceChildren(h('table', {class: 'grid'},
    h('thead', {}, h('tr', {}, ['Started', 'Took', 'Line', 'Result', 'Source', 'Message', 'Entries', 'Bytes']
      .map((t) => h('th', {}, t)))),
    h('tbody', {}, rows.length ? rows
                               : h('tr', {}, h('td', {colspan: 8, class: 'muted'}, 'No attempts yet.')))));
}

async function drawMeterData(id, settings, current) {
  const base = meterPath(id);
  if (app.meterClockOffset === null) {
    // The meter time now, as the service sees it: the end of the days' default span.
    const probe = await getJson(`${base}/days?logger=${settings.logger}`);
    app.meterClockOffset = meterMs(probe.to) - Date.now();
  }
  let from, to;
  if (settings.span === 'range') {
    from = meterMs(settings.from + 'T00:00:00');
    to = meterMs(settings.to + 'T23:59:59');
  } else {
    to = Math.floor((Date.now() + app.meterClockOffset) / 1000) * 1000;
    from = to - SPANS[settings.span] * DAY_MS;
  }
  const calendarFrom = Math.min(from, Math.floor(to / DAY_MS) * DAY_MS - (CALENDAR_MIN_DAYS - 1) * DAY_MS);
  // A bucket a pixel of the plot's width.
  const width = document.querySelector('.plot-box').clientWidth;
  const points = Math.max(50, Math.min(2000, Math.round(width || 800)));
  const range = (start) => `logger=${settings.logger}&from=${meterText(start)}&to=${meterText(to)}`;
  const [series, days] = await Promise.all([
    getJson(`${base}/series?${range(from)}&points=${points}`),
    getJson(`${base}/days?${range(calendarFrom)}`),
    loadChart()]);
  if (!current()) return;
  if (settings.span !== 'range') {
    byId('span-from').value = meterText(from).slice(0, 10);
    byId('span-to').value = meterText(to).slice(0, 10);
  }
  const totals = settings.logger === 3;
  const colours = [['#1f6feb', 'rgba(31,111,235,0.18)'], ['#bf3989', 'rgba(191,57,137,0.18)']];
  const keys = totals ? [['total1', 'Total 1'], ['total2', 'Total 2']]
                      : [['flow', 'Flow'], ['pressure', 'Pressure']];
  keys.forEach(([key, title], i) =>
    drawPlot(byId('plot-' + key), series, key, title, colours[i], from, to));
  const entries = series.buckets.reduce((sum, b) => sum + b.count, 0);
  const span = `${series.from.replace('T', ' ')} to ${series.to.replace('T', ' ')}`;
  byId('plot-note').textContent = entries
    ? `${entries} entries from ${span} (meter time), ${series.buckets.length} buckets of ` +
      `${intervalText(series.bucket_s)}: the line is the mean, the band min to max.`
    : `No entries from ${span} (meter time).`;
  renderCalendar(days, calendarFrom, to);
}

// Ticks on whole hours, days or months of meter time, at most about eight.
const TICK_HOURS = [1, 2, 3, 6, 12, 24, 48, 96, 7 * 24, 14 * 24];

function timeTicks(from, to) {
  const ticks = [];
  const step = TICK_HOURS.map((hours) => hours * 3600000).find((ms) => (to - from) / ms <= 8);
  if (step) {
    for (let t = Math.ceil(from / step) * step; t <= to; t += step) ticks.push({value: t});
    return ticks;
  }
  const every = Math.ceil((to - from) / (30 * DAY_MS) / 8);
  const start = new Date(from);
  for (let m = 1; ; ++m) {
    const t = Date.UTC(start.getUTCFullYear(), start.getUTCMonth() + m, 1);
    if (t > to) break;
    if ((m - 1) % every === 0) ticks.push({value: t});
  }
  return ticks;
}

function tickText(ms, spanMs) {
  const text = meterText(ms);
  if (spanMs <= 2 * DAY_MS) return text.endsWith('T00:00:00') ? text.slice(5, 10) : text.slice(11, 16);
  if (spanMs <= 62 * DAY_MS) return text.slice(5, 10);
  return text.slice(0, 7);
}

function drawPlot(canvas, series, key, title, colour, from, to) {
  const existing = Chart.getChart(canvas);
  if (existing) existing.destroy();
  const points = series.buckets.map((b) => {
    const values = b[key] || {};
    return {x: (meterMs(b.from) + meterMs(b.to)) / 2, min: values.min, mean: values.mean, max: values.max};
  });
  // A gap well wider than the usual spacing of the buckets is a gap in the
  // data: the line breaks there instead of bridging it.
  const steps = points.slice(1).map((p, i) => p.x - points[i].x).sort((a, b) => a - b);
  const usual = steps.length ? steps[Math.floor(steps.length / 2)] : 0;
  const lows = [], means = [], highs = [];
  points.forEach((p, i) => {
    if (i > 0 && p.x - points[i - 1].x > 3 * usual) {
      const x = (p.x + points[i - 1].x) / 2;
      for (const list of [lows, means, highs]) list.push({x, y: null});
    }
    lows.push({x: p.x, y: p.min ?? null});
    means.push({x: p.x, y: p.mean ?? null});
    highs.push({x: p.x, y: p.max ?? null});
  });
  const band = {borderWidth: 0, pointRadius: 0, backgroundColor: colour[1], spanGaps: false};
  new Chart(canvas, {
    type: 'line',
    data: {datasets: [
      {...band, label: 'min', data: lows, fill: false},
      {...band, label: 'min–max', data: highs, fill: '-1'},
      {label: 'mean', data: means, borderColor: colour[0], backgroundColor: colour[0], borderWidth: 1.5,
       pointRadius: 0, fill: false, spanGaps: false},
    ]},
    options: {
      animation: false, parsing: false, normalized: true, responsive: true, maintainAspectRatio: false,
      interaction: {mode: 'index', intersect: false},
      scales: {
        x: {type: 'linear', min: from, max: to,
            afterBuildTicks: (axis) => { axis.ticks = timeTicks(from, to); },
            ticks: {callback: (value) => tickText(value, to - from)}},
        y: {ticks: {maxTicksLimit: 6}},
      },
      plugins: {
        title: {display: true, text: title, align: 'start'},
        legend: {align: 'end', labels: {boxWidth: 14, filter: (item) => item.datasetIndex !== 0}},
        tooltip: {callbacks: {title: (items) => meterText(items[0].parsed.x).replace('T', ' ')}},
      },
    },
  });
}

function renderCalendar(days, fromMs, toMs) {
  const entries = new Map(days.days.map((d) => [d.date, d.entries]));
  // A whole day holds as many entries as the fullest day.
  const whole = Math.max(0, ...entries.values());
  const first = meterText(fromMs).slice(0, 10), last = meterText(toMs).slice(0, 10);
  const months = [];
  let month = Date.UTC(Number(first.slice(0, 4)), Number(first.slice(5, 7)) - 1, 1);
  while (meterText(month).slice(0, 7) <= last.slice(0, 7)) {
    const start = new Date(month);
    const next = Date.UTC(start.getUTCFullYear(), start.getUTCMonth() + 1, 1);
    const cells = [];
    // Weeks start on Monday.
    for (let i = 0; i < (start.getUTCDay() + 6) % 7; ++i) cells.push(h('td', {}));
    for (let day = month; day < next; day += DAY_MS) {
      const date = meterText(day).slice(0, 10);
      const n = entries.get(date) || 0;
      const inside = date >= first && date <= last;
      const kind = !inside ? 'day-out' : n === 0 ? 'day-none' : n >= whole ? 'day-full' : 'day-part';
      const title = inside ? `${date}: ${n} entries` : null;
      cells.push(h('td', {class: kind, title}, Number(date.slice(8))));
    }
    const rows = [];
    for (let i = 0; i < cells.length; i += 7) rows.push(h('tr', {}, cells.slice(i, i + 7)));
    months.push(h('table', {class: 'month'},
      h('caption', {}, meterText(month).slice(0, 7)),
      h('thead', {}, h('tr', {}, ['Mo', 'Tu', 'We', 'Th', 'Fr', 'Sa', 'Su'].map((d) => h('th', {}, d)))),
      h('tbody', {}, rows)));
    month = next;
  }
  byId('calendar').replaceChildren(...months);
}

// ---- Routes -------------------------------------------------------------------

function route() {
  const [path, query] = (location.hash.replace(/^#/, '') || '/').split('?');
  const params = new URLSearchParams(query || '');
  app.view = {name: '', meter: null, serial: app.view.serial + 1, refresh: null};
  let meter = null;
  const match = path.match(/^\/meter\/(.+)$/);
  if (match) {
    try {
      meter = decodeURIComponent(match[1]);
    } catch (error) {
      notify('That address names no meter.', 'bad');
    }
  }
  const name = meter !== null ? 'meter' : path === '/alarms' ? 'alarms' : 'fleet';
  for (const link of document.querySelectorAll('nav a')) {
    if (link.dataset.route === name) link.setAttribute('aria-current', 'page');
    else link.removeAttribute('aria-current');
  }
  app.view.name = name;
  app.view.meter = meter;
  window.scrollTo(0, 0);
  if (name === 'meter') {
    document.title = `${meter} · Vantbrook`;
    showMeter(meter, params);
  } else if (name === 'alarms') {
    document.title = 'Alarms · Vantbrook';
    showAlarms(params);
  } else {
    document.title = 'Vantbrook';
    showFleet();
  }
}

byId('notice').addEventListener('click', () => { byId('notice').hidden = true; });
window.addEventListener('hashchange', route);
route();
refreshFleet();
loadLines();
listen();
setInterval(refreshFleet, REFRESH_MS);
