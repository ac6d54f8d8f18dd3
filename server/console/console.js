// The management console page. Every text that came from an agent (computer
// names, vendor, product and serial texts) is put into the page as text
// (textContent), never as markup. The API token is kept for this tab only
// (sessionStorage) and sent as a bearer token: no cookie is ever set.
"use strict";

const tokenKey = "vxmgmtd-token";
const refreshMs = 5000;
const actions = { 0: "blocked", 1: "allowed", 2: "read-only" };
const series = [
  { key: "blocked", label: "blocked", color: "#b3261e" },
  { key: "readOnly", label: "read-only", color: "#d98b00" },
  { key: "allowed", label: "allowed", color: "#1e7a3c" },
  { key: "driveLocks", label: "drive locks", color: "#5a6275" },
];
let agentsById = new Map();
let eventsNext = null;
let timer = null;

const $ = (id) => document.getElementById(id);

function el(tag, text, className) {
  const node = document.createElement(tag);
  if (text !== undefined && text !== null) node.textContent = String(text);
  if (className) node.className = className;
  return node;
}

function localTime(seconds) {
  if (seconds === null || seconds === undefined || seconds === 0) return "-";
  const d = new Date(seconds * 1000);
  const pad = (n) => String(n).padStart(2, "0");
  return `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())} ${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}`;
}

function inputTime(date) {
  const pad = (n) => String(n).padStart(2, "0");
  return `${date.getFullYear()}-${pad(date.getMonth() + 1)}-${pad(date.getDate())}T${pad(date.getHours())}:${pad(date.getMinutes())}`;
}

class Unauthorized extends Error {}

async function api(path, options = {}) {
  const token = sessionStorage.getItem(tokenKey);
  if (!token) throw new Unauthorized();
  const headers = { Authorization: "Bearer " + token };
  const response = await fetch("/api/v1/" + path, { ...options, headers, credentials: "omit", cache: "no-store" });
  if (response.status === 401) {
    sessionStorage.removeItem(tokenKey);
    throw new Unauthorized();
  }
  const body = await response.json();
  if (!response.ok) {
    const error = new Error(body.error || "the server refused");
    error.body = body;
    throw error;
  }
  return body;
}

function computerName(agent) {
  return agent.computerName === null ? "(no status yet) " + agent.agent : agent.computerName;
}

function lockText(locks) {
  if (!locks) return "-";
  const held = [];
  if (locks.cdrom) held.push("CD/DVD");
  if (locks.floppy) held.push("floppy");
  return held.length ? held.join(" + ") : "none";
}

function badge(text, kind) {
  return el("span", text, "badge " + kind.replace(/ /g, "-"));
}

function fillTable(tbody, rows) {
  tbody.replaceChildren(...rows);
}

// ---- Fleet ---------------------------------------------------------------

async function showFleet() {
  const { agents } = await api("agents");
  agentsById = new Map(agents.map((a) => [a.agent, a]));
  fillAgentChoices();
  $("fleet-empty").hidden = agents.length > 0;
  fillTable($("fleet-table").tBodies[0], agents.map((agent) => {
    const row = el("tr");
    row.dataset.agent = agent.agent;
    if (agent.policy.standing === "drifted") row.className = "drifted";
    const name = el("td");
    const link = el("a", computerName(agent));
    link.href = "#agent/" + agent.agent;
    name.append(link);
    const connected = el("td");
    connected.append(badge(agent.connected ? "yes" : "no", agent.connected ? "yes" : "no"));
    const policy = el("td");
    policy.append(badge(agent.policy.standing, agent.policy.standing));
    row.append(name, connected, el("td", localTime(agent.lastSeen)), el("td", lockText(agent.locks)), policy,
      el("td", agent.reports.backlog), el("td", agent.enrollment));
    return row;
  }));
}

function fillAgentChoices() {
  for (const [id, first] of [["events-agent", "every agent"], ["policy-scope", "the fleet default"],
    ["update-target", "every agent that is not revoked"]]) {
    const select = $(id);
    const chosen = select.value;
    const options = [el("option", first)];
    options[0].value = id === "update-target" ? "all" : "";
    for (const agent of agentsById.values()) {
      const option = el("option", computerName(agent));
      option.value = agent.agent;
      options.push(option);
    }
    select.replaceChildren(...options);
    select.value = chosen || options[0].value;
    if (select.value === "") select.value = options[0].value;
  }
}

