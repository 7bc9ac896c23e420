"use strict";
// The console's pages: one document, a section per page, everything through the JSON API.
// Data reaches the page only through textContent, never as markup.

let csrf = "";
let accounts = [];
const charts = {};

class ApiError extends Error {
  constructor(status, body) {
    super(body.error || "request failed (" + status + ")");
    this.status = status;
    this.fields = body.fields || {};
  }
}

async function api(method, path, body) {
  const init = { method, headers: {} };
  if (method !== "GET") init.headers["X-CSRF-Token"] = csrf;
  if (body !== undefined) {
    init.headers["Content-Type"] = "application/json";
    init.body = JSON.stringify(body);
  }
  const res = await fetch(path, init);
  if (res.status === 401) {
    location.href = "/login";
    throw new ApiError(401, { error: "log in first" });
  }
  const data = await res.json().catch(() => ({}));
  if (!res.ok) throw new ApiError(res.status, data);
  return data;
}

// Addresses and names come from anyone who can send a query: control characters and
// direction overrides are shown as escapes, so that nothing can hide or reorder what is shown.
function visible(text) {
  return text.replace(/[\u0000-\u001f\u007f-\u009f\u200e\u200f\u202a-\u202e\u2066-\u2069]/g,
    (c) => "\\u" + c.charCodeAt(0).toString(16).padStart(4, "0"));
}

function el(tag, attrs, ...children) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (k === "class") node.className = v;
    else if (k.startsWith("on")) node.addEventListener(k.slice(2), v);
    else node.setAttribute(k, v);
  }
  for (const c of children) node.append(c instanceof Node ? c : visible(String(c ?? "")));
  return node;
}

function fillTable(table, headers, rows) {
  table.replaceChildren(el("tr", {}, ...headers.map((h) => el("th", {}, h))),
    ...rows.map((cells) => el("tr", {}, ...cells.map((c) =>
      c instanceof Node && c.tagName === "TD" ? c : el("td", {}, c)))));
}

function when(ms) { return new Date(ms).toLocaleString(); }
function qs(params) {
  const p = new URLSearchParams();
  for (const [k, v] of Object.entries(params)) if (v !== "" && v !== undefined && v !== null) p.set(k, v);
  return p.toString();
}
function localMs(value) { return value ? String(new Date(value).getTime()) : ""; }

function clearErrors(form) {
  form.querySelectorAll(".err").forEach((e) => { e.textContent = ""; });
}
function showError(form, error) {
  const fields = error.fields || {};
  let placed = false;
  for (const [field, message] of Object.entries(fields)) {
    const slot = form.querySelector(`.err[data-for="${CSS.escape(field)}"]`);
    if (slot) { slot.textContent = visible(message); placed = true; }
  }
  if (!placed) form.querySelector('.err[data-for=""]').textContent = visible(error.message);
}
// Runs action for form, showing the server's messages next to the fields they concern.
async function guarded(form, action) {
  clearErrors(form);
  try {
    await action();
    return true;
  } catch (e) {
    showError(form, e);
    return false;
  }
}
function onSubmit(id, action) {
  const form = document.getElementById(id);
  form.addEventListener("submit", (event) => {
    event.preventDefault();
    guarded(form, () => action(form));
  });
  return form;
}

// Scope selectors: "global" or "account:NAME".
function scopeBody(value) {
  return value.startsWith("account:") ? { scope: "account", account: value.slice(8) } : { scope: value };
}
function fillScopeSelects() {
  document.querySelectorAll(".scope-select").forEach((select) => {
    const keep = select.value;
    const options = [];
    if (select.dataset.all) options.push(el("option", { value: "" }, "all rules"));
    options.push(el("option", { value: "global" }, "global (every account)"));
    for (const a of accounts) options.push(el("option", { value: "account:" + a.name }, "account " + a.name));
    select.replaceChildren(...options);
    if ([...select.options].some((o) => o.value === keep)) select.value = keep;
  });
  document.getElementById("account-names").replaceChildren(...accounts.map((a) => el("option", { value: a.name })));
  const edit = document.getElementById("account-edit-name");
  const keep = edit.value;
  edit.replaceChildren(...accounts.map((a) => el("option", { value: a.name }, a.name)));
  if (keep) edit.value = keep;
}
async function loadAccounts() {
  accounts = await api("GET", "/api/accounts");
  fillScopeSelects();
}

