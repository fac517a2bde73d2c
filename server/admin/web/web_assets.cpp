// The console's pages, compiled into the server: one HTML page, its style sheet
// and its script. Everything the server sends is put into the page as text nodes
// (textContent), never as markup, so no value can inject HTML or script; the
// content security policy allows scripts from this origin only.
#include "server/admin/web/web_internal.h"

namespace {

constexpr const char* kIndexHtml = R"HTML(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Corvel console</title>
<link rel="stylesheet" href="/console.css">
<script src="/console.js" defer></script>
</head>
<body>
<header>
  <h1>Corvel</h1>
  <nav id="tabs" hidden>
    <button data-page="status">Status</button>
    <button data-page="log">Log</button>
    <button data-page="queue">Queue</button>
    <button data-page="accounts">Accounts</button>
    <button data-page="domains">Domains</button>
    <button data-page="lists">Lists</button>
    <button data-page="config">Configuration</button>
    <button id="logout">Log out</button>
  </nav>
</header>
<main>
  <p id="message" role="status"></p>

  <section id="page-login" hidden>
    <h2>Log in</h2>
    <form id="login-form">
      <label>Administrator password <input type="password" id="login-password" autocomplete="current-password" required></label>
      <button type="submit" id="login-button">Log in</button>
    </form>
  </section>

  <section id="page-status" hidden>
    <h2>Status</h2>
    <table class="grid"><tbody id="status-table"></tbody></table>
    <h3>Listeners</h3>
    <table class="grid"><thead><tr><th>Service</th><th>Port</th><th>On</th></tr></thead>
      <tbody id="status-listeners"></tbody></table>
    <h3>Periodic worker</h3>
    <table class="grid"><thead><tr><th>Job</th><th>Last run</th></tr></thead>
      <tbody id="status-worker"></tbody></table>
  </section>

  <section id="page-log" hidden>
    <h2>Log</h2>
    <p><input id="log-filter" placeholder="Filter"> <a href="/api/log/file" id="log-download">Download maillog.txt</a>
       <span id="log-state"></span></p>
    <pre id="log-lines"></pre>
  </section>

  <section id="page-queue" hidden>
    <h2>Queue</h2>
    <p id="queue-counts"></p>
    <ul id="queue-retry"></ul>
    <h3>Retry entries</h3>
    <table class="grid"><thead><tr><th>File</th><th>Host</th><th>Size</th><th>Age</th><th>Level</th><th>Attempts</th><th></th></tr></thead>
      <tbody id="queue-table"></tbody></table>
    <h3>Spool files</h3>
    <table class="grid"><thead><tr><th>Directory</th><th>File</th><th>State</th><th>From</th><th>To</th><th>Size</th><th>Age</th><th></th></tr></thead>
      <tbody id="queue-files"></tbody></table>
  </section>

  <section id="page-accounts" hidden>
    <h2>Accounts</h2>
    <p>
      <label>Domain <select id="accounts-domain"></select></label>
      <label>Type <select id="accounts-type">
        <option value="">all</option><option>user</option><option>alias</option>
        <option>forward</option><option>responder</option><option>list</option></select></label>
      <input id="accounts-search" placeholder="Search">
    </p>
    <table class="grid"><thead><tr><th>Name</th><th>Type</th><th>Fields</th><th></th></tr></thead>
      <tbody id="accounts-table"></tbody></table>
    <h3>Add an account</h3>
    <form id="account-add">
      <label>Type <select id="add-type"><option>user</option><option>alias</option>
        <option>forward</option><option>responder</option><option>list</option></select></label>
      <label>Name <input id="add-name" required></label>
      <label>Field <input id="add-field" placeholder="full name / target / address / title"></label>
      <label>Password <input id="add-password" type="password" autocomplete="new-password"></label>
      <button type="submit" id="add-button">Add</button>
    </form>
  </section>