// ---- One agent -----------------------------------------------------------

async function showAgent(id) {
  const view = await api("agents/" + encodeURIComponent(id));
  const agent = view.agent;
  $("agent-title").textContent = "Agent " + computerName(agent);
  const facts = [
    ["Agent id", agent.agent], ["Address", agent.address], ["Enrollment", agent.enrollment],
    ["Connected", agent.connected ? "yes" : "no"], ["First seen", localTime(agent.firstSeen)],
    ["Last seen", localTime(agent.lastSeen)], ["Drive locks", lockText(agent.locks)],
    ["Policy", agent.policy.standing + " (holds " + (agent.policy.heldDigest || "-") + ", expected " +
      (agent.policy.expectedDigest || "-") + ")"],
    ["Report backlog", agent.reports.backlog],
  ];
  if (view.status) facts.push(["Up for", Math.round(view.status.uptimeSeconds / 60) + " minutes"],
    ["On battery", view.status.onBattery ? "yes" : "no"]);
  $("agent-facts").replaceChildren(...facts.flatMap(([name, value]) => [el("dt", name), el("dd", value)]));
  const rules = view.policy.policy.rules;
  const list = el("ol");
  for (const rule of rules) list.append(el("li", rule.action + ": " + rule.words));
  if (!rules.length) list.append(el("li", "no rules: every USB disk is allowed"));
  const source = { agent: "its own assignment", fleet: "the fleet default", none: "no assignment" }[view.policy.source];
  $("agent-policy").replaceChildren(el("p", "From " + source + "; CD/DVD " + view.policy.policy.cdrom + ", floppy " +
    view.policy.policy.floppy + "."), list);
  fillTable($("agent-events").tBodies[0], view.events.map((row) => eventRow(row, false)));
  $("agent-updates").replaceChildren(...(view.updates.length ? view.updates.map((u) =>
    el("li", u.name + " (" + u.size + " bytes), queued " + localTime(u.queuedAt) + ", " +
      (u.deliveredAt ? "delivered " + localTime(u.deliveredAt) : "not delivered yet"))) : [el("li", "none")]));
}

function actionText(row) {
  if (row.driveLock) return row.product + (row.action === 0 ? " locked" : " unlocked");
  return actions[row.action] || "action " + row.action;
}

function eventRow(row, withComputer) {
  const tr = el("tr");
  tr.append(el("td", localTime(row.time)));
  if (withComputer) {
    const agent = agentsById.get(row.agent);
    tr.append(el("td", agent ? computerName(agent) : row.agent));
  }
  const action = el("td");
  action.append(badge(actionText(row), row.driveLock ? "lock" : actions[row.action] || "other"));
  tr.append(action, el("td", row.vendor, "text"), el("td", row.product, "text"), el("td", row.serial, "text"));
  return tr;
}

// ---- Events --------------------------------------------------------------

function eventsQuery() {
  const since = Math.floor(new Date($("events-since").value).getTime() / 1000);
  const until = Math.floor(new Date($("events-until").value).getTime() / 1000);
  const params = new URLSearchParams({ since, until });
  if ($("events-agent").value) params.set("agent", $("events-agent").value);
  return params;
}

async function showEvents() {
  if (!agentsById.size) await showFleet();
  $("events-error").textContent = "";
  const params = eventsQuery();
  try {
    drawChart(await api("reports/hourly?" + params));
    if ($("events-action").value) params.set("action", $("events-action").value);
    params.set("limit", "50");
    const page = await api("reports?" + params);
    fillTable($("events-table").tBodies[0], page.rows.map((row) => eventRow(row, true)));
    eventsNext = page.next;
    $("events-more").hidden = !eventsNext;
  } catch (error) {
    if (error instanceof Unauthorized) throw error;
    $("events-error").textContent = error.message;
  }
}

async function moreEvents() {
  const params = eventsQuery();
  if ($("events-action").value) params.set("action", $("events-action").value);
  params.set("limit", "50");
  params.set("after", eventsNext);
  const page = await api("reports?" + params);
  $("events-table").tBodies[0].append(...page.rows.map((row) => eventRow(row, true)));
  eventsNext = page.next;
  $("events-more").hidden = !eventsNext;
}

const svgNs = "http://www.w3.org/2000/svg";
function svg(tag, attributes) {
  const node = document.createElementNS(svgNs, tag);
  for (const [name, value] of Object.entries(attributes)) node.setAttribute(name, String(value));
  return node;
}