// ---- dashboard ------------------------------------------------------------------------------
function drawChart(id, rows, label) {
  if (charts[id]) charts[id].destroy();
  const canvas = document.getElementById(id);
  charts[id] = new Chart(canvas, {
    type: "bar",
    data: {
      labels: rows.map(label),
      datasets: [
        { label: "queries", data: rows.map((r) => r.queries), backgroundColor: "#2f6fdb" },
        { label: "forbidden", data: rows.map((r) => r.forbidden), backgroundColor: "#c0352b" },
      ],
    },
    options: { animation: false, maintainAspectRatio: false, scales: { y: { beginAtZero: true } } },
  });
  canvas.dataset.drawn = String(rows.length);
}
function topTable(id, rows, others) {
  const cells = rows.map((r) => [el("td", { class: "addr" }, r.key), r.count]);
  if (others) cells.push([el("td", { class: "muted" }, "others, past the keys counted per hour"), others]);
  fillTable(document.getElementById(id), ["", "count"], cells);
}
async function showDashboard() {
  const d = await api("GET", "/api/dashboard");
  drawChart("chart-hourly", d.hourly, (r) => new Date(r.start).getHours() + ":00");
  drawChart("chart-daily", d.daily, (r) => new Date(r.start).toLocaleDateString());
  topTable("top-addresses", d.top.forbidden_addresses, d.top.forbidden_addresses_others);
  topTable("top-hosts", d.top.forbidden_hosts, d.top.forbidden_hosts_others);
  topTable("top-accounts", d.top.accounts, d.top.accounts_others);
  topTable("top-rules", d.top.rules, d.top.rules_others);
  document.getElementById("top-note").textContent =
    `Tops of every query in the last 24 hours (this hour and the 23 before it); ` +
    `${d.health.log_rows} records in the query log.`;
  const health = document.getElementById("health");
  const state = (i) => i.state === "stopped" ? "stopped " + when(i.stopped)
    : i.reporting ? "answering"
    : el("span", { class: "stale" }, "not reporting since " + when(i.reported) + ": its database connection is down, or it ended without stopping");
  const outage = (o) => o ? `database unreachable from ${when(o.since)} for ${o.seconds} s; ${o.buffered} log records kept, ${o.dropped} dropped` : "-";
  const rows = d.health.instances.map((i) => [i.instance, state(i),
    i.rules, i.generation, i.index_age_s + " s", i.queries_per_second.toFixed(1),
    `${i.slow_checks_per_second.toFixed(1)} of ${i.slow_check_budget}/s (${Math.round(100 * i.slow_checks_per_second / (i.slow_check_budget || 1))}%), ${i.slow_checks_refused} refused`,
    i.dropped_log_records, outage(i.last_outage)]);
  const table = el("table", { id: "health-table" });
  fillTable(table, ["instance", "state", "rules loaded", "index generation", "index age", "queries/s", "slow password checks", "log records dropped", "last database outage"], rows);
  health.replaceChildren(el("p", {}, "Database change counter: " + d.health.generation), table);
}

// ---- accounts -------------------------------------------------------------------------------
async function showAccounts() {
  await loadAccounts();
  fillTable(document.getElementById("accounts-table"), ["name", "password", "default policy", "moved to"],
    accounts.map((a) => [a.stranger ? "* (stranger profile)" : a.name, a.stranger ? "-" : a.password ? "set" : "none",
      a.policy, a.relocation || "-"]));
}
onSubmit("account-add", async (form) => {
  await api("POST", "/api/accounts/add", { name: form.name.value, password: form.password.value, policy: form.policy.value });
  form.reset();
  await showAccounts();
});
document.getElementById("account-edit").addEventListener("click", (event) => {
  const act = event.target.dataset.act;
  if (!act) return;
  const form = event.currentTarget;
  const name = form.name.value;
  guarded(form, async () => {
    if (act === "password") await api("POST", "/api/accounts/password", { name, password: form.password.value });
    else if (act === "move") await api("POST", "/api/accounts/move", { name, address: form.address.value });
    else if (act === "stay") await api("POST", "/api/accounts/stay", { name });
    else if (act.startsWith("policy-")) await api("POST", "/api/accounts/policy", { name, policy: act.slice(7) });
    else if (act === "remove") {
      if (!confirm(`Remove account ${name} with its rules?`)) return;
      await api("POST", "/api/accounts/remove", { name });
    }
    form.password.value = "";
    await showAccounts();
  });
});