  <section id="page-domains" hidden>
    <h2>Domains</h2>
    <table class="grid"><thead><tr><th>Number</th><th>Name</th><th>Description</th><th></th></tr></thead>
      <tbody id="domains-table"></tbody></table>
    <h3>Add a secondary domain</h3>
    <form id="domain-add">
      <label>Name <input id="domain-name" required></label>
      <label>Description <input id="domain-description"></label>
      <button type="submit">Add</button>
    </form>
  </section>

  <section id="page-lists" hidden>
    <h2>Lists</h2>
    <p>
      <label>Domain <select id="lists-domain"></select></label>
      <label>List <select id="lists-name"></select></label>
      <span id="lists-mode"></span>
    </p>
    <h3>Members</h3>
    <table class="grid"><thead><tr><th>Address</th><th>Full name</th><th>Options</th><th>Joined</th><th></th></tr></thead>
      <tbody id="lists-members"></tbody></table>
    <form id="member-add">
      <label>Address <input id="member-address" required></label>
      <label>Full name <input id="member-name"></label>
      <button type="submit" id="member-add-button">Add member</button>
    </form>
    <h3>Waiting for approval</h3>
    <table class="grid"><thead><tr><th>Address</th><th>Full name</th><th></th></tr></thead>
      <tbody id="lists-pending"></tbody></table>
    <h3>Posts held for approval</h3>
    <p id="lists-held-note"></p>
    <table class="grid"><thead><tr><th>File</th><th>From</th><th>Subject</th><th>Size</th><th></th></tr></thead>
      <tbody id="lists-held"></tbody></table>
    <h3>Statistics</h3>
    <table class="grid"><tbody id="lists-stats"></tbody></table>
  </section>

  <section id="page-config" hidden>
    <h2>Configuration</h2>
    <p><label><input type="checkbox" id="config-changed"> Only values changed from the default</label>
       <input id="config-filter" placeholder="Filter"></p>
    <table class="grid"><thead><tr><th>Name</th><th>Type</th><th>Default</th><th>Range</th><th>Value</th><th></th></tr></thead>
      <tbody id="config-table"></tbody></table>
  </section>
</main>
</body>
</html>
)HTML";