// A stacked bar per hour: blocked, read-only, allowed and drive lock rows.
function drawChart(counts) {
  const width = 800, height = 220, left = 40, bottom = 24, top = 10;
  const slots = counts.slots;
  const most = Math.max(1, ...slots.map((s) => series.reduce((sum, k) => sum + s[k.key], 0)));
  const chart = svg("svg", { viewBox: `0 0 ${width} ${height}`, preserveAspectRatio: "none", id: "events-svg" });
  const plotHeight = height - bottom - top;
  const barWidth = (width - left) / Math.max(1, slots.length);
  chart.append(svg("line", { x1: left, y1: top + plotHeight, x2: width, y2: top + plotHeight, stroke: "#999" }));
  const label = svg("text", { x: 4, y: top + 10, "font-size": 11, fill: "#555" });
  label.textContent = String(most);
  chart.append(label);
  slots.forEach((slot, i) => {
    let y = top + plotHeight;
    for (const s of series) {
      if (!slot[s.key]) continue;
      const h = (slot[s.key] / most) * plotHeight;
      y -= h;
      const bar = svg("rect", { x: left + i * barWidth + 1, y, width: Math.max(1, barWidth - 2), height: h,
        fill: s.color, "class": "bar " + s.key });
      const title = svg("title", {});
      title.textContent = `${localTime(slot.start)}: ${slot[s.key]} ${s.label}`;
      bar.append(title);
      chart.append(bar);
    }
    if (slots.length <= 48 ? i % 6 === 0 : i % 24 === 0) {
      const tick = svg("text", { x: left + i * barWidth, y: height - 6, "font-size": 11, fill: "#555" });
      tick.textContent = localTime(slot.start).slice(5, 16);
      chart.append(tick);
    }
  });
  $("events-chart").replaceChildren(chart);
  $("events-legend").replaceChildren(...series.map((s) => {
    const item = el("span", s.label);
    const swatch = el("i");
    swatch.style.background = s.color;
    item.prepend(swatch);
    return item;
  }));
}

// ---- Policy --------------------------------------------------------------

function addRuleInput(text) {
  const item = el("li");
  const input = el("input");
  input.type = "text";
  input.value = text;
  input.className = "rule";
  input.setAttribute("aria-label", "rule in words");
  const remove = el("button", "Remove");
  remove.type = "button";
  remove.addEventListener("click", () => item.remove());
  item.append(input, " ", remove, el("span", "", "error"));
  $("policy-rules").append(item);
  return input;
}

async function showPolicy() {
  if (!agentsById.size) await showFleet();
  const scope = $("policy-scope").value;
  const shown = await api("policy" + (scope ? "?agent=" + encodeURIComponent(scope) : ""));
  const policy = shown.policy;
  $("policy-rules").replaceChildren();
  for (const rule of policy.rules) addRuleInput(rule.rule || "");
  $("policy-cdrom").checked = policy.cdrom === "locked";
  $("policy-floppy").checked = policy.floppy === "locked";
  for (const item of ["rules", "cdrom", "floppy", "password"]) $("lock-" + item).checked = policy.locks[item];
  $("policy-standing").textContent = scope ? "This agent: " + shown.standing + " (digest " + policy.digest + ")"
    : "Digest " + policy.digest + (shown.set ? "" : "; not set yet, so serve sends agents nothing");
  $("policy-message").textContent = "";
}

async function savePolicy(event) {
  event.preventDefault();
  const form = new URLSearchParams();
  const scope = $("policy-scope").value;
  if (scope) form.set("agent", scope); else form.set("all", "1");
  form.set("rules", "replace");
  const inputs = [...document.querySelectorAll("#policy-rules input.rule")];
  for (const input of inputs) form.append("rule", input.value);
  for (const span of document.querySelectorAll("#policy-rules .error")) span.textContent = "";
  form.set("cdrom", $("policy-cdrom").checked ? "locked" : "unlocked");
  form.set("floppy", $("policy-floppy").checked ? "locked" : "unlocked");
  for (const item of ["rules", "cdrom", "floppy", "password"]) form.set("lock-" + item, $("lock-" + item).checked ? "on" : "off");
  try {
    const answer = await api("policy", { method: "POST", body: form });
    $("policy-message").textContent = answer.changed ? "Saved (digest " + answer.policy.digest +
      "); connected agents follow within a few seconds." : "Nothing changed: that is the policy already.";
  } catch (error) {
    if (error instanceof Unauthorized) return signIn();
    $("policy-message").textContent = error.message;
    for (const fault of (error.body && error.body.rules) || []) {
      const span = inputs[fault.rule - 1].parentElement.querySelector(".error");
      span.textContent = fault.message;
      if (fault.rule === error.body.rules[0].rule) inputs[fault.rule - 1].focus();
    }
  }
}