// ---- rules ----------------------------------------------------------------------------------
const rulePaging = { offset: 0, limit: 50 };
async function showRules() {
  await loadAccounts();
  const search = document.getElementById("rule-search");
  const target = search.target.value;
  const params = { q: search.q.value, offset: rulePaging.offset, limit: rulePaging.limit };
  if (target) Object.assign(params, scopeBody(target));
  const page = await api("GET", "/api/rules?" + qs(params));
  fillTable(document.getElementById("rules-table"), ["applies to", "action", "kind", "pattern", "precedence", ""],
    page.rules.map((r) => [r.scope === "global" ? "global" : "account " + r.account, r.action, r.kind,
      el("td", { class: "addr" }, r.key), el("td", { class: "muted" }, r.precedence),
      el("button", { class: "danger", onclick: () => removeRule(r) }, "Remove")]));
  pager("rules-pager", rulePaging, page.total, showRules);
}
async function removeRule(r) {
  const form = document.getElementById("rule-add");
  await guarded(form, () => api("POST", "/api/rules/remove", { scope: r.scope, account: r.account, kind: r.kind, pattern: r.key }));
  await showRules();
}
function pager(id, paging, total, reload) {
  const box = document.getElementById(id);
  const last = Math.min(total, paging.offset + paging.limit);
  box.replaceChildren(
    el("button", { class: "plain", onclick: () => { paging.offset = Math.max(0, paging.offset - paging.limit); reload(); } }, "Previous"),
    el("span", {}, total ? `${paging.offset + 1}–${last} of ${total}` : "none"),
    el("button", { class: "plain", onclick: () => { if (last < total) { paging.offset += paging.limit; reload(); } } }, "Next"));
}
onSubmit("rule-add", async (form) => {
  await api("POST", "/api/rules/add", { ...scopeBody(form.target.value), action: form.action.value, kind: form.kind.value, pattern: form.pattern.value });
  form.pattern.value = "";
  await showRules();
});
onSubmit("rule-search", async () => { rulePaging.offset = 0; await showRules(); });

// ---- lists ----------------------------------------------------------------------------------
let currentList = "";
const entryPaging = { offset: 0, limit: 50 };
async function showLists() {
  await loadAccounts();
  const lists = await api("GET", "/api/lists");
  fillTable(document.getElementById("lists-table"), ["list", "entries", "attached", ""],
    lists.map((l) => [l.name, l.entries,
      l.attachments.map((a) => `${a.action} for ${a.scope === "global" ? "everyone" : a.account}`).join(", ") || "not attached",
      el("button", { class: "plain", onclick: () => openList(l.name) }, "Open")]));
  if (currentList && !lists.some((l) => l.name === currentList)) currentList = "";
  document.getElementById("list-detail").hidden = !currentList;
  if (currentList) await showEntries();
}
async function openList(name) {
  currentList = name;
  entryPaging.offset = 0;
  document.getElementById("list-detail").hidden = false;
  await showEntries();
}
async function showEntries() {
  document.getElementById("list-name").textContent = visible(currentList);
  const q = document.getElementById("entry-search").q.value;
  const page = await api("GET", "/api/lists/entries?" + qs({ name: currentList, q, offset: entryPaging.offset, limit: entryPaging.limit }));
  fillTable(document.getElementById("entries-table"), ["kind", "entry"],
    page.entries.map((e) => [e.kind, el("td", { class: "addr" }, e.key)]));
  pager("entries-pager", entryPaging, page.total, showEntries);
}
onSubmit("list-create", async (form) => {
  await api("POST", "/api/lists/create", { name: form.name.value });
  currentList = form.name.value;
  form.reset();
  await showLists();
});
onSubmit("list-rename", async (form) => {
  await api("POST", "/api/lists/rename", { name: currentList, new_name: form.new_name.value });
  currentList = form.new_name.value;
  form.reset();
  await showLists();
});
document.getElementById("list-remove").addEventListener("click", () => {
  const form = document.getElementById("list-rename");
  if (!confirm(`Remove list ${currentList} with all its entries?`)) return;
  guarded(form, async () => { await api("POST", "/api/lists/remove", { name: currentList }); currentList = ""; await showLists(); });
});
onSubmit("list-attach", async (form) => {
  await api("POST", "/api/lists/attach", { name: currentList, ...scopeBody(form.target.value), action: form.action.value });
  await showLists();
});
document.getElementById("list-detach").addEventListener("click", () => {
  const form = document.getElementById("list-attach");
  guarded(form, async () => { await api("POST", "/api/lists/detach", { name: currentList, ...scopeBody(form.target.value) }); await showLists(); });
});
onSubmit("list-entry", async (form) => {
  await api("POST", "/api/lists/entries/add", { name: currentList, kind: form.kind.value, pattern: form.pattern.value });
  form.pattern.value = "";
  await showLists();
});
document.getElementById("list-entry-delete").addEventListener("click", () => {
  const form = document.getElementById("list-entry");
  guarded(form, async () => {
    await api("POST", "/api/lists/entries/delete", { name: currentList, kind: form.kind.value, pattern: form.pattern.value });
    form.pattern.value = "";
    await showLists();
  });
});
onSubmit("entry-search", async () => { entryPaging.offset = 0; await showEntries(); });

