// The live page of Pesavo's weight service: the last weighing, the live weight, the scale's
// connection and the recent weighings, kept up to date through the service's stream.
//
// The token comes from this page's own address and goes only into the service's calls: it is
// never written into the page and never logged.
'use strict';

(function () {
  const KEEP = 20;  // recent weighings shown
  const RETRY_FIRST = 500, RETRY_MOST = 4000;  // ms between attempts to reach the service

  const DEFAULT_TEXTS = {
    Title: 'Pesavo: live weight', Last: 'Last weighing', Live: 'Live', Stable: 'stable', Moving: 'moving',
    Connected: 'Connected', Disconnected: 'No scale connected', Offline: 'The weight service cannot be reached',
    Recent: 'Recent weighings', Number: 'No.', Weight: 'Weight', Unit: 'Unit', Time: 'Time',
    None: 'No weighing yet', Maybe_Repeat: 'maybe a repeat',
  };
  // The scales by the names the service gives them.
  const SCALE_NAMES = { frame6: 'six-byte', '8217': '8217', sics: 'MT-SICS', print: 'continuous print' };

  const texts = Object.assign({}, DEFAULT_TEXTS, readTexts());
  const token = new URLSearchParams(location.search).get('token') || '';
  const $ = (id) => document.getElementById(id);

  let run = null;       // the program's run the page shows; another one starts the page afresh
  let lastSeq = 0;      // the last weighing received
  let recent = [];      // newest first
  let socket = null;
  let retry = RETRY_FIRST;
  let retryTimer = null;

  function readTexts() {
    try {
      const parsed = JSON.parse(document.getElementById('texts').textContent);
      if (parsed && typeof parsed === 'object') {
        const strings = {};
        for (const [key, value] of Object.entries(parsed)) if (typeof value === 'string' && value !== '') strings[key] = value;
        return strings;
      }
    } catch (e) {
      // (the file opened without the service: its placeholder is no JSON)
    }
    return {};
  }

  // ---- showing ----

  // "2026-12-10T09:05:03+01:00" as the desk's clock read it, whatever the browser's time zone.
  function clock(iso) { return typeof iso === 'string' && iso.length >= 19 ? iso.slice(11, 19) : ''; }
  function dateAndClock(iso) { return typeof iso === 'string' && iso.length >= 19 ? iso.slice(0, 10) + ' ' + iso.slice(11, 19) : ''; }

  function kilograms(kg) {
    // At least the three decimals of a kilogram scale; more when the scale sent more.
    const shown = String(kg);
    const dot = shown.indexOf('.');
    const decimals = dot < 0 || shown.includes('e') ? 0 : shown.length - dot - 1;
    return kg.toFixed(Math.min(6, Math.max(3, decimals)));
  }

  function showTexts() {
    document.title = texts.Title;
    $('title').textContent = texts.Title;
    $('last-label').textContent = texts.Last;
    $('live-label').textContent = texts.Live;
    $('recent-label').textContent = texts.Recent;
    $('head-number').textContent = texts.Number;
    $('head-weight').textContent = texts.Weight;
    $('head-unit').textContent = texts.Unit;
    $('head-time').textContent = texts.Time;
  }

  function showConnection(state) {
    const badge = $('connection');
    if (!state) {
      badge.textContent = texts.Offline;
      badge.className = 'badge offline';
    } else if (state.connected) {
      const scale = texts['Scale_' + state.scale] || SCALE_NAMES[state.scale] || state.scale || '';
      badge.textContent = texts.Connected + ': ' + [scale, state.port || ''].filter(Boolean).join(' \u00b7 ');
      badge.className = 'badge connected';
    } else {
      badge.textContent = texts.Disconnected;
      badge.className = 'badge disconnected';
    }
    document.body.classList.toggle('stale', !state);
  }

  function showLive(live) {
    const section = $('live');
    section.classList.toggle('empty', !live);
    if (!live) {
      $('live-weight').textContent = '\u00a0';
      $('live-mark').textContent = '';
      return;
    }
    $('live-weight').textContent = kilograms(live.kg);
    const mark = $('live-mark');
    mark.textContent = live.stable ? texts.Stable : texts.Moving;
    mark.className = 'mark ' + (live.stable ? 'stable' : 'moving');
  }

  function showLast() {
    const last = recent[0];
    const weight = $('last-weight');
    $('last').classList.toggle('empty', !last);
    if (!last) {
      weight.textContent = texts.None;
      weight.className = 'digits none';
      $('last-unit').textContent = '';
      $('last-time').textContent = '';
      $('last-repeat').hidden = true;
      return;
    }
    weight.textContent = last.text;
    weight.className = 'digits ' + last.kind;
    $('last-unit').textContent = last.kind === 'weight' ? last.unit : '';
    $('last-time').textContent = dateAndClock(last.time);
    $('last-repeat').textContent = texts.Maybe_Repeat;
    $('last-repeat').hidden = !last.maybe_repeat;
  }

  function showRecent() {
    const body = $('recent').tBodies[0];
    const rows = recent.map((w) => {
      const row = document.createElement('tr');
      row.className = w.kind;
      const cells = [String(w.number), w.text, w.kind === 'weight' ? w.unit : '', clock(w.time)];
      for (const text of cells) row.insertCell().textContent = text;
      row.cells[3].title = dateAndClock(w.time);
      if (w.maybe_repeat) {
        const mark = document.createElement('span');
        mark.className = 'repeat';
        mark.textContent = texts.Maybe_Repeat;
        row.cells[1].append(' ', mark);
      }
      return row;
    });
    body.replaceChildren(...rows);
  }

  function addWeighing(w) {
    if (!w || typeof w.seq !== 'number' || w.seq <= lastSeq) return;  // (one sent again after a reconnection)
    lastSeq = w.seq;
    recent.unshift(w);
    if (recent.length > KEEP) recent.length = KEEP;
    showLast();
    showRecent();
  }

  function startAfresh(newRun) {
    run = newRun;
    lastSeq = 0;
    recent = [];
    showLast();
    showRecent();
  }

  // ---- the service ----

  function later() {
    if (retryTimer !== null) return;
    retryTimer = setTimeout(() => { retryTimer = null; connect(); }, retry);
    retry = Math.min(RETRY_MOST, retry * 2);
  }

  function dropped() {
    socket = null;
    showConnection(null);
    later();
  }

  // The service's picture first (which run it is, how far its weighings go), then its stream
  // from the weighings still to show on.
  async function connect() {
    let now;
    try {
      const answer = await fetch('/v1/weight', { headers: { Authorization: 'Bearer ' + token }, cache: 'no-store' });
      if (!answer.ok) throw new Error('status ' + answer.status);
      now = await answer.json();
    } catch (e) {
      dropped();
      return;
    }
    if (now.run !== run) startAfresh(now.run);
    showConnection(now);
    showLive(now.live);
    // Only the last KEEP weighings are shown: those older than that are not asked for.
    const after = now.last ? Math.max(lastSeq, now.last.seq - KEEP) : lastSeq;
    const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
    const address = scheme + '//' + location.host + '/v1/stream?token=' + encodeURIComponent(token) + '&after=' + after;
    let ws;
    try {
      ws = new WebSocket(address);
    } catch (e) {
      dropped();
      return;
    }
    socket = ws;
    ws.onmessage = (event) => {
      if (socket !== ws) return;
      let message;
      try { message = JSON.parse(event.data); } catch (e) { return; }
      retry = RETRY_FIRST;  // (reached: the next loss is retried soon again)
      if ('state' in message) {
        if (message.state.run !== run) {
          // The program started again: its weighings are numbered anew.
          socket = null;
          ws.close();
          startAfresh(message.state.run);
          connect();
          return;
        }
        showConnection(message.state);
        if (!message.state.connected) showLive(null);
      }
      if ('live' in message) showLive(message.live);
      if ('weighing' in message) addWeighing(message.weighing);
    };
    ws.onclose = () => { if (socket === ws) dropped(); };
  }

  showTexts();
  showLast();
  showConnection(null);
  showLive(null);
  connect();
})();