constexpr const char* kConsoleCss = R"CSS(
body { font-family: system-ui, sans-serif; margin: 0; background: #f6f7f9; color: #1d2330; }
header { background: #24324a; color: #fff; display: flex; align-items: center; gap: 2em; padding: .4em 1em; }
header h1 { font-size: 1.3em; margin: 0; }
nav button { background: none; border: 0; color: #dfe6f3; font-size: 1em; padding: .5em .8em; cursor: pointer; }
nav button.active { color: #fff; border-bottom: 2px solid #8fb3ff; }
main { padding: 1em 1.5em; }
#message { min-height: 1.2em; color: #a33; }
#message.ok { color: #286b2a; }
table.grid { border-collapse: collapse; background: #fff; margin-bottom: 1em; }
table.grid th, table.grid td { border: 1px solid #d5d9e0; padding: .25em .6em; text-align: left; vertical-align: top; }
table.grid th { background: #eef1f6; }
pre#log-lines { background: #10151f; color: #d6dde9; padding: .8em; height: 60vh; overflow: auto; font-size: .85em; }
form label { margin-right: 1em; }
input, select { font: inherit; }
td input.value { width: 18em; }
td label { white-space: nowrap; }
)CSS";

constexpr const char* kConsoleJs = R"JS('use strict';
let csrf = '';
let logSource = null;
let logLines = [];
const $ = (id) => document.getElementById(id);

function say(text, ok) {
  const m = $('message');
  m.textContent = text || '';
  m.className = ok ? 'ok' : '';
}

async function api(path, body) {
  const opts = { credentials: 'same-origin', headers: {} };
  if (body !== undefined) {
    opts.method = 'POST';
    opts.headers['Content-Type'] = 'application/json';
    opts.headers['X-CSRF-Token'] = csrf;
    opts.body = JSON.stringify(body);
  }
  const res = await fetch(path, opts);
  let data = {};
  try { data = await res.json(); } catch (e) { data = {}; }
  if (res.status === 401 && path !== '/api/login') { showLogin(); }
  if (!res.ok) throw new Error(data.error || ('HTTP ' + res.status));
  return data;
}

function cell(row, text) {
  const td = document.createElement('td');
  td.textContent = text === undefined || text === null ? '' : String(text);
  row.appendChild(td);
  return td;
}
function button(parent, label, action) {
  const b = document.createElement('button');
  b.textContent = label;
  b.addEventListener('click', action);
  parent.appendChild(b);
  return b;
}
function clear(el) { while (el.firstChild) el.removeChild(el.firstChild); }

function showPage(name) {
  for (const s of document.querySelectorAll('main section')) s.hidden = s.id !== 'page-' + name;
  for (const b of document.querySelectorAll('#tabs button[data-page]'))
    b.classList.toggle('active', b.dataset.page === name);
  if (name !== 'log' && logSource) { logSource.close(); logSource = null; }
  const loaders = { status: loadStatus, log: openLog, queue: loadQueue, accounts: loadAccounts, domains: loadDomains, lists: loadLists, config: loadConfig };
  if (loaders[name]) loaders[name]().catch((e) => say(e.message));
}

function showLogin() {
  csrf = '';
  $('tabs').hidden = true;
  if (logSource) { logSource.close(); logSource = null; }
  for (const s of document.querySelectorAll('main section')) s.hidden = s.id !== 'page-login';
}

async function loadStatus() {
  const s = await api('/api/status');
  const t = $('status-table');
  clear(t);
  const rows = [
    ['Product', s.product + ' ' + s.version], ['Local node', s.localNode],
    ['Up for', Math.floor(s.uptimeSeconds / 60) + ' min ' + (s.uptimeSeconds % 60) + ' s'],
    ['SMTP sessions in / out', s.sessions.smtpIn + ' / ' + s.sessions.smtpOut],
    ['POP3 sessions', s.sessions.pop3],
    ['Messages received / delivered / bounced since the start',
      s.messages.received + ' / ' + s.messages.delivered + ' / ' + s.messages.bounced],
    ['Incoming queue', s.queues.incoming], ['Parked', s.queues.parked],
    ['Outgoing queue', s.queues.outgoing], ['Retry entries', s.queues.retry],
    ['Critical errors', s.criticalErrors]];
  for (const [k, v] of rows) { const r = t.insertRow(); cell(r, k); cell(r, v); }
  const l = $('status-listeners');
  clear(l);
  for (const x of s.listeners) { const r = l.insertRow(); cell(r, x.name); cell(r, x.port); cell(r, x.on ? 'yes' : 'no'); }
  const w = $('status-worker');
  clear(w);
  for (const j of s.worker) { const r = w.insertRow(); cell(r, j.job); cell(r, j.secondsAgo < 0 ? 'not yet' : j.secondsAgo + ' s ago'); }
}

function renderLog() {
  const f = $('log-filter').value.toLowerCase();
  $('log-lines').textContent = logLines.filter((l) => !f || l.toLowerCase().includes(f)).join('\n');
  const pre = $('log-lines');
  pre.scrollTop = pre.scrollHeight;
}
async function openLog() {
  logLines = [];
  if (logSource) logSource.close();
  logSource = new EventSource('/api/log/stream');
  logSource.onopen = () => { $('log-state').textContent = 'live'; };
  logSource.onerror = () => { $('log-state').textContent = 'reconnecting'; };
  logSource.onmessage = (e) => {
    logLines.push(e.data);
    if (logLines.length > 300) logLines.splice(0, logLines.length - 300);
    renderLog();
  };
}

function ageText(s) {
  if (s < 3600) return Math.floor(s / 60) + ' min';
  if (s < 86400) return Math.floor(s / 3600) + ' h ' + Math.floor((s % 3600) / 60) + ' min';
  return Math.floor(s / 86400) + ' d ' + Math.floor((s % 86400) / 3600) + ' h';
}
async function loadQueue() {
  const q = await api('/api/queue');
  $('queue-counts').textContent = 'Incoming files: ' + q.incomingFiles + ', outgoing files: ' + q.outgoingFiles;
  const ul = $('queue-retry');
  clear(ul);
  for (const line of q.retry) { const li = document.createElement('li'); li.textContent = line; ul.appendChild(li); }
  showSpoolFiles(q);
  const t = $('queue-table');
  clear(t);
  for (const e of q.entries) {
    const r = t.insertRow();
    cell(r, e.file); cell(r, e.host); cell(r, e.size); cell(r, ageText(e.ageSeconds));
    cell(r, e.level); cell(r, e.attempts + (e.busy ? ' (sending)' : ''));
    const td = cell(r, '');
    button(td, 'Retry now', async () => {
      try { await api('/api/queue/retry', { id: e.id }); say('Retrying ' + e.host + '.', true); }
      catch (err) { say(err.message); }
      loadQueue().catch((err) => say(err.message));
    });
    button(td, 'Bounce', async () => {
      const reason = prompt('Bounce ' + e.file + ' back to its sender. Reason (empty: the standard text):', '');
      if (reason === null) return;
      try { const d = await api('/api/queue/bounce', { id: e.id, reason }); say(d.result, true); }
      catch (err) { say(err.message); }
      loadQueue().catch((err) => say(err.message));
    });
  }
}

// The files the queue may delete (the server checks again).
const deletable = ['.in', '.inr', '.err', '.mla', '.out', '.our'];
function showSpoolFiles(q) {
  const t = $('queue-files');
  clear(t);
  for (const f of q.files) {
    const r = t.insertRow();
    cell(r, f.directory); cell(r, f.file); cell(r, f.state);
    cell(r, f.problem ? '(' + f.problem + ')' : f.sender); cell(r, f.recipients.join(', '));
    cell(r, f.size); cell(r, ageText(f.ageSeconds));
    const td = cell(r, '');
    if (deletable.some((x) => f.file.toLowerCase().endsWith(x))) {
      button(td, 'Delete', async () => {
        if (!confirm('Delete ' + f.file + ' for good? Its recipients get nothing and nobody is told.')) return;
        try { await api('/api/queue/delete', { directory: f.directory, file: f.file }); say(f.file + ' deleted.', true); }
        catch (err) { say(err.message); }
        loadQueue().catch((err) => say(err.message));
      });
    }
  }
  if (q.filesCut) cell(t.insertRow(), 'More files than shown.');
}

async function loadDomainChoice() {
  const d = await api('/api/domains');
  const sel = $('accounts-domain');
  const keep = sel.value;
  clear(sel);
  for (const x of d.domains) {
    const o = document.createElement('option');
    o.value = x.number;
    o.textContent = x.name + (x.number ? '' : ' (primary)');
    sel.appendChild(o);
  }
  if (keep) sel.value = keep;
  return d.domains;
}

async function loadAccounts() {
  if (!$('accounts-domain').options.length) await loadDomainChoice();
  const q = new URLSearchParams({ domain: $('accounts-domain').value || '0', type: $('accounts-type').value, q: $('accounts-search').value });
  const d = await api('/api/accounts?' + q);
  const t = $('accounts-table');
  clear(t);
  for (const a of d.accounts) {
    const r = t.insertRow();
    cell(r, a.name);
    cell(r, a.type);
    cell(r, Object.entries(a.fields).filter(([, v]) => v !== '').map(([k, v]) => k + ': ' + v).join(', '));
    const td = cell(r, '');
    button(td, 'Edit', () => editAccount(a));
    button(td, 'Rename', () => renameAccount(a));
    button(td, 'Delete', () => deleteAccount(a));
    if (a.type === 'user') button(td, 'Password', () => setPassword(a));
  }
}
function domainNumber() { return Number($('accounts-domain').value || 0); }
async function editAccount(a) {
  const fields = {};
  for (const [k, v] of Object.entries(a.fields)) {
    const n = prompt(a.name + ': ' + k, v);
    if (n === null) return;
    fields[k] = n;
  }
  try {
    await api('/api/accounts/modify', { domain: domainNumber(), name: a.name, expect: a.fields, fields });
    say('Account ' + a.name + ' changed.', true);
  } catch (e) { say(e.message); }
  loadAccounts().catch((e) => say(e.message));
}
async function renameAccount(a) {
  const n = prompt('New name for ' + a.name, a.name);
  if (!n || n === a.name) return;
  try { await api('/api/accounts/rename', { domain: domainNumber(), name: a.name, newName: n }); say('Renamed.', true); }
  catch (e) { say(e.message); }
  loadAccounts().catch((e) => say(e.message));
}
async function deleteAccount(a) {
  if (!confirm('Delete the account ' + a.name + '?')) return;
  try { await api('/api/accounts/delete', { domain: domainNumber(), name: a.name }); say('Deleted ' + a.name + '.', true); }
  catch (e) { say(e.message); }
  loadAccounts().catch((e) => say(e.message));
}
async function setPassword(a) {
  const p = prompt('New password for ' + a.name);
  if (!p) return;
  try { await api('/api/accounts/modify', { domain: domainNumber(), name: a.name, password: p }); say('Password set.', true); }
  catch (e) { say(e.message); }
}
const firstField = { user: 'fullName', alias: 'target', forward: 'address', responder: 'title', list: 'title' };
async function addAccount(ev) {
  ev.preventDefault();
  const type = $('add-type').value;
  const body = { domain: domainNumber(), type, name: $('add-name').value, fields: {} };
  if ($('add-field').value) body.fields[firstField[type]] = $('add-field').value;
  if (type === 'user') body.password = $('add-password').value;
  try {
    await api('/api/accounts/add', body);
    say('Account ' + body.name + ' added.', true);
    $('account-add').reset();
  } catch (e) { say(e.message); }
  loadAccounts().catch((e) => say(e.message));
}

async function loadDomains() {
  const domains = await loadDomainChoice();
  const t = $('domains-table');
  clear(t);
  for (const d of domains) {
    const r = t.insertRow();
    cell(r, d.number); cell(r, d.name); cell(r, d.description);
    const td = cell(r, '');
    if (d.number) button(td, 'Remove', async () => {
      if (!confirm('Remove the domain ' + d.name + ' with all its accounts and lists?')) return;
      try { await api('/api/domains/remove', { domain: d.number, name: d.name }); say('Removed ' + d.name + '.', true); }
      catch (e) { say(e.message); }
      loadDomains().catch((e) => say(e.message));
    });
  }
}
async function addDomain(ev) {
  ev.preventDefault();
  try {
    await api('/api/domains/add', { name: $('domain-name').value, description: $('domain-description').value });
    say('Domain added.', true);
    $('domain-add').reset();
  } catch (e) { say(e.message); }
  loadDomains().catch((e) => say(e.message));
}

const memberOptions = ['REPRO', 'ACK', 'CONCEAL', 'NOMAIL', 'DIGEST', 'ADMIN'];
async function loadLists() {
  const domains = await api('/api/domains');
  const ds = $('lists-domain');
  const keepDomain = ds.value;
  clear(ds);
  for (const x of domains.domains) {
    const o = document.createElement('option');
    o.value = x.number; o.textContent = x.name; ds.appendChild(o);
  }
  if (keepDomain) ds.value = keepDomain;
  const found = await api('/api/accounts?' + new URLSearchParams({ domain: ds.value || '0', type: 'list' }));
  const ls = $('lists-name');
  const keepList = ls.value;
  clear(ls);
  for (const a of found.accounts) {
    const o = document.createElement('option');
    o.value = a.name; o.textContent = a.name; ls.appendChild(o);
  }
  if (keepList && found.accounts.some((a) => a.name === keepList)) ls.value = keepList;
  await loadList();
}
function listRef() { return { domain: Number($('lists-domain').value || 0), name: $('lists-name').value }; }
async function listAction(path, extra, done) {
  try { const d = await api(path, Object.assign(listRef(), extra)); say(done || d.result, true); }
  catch (e) { say(e.message); }
  loadList().catch((e) => say(e.message));
}
async function loadList() {
  for (const id of ['lists-members', 'lists-pending', 'lists-held', 'lists-stats']) clear($(id));
  $('lists-held-note').textContent = '';
  $('lists-mode').textContent = '';
  if (!$('lists-name').value) { $('lists-mode').textContent = 'No lists in this domain.'; return; }
  const l = await api('/api/list?' + new URLSearchParams({ domain: $('lists-domain').value || '0', name: $('lists-name').value }));
  $('lists-mode').textContent = [l.closed ? 'closed' : 'open', l.moderated ? 'moderated' : '',
    l.moderatedAdd ? 'members approved by the owner' : ''].filter((x) => x).join(', ');
  const t = $('lists-members');
  for (const m of l.members) {
    const r = t.insertRow();
    cell(r, m.address); cell(r, m.fullName);
    const opts = cell(r, '');
    for (const o of memberOptions) {
      const lab = document.createElement('label');
      const box = document.createElement('input');
      box.type = 'checkbox';
      box.checked = m.options.includes(o);
      box.addEventListener('change', () => listAction('/api/list/members/options',
        { address: m.address, options: [(box.checked ? '' : 'NO') + o] }, m.address + ': ' + (box.checked ? '' : 'NO') + o));
      lab.appendChild(box);
      lab.appendChild(document.createTextNode(o.toLowerCase() + ' '));
      opts.appendChild(lab);
    }
    cell(r, m.joined ? new Date(m.joined * 1000).toLocaleString() : '');
    button(cell(r, ''), 'Remove', () => {
      if (confirm('Remove ' + m.address + ' from ' + l.name + '?')) listAction('/api/list/members/remove', { address: m.address });
    });
  }
  const p = $('lists-pending');
  for (const m of l.pending) {
    const r = p.insertRow();
    cell(r, m.address); cell(r, m.fullName);
    const td = cell(r, '');
    button(td, 'Approve', () => listAction('/api/list/pending/approve', { address: m.address }));
    button(td, 'Refuse', () => {
      if (confirm('Refuse ' + m.address + '?')) listAction('/api/list/pending/refuse', { address: m.address });
    });
  }
  showHeldPosts(l);
  const st = l.statistics;
  const s = $('lists-stats');
  const rows = [['Posts / bytes', st.list.posts + ' / ' + st.list.bytes],
    ['Members (normal / digest / concealed)', st.total + ' (' + st.normal + ' / ' + st.digested + ' / ' + st.concealed + ')']];
  for (const x of st.senders) rows.push(['From ' + x.address, x.posts + ' posts, ' + x.bytes + ' bytes']);
  for (const [k, v] of rows) { const r = s.insertRow(); cell(r, k); cell(r, v); }
}
function showHeldPosts(l) {
  $('lists-held-note').textContent = l.heldProblem || (l.held.length ? '' : 'No posts are held.');
  const h = $('lists-held');
  for (const m of l.held) {
    const r = h.insertRow();
    cell(r, m.file); cell(r, m.sender); cell(r, m.subject); cell(r, m.size);
    const td = cell(r, '');
    button(td, 'Release', () => listAction('/api/list/held/release', { file: m.file }, m.file + ' released to the list.'));
    button(td, 'Reject', () => {
      const reason = prompt('Return ' + m.file + ' to ' + m.sender + '. Reason (empty: the standard text):', '');
      if (reason !== null) listAction('/api/list/held/reject', { file: m.file, reason }, m.file + ' returned to its sender.');
    });
    button(td, 'Forward', () => {
      const address = prompt('Forward ' + m.file + ' to which address?', '');
      if (address) listAction('/api/list/held/forward', { file: m.file, address, header: true }, m.file + ' forwarded to ' + address + '.');
    });
    button(td, 'Delete', () => {
      if (confirm('Delete ' + m.file + ' without telling anyone?')) listAction('/api/list/held/delete', { file: m.file }, m.file + ' deleted.');
    });
  }
}
async function addMember(ev) {
  ev.preventDefault();
  await listAction('/api/list/members/add', { address: $('member-address').value, fullName: $('member-name').value });
  $('member-add').reset();
}

let configValues = [];
async function loadConfig() {
  configValues = (await api('/api/config')).values;
  renderConfig();
}
function renderConfig() {
  const t = $('config-table');
  clear(t);
  const onlyChanged = $('config-changed').checked;
  const f = $('config-filter').value.toLowerCase();
  for (const v of configValues) {
    if (onlyChanged && !v.changed) continue;
    if (f && !v.name.toLowerCase().includes(f)) continue;
    const r = t.insertRow();
    r.id = 'config-' + v.name;
    cell(r, v.name); cell(r, v.kind); cell(r, v.default);
    cell(r, v.kind === 'range' ? v.min + '..' + v.max : v.kind === 'string' ? '≤ ' + v.maxLength + ' chars' : '');
    const td = cell(r, '');
    const input = document.createElement('input');
    input.className = 'value';
    input.value = v.value;
    td.appendChild(input);
    const act = cell(r, '');
    button(act, 'Set', async () => {
      try {
        const d = await api('/api/config', { name: v.name, value: input.value });
        say(v.name + ' = ' + d.value + ' (applied ' + d.applied + ').', true);
        loadConfig();
      } catch (e) { say(e.message); }
    });
    if (v.stored) button(act, 'Default', async () => {
      try { await api('/api/config', { name: v.name, reset: true }); say(v.name + ' reset.', true); loadConfig(); }
      catch (e) { say(e.message); }
    });
  }
}

async function login(ev) {
  ev.preventDefault();
  try {
    const d = await api('/api/login', { password: $('login-password').value });
    csrf = d.csrf;
    $('login-password').value = '';
    say('');
    $('tabs').hidden = false;
    showPage('status');
  } catch (e) { say(e.message); }
}

async function start() {
  for (const b of document.querySelectorAll('#tabs button[data-page]'))
    b.addEventListener('click', () => { say(''); showPage(b.dataset.page); });
  $('logout').addEventListener('click', async () => {
    try { await api('/api/logout', {}); } catch (e) { /* gone already */ }
    showLogin();
  });
  $('login-form').addEventListener('submit', login);
  $('account-add').addEventListener('submit', addAccount);
  $('domain-add').addEventListener('submit', addDomain);
  $('member-add').addEventListener('submit', addMember);
  $('lists-domain').addEventListener('change', () => { clear($('lists-name')); loadLists().catch((e) => say(e.message)); });
  $('lists-name').addEventListener('change', () => loadList().catch((e) => say(e.message)));
  $('log-filter').addEventListener('input', renderLog);
  $('accounts-search').addEventListener('input', () => loadAccounts().catch((e) => say(e.message)));
  $('accounts-type').addEventListener('change', () => loadAccounts().catch((e) => say(e.message)));
  $('accounts-domain').addEventListener('change', () => loadAccounts().catch((e) => say(e.message)));
  $('config-changed').addEventListener('change', renderConfig);
  $('config-filter').addEventListener('input', renderConfig);
  try {
    const s = await api('/api/session');
    csrf = s.csrf;
    $('tabs').hidden = false;
    showPage('status');
  } catch (e) { showLogin(); }
}
document.addEventListener('DOMContentLoaded', start);
)JS";

}  // namespace

const WebAsset kWebAssets[] = {
    {"/", "text/html; charset=utf-8", kIndexHtml},
    {"/console.css", "text/css; charset=utf-8", kConsoleCss},
    {"/console.js", "text/javascript; charset=utf-8", kConsoleJs},
    {nullptr, nullptr, nullptr},
};