// The upload shows its own progress; then the server's reading and writing are polled.
let importRequest = null;
let importJob = "";
function importProgress(fraction, text) {
  document.getElementById("import-progress-box").hidden = false;
  document.getElementById("import-progress").value = Math.round(fraction * 100);
  document.getElementById("import-status").textContent = visible(text);
}
onSubmit("list-import", (form) => new Promise((resolve, reject) => {
  const file = form.file.files[0];
  if (!file) { reject(new ApiError(400, { error: "choose a file", fields: { file: "choose a file" } })); return; }
  const cancel = document.getElementById("import-cancel");
  const start = document.getElementById("import-start");
  document.getElementById("import-problems").replaceChildren();
  const xhr = new XMLHttpRequest();
  importRequest = xhr;
  importJob = "";
  xhr.open("POST", "/api/lists/import?" + qs({ name: currentList, kind: form.kind.value, replace: form.replace.checked ? "1" : "0" }));
  xhr.setRequestHeader("X-CSRF-Token", csrf);
  xhr.setRequestHeader("Content-Type", "text/plain");
  xhr.upload.onprogress = (e) => { if (e.lengthComputable) importProgress(0.3 * e.loaded / e.total, `uploading ${Math.round(100 * e.loaded / e.total)}%`); };
  const finish = (error) => {
    cancel.disabled = true; start.disabled = false; importRequest = null;
    if (error) reject(error); else resolve();
  };
  xhr.onerror = () => finish(new ApiError(0, { error: "the upload failed" }));
  xhr.onabort = () => { importProgress(0, "cancelled: nothing was imported"); finish(); };
  xhr.onload = () => {
    let body = {};
    try { body = JSON.parse(xhr.responseText); } catch (e) { /* not JSON */ }
    if (xhr.status !== 200) { importProgress(0, ""); finish(new ApiError(xhr.status, body)); return; }
    importJob = body.job;
    importRequest = null;
    pollImport(finish);
  };
  cancel.disabled = false; start.disabled = true;
  importProgress(0, "uploading");
  xhr.send(file);
}));
async function pollImport(finish) {
  try {
    const s = await api("GET", "/api/lists/import/status?" + qs({ job: importJob }));
    if (s.state === "parsing") importProgress(0.3, "reading the lines");
    else if (s.state === "writing") importProgress(0.3 + 0.7 * (s.total ? s.done / s.total : 1), `writing ${s.done} of ${s.total} entries`);
    if (s.state === "parsing" || s.state === "writing") { setTimeout(() => pollImport(finish), 200); return; }
    const problems = document.getElementById("import-problems");
    problems.replaceChildren(...s.problems.map((p) => el("li", {}, `line ${p.line}: ${p.message}`)));
    if (s.problem_count > s.problems.length) problems.append(el("li", {}, `… ${s.problem_count - s.problems.length} more unreadable lines`));
    if (s.state === "done") importProgress(1, `imported: ${s.added} new entries from ${s.lines} lines, ${s.problem_count} unreadable lines skipped`);
    else importProgress(0, s.state === "cancelled" ? "cancelled: nothing was imported" : "failed, nothing was imported: " + s.error);
    importJob = "";
    finish();
    await showLists();
  } catch (e) { finish(e); }
}
document.getElementById("import-cancel").addEventListener("click", () => {
  if (importRequest) importRequest.abort();
  else if (importJob) api("POST", "/api/lists/import/cancel", { job: importJob }).catch(() => {});
});