// ---- Updates -------------------------------------------------------------

async function showUpdates() {
  if (!agentsById.size) await showFleet();
  const { updates } = await api("updates");
  fillTable($("updates-table").tBodies[0], updates.map((u) => {
    const agent = agentsById.get(u.agent);
    const row = el("tr");
    row.append(el("td", u.id), el("td", agent ? computerName(agent) : u.agent), el("td", u.name, "text"),
      el("td", u.size), el("td", localTime(u.queuedAt)), el("td", u.deliveredAt ? localTime(u.deliveredAt) : "waiting"));
    return row;
  }));
}

async function pushUpdate(event) {
  event.preventDefault();
  const form = new FormData();
  const target = $("update-target").value;
  if (target === "all") form.set("all", "1"); else form.set("agent", target);
  form.set("file", $("update-file").files[0]);
  try {
    const answer = await api("updates", { method: "POST", body: form });
    $("update-message").textContent = "Queued for " + answer.queued.length + " agent(s).";
    await showUpdates();
  } catch (error) {
    if (error instanceof Unauthorized) return signIn();
    $("update-message").textContent = error.message;
  }
}

// ---- Views, sign-in and refresh -----------------------------------------

const views = { fleet: showFleet, agent: null, events: showEvents, policy: showPolicy, updates: showUpdates };

function currentView() {
  const [name, argument] = location.hash.slice(1).split("/");
  return views[name] !== undefined ? { name, argument } : { name: "fleet" };
}

async function render(entering) {
  if (!sessionStorage.getItem(tokenKey)) return signIn();
  const { name, argument } = currentView();
  for (const id of Object.keys(views)) $("view-" + id).hidden = id !== name;
  $("login").hidden = true;
  for (const link of document.querySelectorAll("nav a"))
    link.toggleAttribute("aria-current", link.id === "nav-" + (name === "agent" ? "fleet" : name));
  for (const link of document.querySelectorAll("nav a[aria-current]")) link.setAttribute("aria-current", "page");
  try {
    if (name === "agent") await showAgent(argument);
    else if (name === "policy" && !entering) await showFleet();  // the editor is left alone while open
    else await views[name]();
    $("refreshed").textContent = "Updated " + localTime(Math.floor(Date.now() / 1000));
  } catch (error) {
    if (error instanceof Unauthorized) return signIn();
    $("refreshed").textContent = "Could not refresh: " + error.message;
  }
}

function signIn() {
  for (const id of Object.keys(views)) $("view-" + id).hidden = true;
  $("login").hidden = false;
  $("token").focus();
}

function start() {
  const now = new Date();
  const since = new Date(now.getTime() - 24 * 3600 * 1000);
  since.setMinutes(0, 0, 0);
  $("events-since").value = inputTime(since);
  $("events-until").value = inputTime(new Date(now.getTime() + 3600 * 1000));
  $("login-form").addEventListener("submit", async (event) => {
    event.preventDefault();
    sessionStorage.setItem(tokenKey, $("token").value.trim());
    $("token").value = "";
    try {
      await api("agents");
      $("login-error").textContent = "";
      await render(true);
    } catch (error) {
      $("login-error").textContent = error instanceof Unauthorized ? "That token is not in use." : error.message;
    }
  });
  $("events-form").addEventListener("submit", (event) => { event.preventDefault(); showEvents(); });
  $("events-more").addEventListener("click", () => moreEvents());
  $("policy-scope").addEventListener("change", () => showPolicy());
  $("rule-add").addEventListener("click", () => addRuleInput("").focus());
  $("policy-form").addEventListener("submit", savePolicy);
  $("update-form").addEventListener("submit", pushUpdate);
  window.addEventListener("hashchange", () => render(true));
  timer = setInterval(() => { if (!document.hidden && sessionStorage.getItem(tokenKey)) render(false); }, refreshMs);
  render(true);
}

document.addEventListener("DOMContentLoaded", start);