// ---- check ----------------------------------------------------------------------------------
onSubmit("check-form", async (form) => {
  const r = await api("GET", "/api/check?" + qs({ account: form.account.value, address: form.address.value }));
  const box = document.getElementById("check-result");
  box.hidden = false;
  box.replaceChildren(
    el("p", {}, el("strong", { class: "verdict-" + r.reply.slice(0, 3), id: "check-verdict" }, r.verdict), " — reply ", el("code", {}, r.reply)),
    el("p", { id: "check-reason" }, "decided by: " + r.reason),
    r.rule ? el("p", { id: "check-rule" }, "rule: ",
      r.rule.scope === "list" ? `list "${r.rule.list}"` : r.rule.scope === "account" ? `account "${r.rule.account}"` : "global",
      ` ${r.rule.action} ${r.rule.kind} `, el("code", {}, r.rule.pattern)) : "",
    el("p", { class: "muted" }, r.account_known ? "answered for the account itself (its password assumed right)"
      : "no account with a password by that name: the stranger profile \"*\" answers"));
});

// ---- query log and audit --------------------------------------------------------------------
function cursorPager(id, state, next, reload) {
  const box = document.getElementById(id);
  box.replaceChildren(
    el("button", { class: "plain", onclick: () => { state.stack.pop(); reload(); } , ...(state.stack.length ? {} : { disabled: "" }) }, "Newer"),
    el("button", { class: "plain", onclick: () => { state.stack.push(next); reload(); }, ...(next ? {} : { disabled: "" }) }, "Older"));
}
const logState = { stack: [] };
function logParams() {
  const f = document.getElementById("log-filter");
  return { account: f.account.value, verdict: f.verdict.value, q: f.q.value, from: localMs(f.from.value), to: localMs(f.to.value) };
}
async function showLog() {
  await loadAccounts();
  document.getElementById("log-csv").href = "/api/log.csv?" + qs(logParams());
  // A text search answers a part of the log at a time; go on until the page is full, for a
  // few seconds at most (Older then searches on).
  const rows = [];
  let next = state_top(logState), partial = false;
  const started = Date.now();
  do {
    const page = await api("GET", "/api/log?" + qs({ ...logParams(), before: next, limit: 50 - rows.length }));
    rows.push(...page.rows);
    next = page.next_before;
    partial = page.partial;
  } while (partial && rows.length < 50 && Date.now() - started < 3000);
  fillTable(document.getElementById("log-table"), ["time", "account", "address", "verdict", "decided by"],
    rows.map((r) => [when(r.time), r.verified ? r.account : `${r.account || "(none)"} (stranger)`,
      el("td", { class: "addr" }, r.address), el("td", { class: "verdict-" + r.verdict }, r.verdict), r.reason]));
  cursorPager("log-pager", logState, next, showLog);
  if (partial) document.getElementById("log-pager").append(el("span", { class: "muted" }, " the search goes on with Older"));
}
function state_top(state) { return state.stack.length ? state.stack[state.stack.length - 1] : ""; }
onSubmit("log-filter", async () => { logState.stack = []; await showLog(); });

const auditState = { stack: [] };
async function showAudit() {
  const f = document.getElementById("audit-filter");
  const page = await api("GET", "/api/audit?" + qs({ actor: f.actor.value, q: f.q.value, from: localMs(f.from.value), to: localMs(f.to.value), before: state_top(auditState), limit: 50 }));
  fillTable(document.getElementById("audit-table"), ["time", "who", "change", "of", "before", "after"],
    page.rows.map((r) => [when(r.time), r.actor, r.action, r.target, r.before, r.after]));
  cursorPager("audit-pager", auditState, page.next_before, showAudit);
}
onSubmit("audit-filter", async () => { auditState.stack = []; await showAudit(); });

// ---- routing --------------------------------------------------------------------------------
const pages = { dashboard: showDashboard, accounts: showAccounts, rules: showRules, lists: showLists,
  check: loadAccounts, log: showLog, audit: showAudit };
async function route() {
  const name = pages[location.hash.slice(1)] ? location.hash.slice(1) : "dashboard";
  for (const section of document.querySelectorAll("main > section")) section.hidden = section.id !== "page-" + name;
  document.querySelectorAll("header nav a").forEach((a) => a.classList.toggle("active", a.hash === "#" + name));
  const error = document.getElementById("page-error");
  error.textContent = "";
  try {
    await pages[name]();
    document.body.dataset.page = name;
  } catch (e) {
    error.textContent = e.message;
  }
}
document.getElementById("logout").addEventListener("click", async () => {
  await api("POST", "/api/logout").catch(() => {});
  location.href = "/login";
});
(async () => {
  const session = await api("GET", "/api/session");
  csrf = session.csrf;
  document.getElementById("who").textContent = session.name;
  window.addEventListener("hashchange", route);
  await route();
})();
